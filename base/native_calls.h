#pragma once
// The system's native calls (NTDLL), for what the documented ones cannot do:
// open or create a file relative to a directory handle, list a directory by
// handle, rename within a directory by handle, read an owner from a handle;
// and for what would otherwise load a library of its own (the token's facts,
// the security calls ADVAPI32 wraps).
// NTDLL is in every process; its functions are looked up there once instead
// of imported, so that the launcher imports nothing but KERNEL32 and the C
// runtime. Each call returns the system error number as GetLastError would
// give it (ERROR_SUCCESS when it succeeded). Windows only.
#include <windows.h>

#include <winternl.h>

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>

// One file or directory to open or create.
struct NativeOpen {
    HANDLE root;              // the directory `name` is relative to; null when `name` is a native path ("\??\C:\...")
    const wchar_t *name;      // not terminated; `nameLength` characters, at most 32767
    size_t nameLength;
    ACCESS_MASK access;       // SYNCHRONIZE is added
    ULONG share;              // FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE
    ULONG disposition;        // FILE_OPEN or FILE_CREATE
    ULONG options;            // FILE_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...; synchronous I/O is added
    void *securityDescriptor; // the descriptor of a file created; null: what it inherits
    bool inheritable;         // processes started with inheritance get the handle too
};

// Opens or creates what `request` names; *handle is the handle on success.
DWORD nativeOpen(const NativeOpen &request, HANDLE *handle);

// What `handle` (opened with FILE_READ_ATTRIBUTES) is open on: its file ID,
// its attributes, its count of hard links.
DWORD nativeFileId(HANDLE handle, uint64_t *fileId);
DWORD nativeAttributes(HANDLE handle, DWORD *attributes);
DWORD nativeLinkCount(HANDLE handle, DWORD *links);

// Reads the next records of the listing of `directory` (opened with list
// access) into `buffer` as FILE_ID_BOTH_DIR_INFO records, `*filled` bytes of
// them: from the first entry when `restart`. `pattern` (a name with
// wildcards) selects names on the first call for a handle only; null takes
// every name.
// ERROR_NO_MORE_FILES once the listing is done, or when no name matches.
DWORD nativeList(HANDLE directory, void *buffer, ULONG size, bool restart, const wchar_t *pattern, ULONG *filled);

// As nativeList, every name, as FILE_ID_FULL_DIR_INFORMATION records: no
// short names, which the system would otherwise look up for each entry.
DWORD nativeListFull(HANDLE directory, void *buffer, ULONG size, bool restart, ULONG *filled);

// Renames `file` (opened with DELETE access) to `name` inside `directory`,
// never replacing anything: ERROR_ALREADY_EXISTS when the name is taken.
DWORD nativeRename(HANDLE file, HANDLE directory, const wchar_t *name, size_t nameLength);

union SidBuffer {
    SID sid;
    unsigned char bytes[SECURITY_MAX_SID_SIZE];
};

// The owner of what `handle` (opened with READ_CONTROL) is open on.
DWORD nativeOwner(HANDLE handle, SidBuffer *owner);

// The access list of what `handle` (opened with READ_CONTROL) is open on,
// as a self-relative security descriptor of `*filled` bytes in `buffer`.
DWORD nativeAccessList(HANDLE handle, void *buffer, ULONG size, ULONG *filled);

// From this process's token: its user (TokenUser), or the owner it gives the
// objects it creates (TokenOwner).
DWORD processTokenSid(TOKEN_INFORMATION_CLASS which, SidBuffer *sid);

// Whether this process's token is elevated (TokenElevation).
DWORD processTokenElevated(bool *elevated);

// The authorities of the well-known SIDs the launcher names.
constexpr BYTE kNtAuthority = 5;               // SECURITY_NT_AUTHORITY
constexpr BYTE kMandatoryLabelAuthority = 16;  // SECURITY_MANDATORY_LABEL_AUTHORITY

// One of the system's well-known SIDs, S-1-authority-subAuthorities, written
// into `sid` (SYSTEM: kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID}).
void wellKnownSid(SidBuffer *sid, BYTE authority, std::initializer_list<DWORD> subAuthorities);
// A function of NTDLL, for a call that needs no wrapper here; null, with the
// last error set, where the system lacks it. Look each up once and keep it.
void *nativeFunction(const char *name);

// The system error number for a native call's failed status.
DWORD nativeError(NTSTATUS status);

// Whether the two SIDs are the same.
bool nativeSidsEqual(const SidBuffer &first, const SidBuffer &second);
