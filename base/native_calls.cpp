#include "base/native_calls.h"

#include <string.h>

#include <atomic>

namespace {

typedef NTSTATUS(NTAPI *CreateFileFunction)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                            PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI *ListFunction)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                      FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING, BOOLEAN);
typedef NTSTATUS(NTAPI *QueryInformationFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
typedef NTSTATUS(NTAPI *SetInformationFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
typedef NTSTATUS(NTAPI *QuerySecurityFunction)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, ULONG, PULONG);
typedef NTSTATUS(NTAPI *OpenTokenFunction)(HANDLE, ACCESS_MASK, PHANDLE);
typedef NTSTATUS(NTAPI *QueryTokenFunction)(HANDLE, TOKEN_INFORMATION_CLASS, PVOID, ULONG, PULONG);
typedef ULONG(NTAPI *StatusToErrorFunction)(NTSTATUS);
typedef BOOLEAN(NTAPI *EqualSidFunction)(PSID, PSID);

enum Function {
    kCreateFile,
    kList,
    kQueryInformation,
    kSetInformation,
    kQuerySecurity,
    kOpenToken,
    kQueryToken,
    kStatusToError,
    kEqualSid,
    kFunctionCount
};

const char *const kFunctionNames[kFunctionCount] = {
    "NtCreateFile",       "NtQueryDirectoryFile",    "NtQueryInformationFile", "NtSetInformationFile",
    "NtQuerySecurityObject", "NtOpenProcessToken", "NtQueryInformationToken", "RtlNtStatusToDosError",
    "RtlEqualSid",
};

// Found once and kept; threads that look one up at the same time find the same address.
std::atomic<void *> addresses[kFunctionCount];

template <typename Pointer> Pointer native(Function function) {
    void *address = addresses[function].load(std::memory_order_relaxed);
    if (address == nullptr) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        address = ntdll == nullptr ? nullptr
                                   : reinterpret_cast<void *>(GetProcAddress(ntdll, kFunctionNames[function]));
        addresses[function].store(address, std::memory_order_relaxed);
    }
    return reinterpret_cast<Pointer>(address);
}

constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr FILE_INFORMATION_CLASS kIdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr FILE_INFORMATION_CLASS kIdFullDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(38);
constexpr FILE_INFORMATION_CLASS kBasicInformation = static_cast<FILE_INFORMATION_CLASS>(4);
constexpr FILE_INFORMATION_CLASS kStandardInformation = static_cast<FILE_INFORMATION_CLASS>(5);
constexpr FILE_INFORMATION_CLASS kInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
constexpr FILE_INFORMATION_CLASS kRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr size_t kLongestName = 32767;

DWORD errorOf(NTSTATUS status) {
    if (status >= 0) {
        return ERROR_SUCCESS;
    }
    StatusToErrorFunction toError = native<StatusToErrorFunction>(kStatusToError);
    return toError != nullptr ? toError(status) : ERROR_GEN_FAILURE;
}

// One class of facts about what `handle` is open on, into `record`.
template <typename Record> DWORD queryFile(HANDLE handle, FILE_INFORMATION_CLASS which, Record *record) {
    QueryInformationFunction queryInformation = native<QueryInformationFunction>(kQueryInformation);
    if (queryInformation == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    IO_STATUS_BLOCK status = {};
    return errorOf(queryInformation(handle, &status, record, sizeof *record, which));
}

UNICODE_STRING unicodeString(const wchar_t *text, size_t length) {
    UNICODE_STRING string;
    string.Buffer = const_cast<wchar_t *>(text);
    string.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    string.MaximumLength = string.Length;
    return string;
}

// Copies the SID at `sid`, which must lie within the `size` bytes from
// `start`, into *out; false when it does not or is no SID.
bool copySid(const unsigned char *start, size_t size, const void *sid, SidBuffer *out) {
    const unsigned char *at = static_cast<const unsigned char *>(sid);
    const size_t header = 8;  // revision, count, authority
    if (at < start || static_cast<size_t>(at - start) + header > size) {
        return false;
    }
    const size_t count = at[1];
    const size_t length = header + 4 * count;
    if (at[0] != SID_REVISION || count > SID_MAX_SUB_AUTHORITIES || static_cast<size_t>(at - start) + length > size) {
        return false;
    }
    memcpy(out->bytes, at, length);
    return true;
}

DWORD listDirectory(HANDLE directory, void *buffer, ULONG size, bool restart, const wchar_t *pattern,
                    FILE_INFORMATION_CLASS records, ULONG *filled) {
    ListFunction list = native<ListFunction>(kList);
    if (list == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    UNICODE_STRING selection = unicodeString(pattern, pattern == nullptr ? 0 : wcslen(pattern));
    IO_STATUS_BLOCK status = {};
    NTSTATUS result = list(directory, nullptr, nullptr, nullptr, &status, buffer, size, records, FALSE,
                           pattern == nullptr ? nullptr : &selection, restart);
    if (result == kStatusNoMoreFiles || result == kStatusNoSuchFile) {
        return ERROR_NO_MORE_FILES;
    }
    // A warning (a buffer too small for even one record) is no listing either.
    if (result != 0) {
        return result < 0 ? errorOf(result) : ERROR_MORE_DATA;
    }
    *filled = static_cast<ULONG>(status.Information < size ? status.Information : size);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD nativeOpen(const NativeOpen &request, HANDLE *handle) {
    CreateFileFunction createFile = native<CreateFileFunction>(kCreateFile);
    if (createFile == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    if (request.nameLength > kLongestName) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    UNICODE_STRING name = unicodeString(request.name, request.nameLength);
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = request.root;
    attributes.ObjectName = &name;
    // Names are compared as the system compares them for every other call.
    attributes.Attributes = OBJ_CASE_INSENSITIVE | (request.inheritable ? OBJ_INHERIT : 0);
    attributes.SecurityDescriptor = request.securityDescriptor;
    IO_STATUS_BLOCK status = {};
    HANDLE opened = nullptr;
    NTSTATUS result = createFile(&opened, request.access | SYNCHRONIZE, &attributes, &status, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, request.share, request.disposition,
                                 request.options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (result < 0) {
        return errorOf(result);
    }
    *handle = opened;
    return ERROR_SUCCESS;
}

DWORD nativeFileId(HANDLE handle, uint64_t *fileId) {
    LARGE_INTEGER internal = {};
    DWORD error = queryFile(handle, kInternalInformation, &internal);
    *fileId = static_cast<uint64_t>(internal.QuadPart);
    return error;
}

DWORD nativeAttributes(HANDLE handle, DWORD *attributes) {
    FILE_BASIC_INFO basic = {};  // the system's record for this class
    DWORD error = queryFile(handle, kBasicInformation, &basic);
    *attributes = basic.FileAttributes;
    return error;
}

DWORD nativeLinkCount(HANDLE handle, DWORD *links) {
    FILE_STANDARD_INFO standard = {};  // as above
    DWORD error = queryFile(handle, kStandardInformation, &standard);
    *links = standard.NumberOfLinks;
    return error;
}

DWORD nativeList(HANDLE directory, void *buffer, ULONG size, bool restart, const wchar_t *pattern, ULONG *filled) {
    return listDirectory(directory, buffer, size, restart, pattern, kIdBothDirectoryInformation, filled);
}

DWORD nativeListFull(HANDLE directory, void *buffer, ULONG size, bool restart, ULONG *filled) {
    return listDirectory(directory, buffer, size, restart, nullptr, kIdFullDirectoryInformation, filled);
}

DWORD nativeRename(HANDLE file, HANDLE directory, const wchar_t *name, size_t nameLength) {
    SetInformationFunction setInformation = native<SetInformationFunction>(kSetInformation);
    if (setInformation == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    // Room for the record and a name as long as the system allows in one component.
    union {
        FILE_RENAME_INFO record;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    } rename = {};
    if (nameLength >= MAX_PATH) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    rename.record.ReplaceIfExists = FALSE;
    // Relative to the directory's handle: a bare name without one would be
    // taken relative to the current directory by some systems.
    rename.record.RootDirectory = directory;
    rename.record.FileNameLength = static_cast<DWORD>(nameLength * sizeof(wchar_t));
    memcpy(rename.record.FileName, name, nameLength * sizeof(wchar_t));
    IO_STATUS_BLOCK status = {};
    return errorOf(setInformation(file, &status, &rename, sizeof rename, kRenameInformation));
}

DWORD nativeOwner(HANDLE handle, SidBuffer *owner) {
    QuerySecurityFunction querySecurity = native<QuerySecurityFunction>(kQuerySecurity);
    if (querySecurity == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    union {
        SECURITY_DESCRIPTOR_RELATIVE header;
        unsigned char bytes[sizeof(SECURITY_DESCRIPTOR_RELATIVE) + SECURITY_MAX_SID_SIZE];
    } descriptor;
    ULONG needed = 0;
    NTSTATUS result = querySecurity(handle, OWNER_SECURITY_INFORMATION, &descriptor, sizeof descriptor, &needed);
    if (result < 0) {
        return errorOf(result);
    }
    // Self-relative: the owner lies at its offset within the bytes returned.
    size_t returned = needed != 0 && needed < sizeof descriptor ? needed : sizeof descriptor;
    if (descriptor.header.Owner == 0 ||
        !copySid(descriptor.bytes, returned, descriptor.bytes + descriptor.header.Owner, owner)) {
        return ERROR_INVALID_SECURITY_DESCR;
    }
    return ERROR_SUCCESS;
}

DWORD nativeAccessList(HANDLE handle, void *buffer, ULONG size, ULONG *filled) {
    QuerySecurityFunction querySecurity = native<QuerySecurityFunction>(kQuerySecurity);
    if (querySecurity == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    ULONG needed = 0;
    NTSTATUS result = querySecurity(handle, DACL_SECURITY_INFORMATION, buffer, size, &needed);
    if (result < 0) {
        return errorOf(result);
    }
    *filled = needed != 0 && needed < size ? needed : size;
    return ERROR_SUCCESS;
}

DWORD processTokenElevated(bool *elevated) {
    OpenTokenFunction openToken = native<OpenTokenFunction>(kOpenToken);
    QueryTokenFunction queryToken = native<QueryTokenFunction>(kQueryToken);
    if (openToken == nullptr || queryToken == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    HANDLE token = nullptr;
    NTSTATUS result = openToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    if (result < 0) {
        return errorOf(result);
    }
    TOKEN_ELEVATION elevation = {};
    ULONG returned = 0;
    result = queryToken(token, TokenElevation, &elevation, sizeof elevation, &returned);
    CloseHandle(token);  // a query handle: nothing is lost if the close fails
    *elevated = result >= 0 && elevation.TokenIsElevated != 0;
    return errorOf(result);
}

DWORD processTokenSid(TOKEN_INFORMATION_CLASS which, SidBuffer *sid) {
    OpenTokenFunction openToken = native<OpenTokenFunction>(kOpenToken);
    QueryTokenFunction queryToken = native<QueryTokenFunction>(kQueryToken);
    if (openToken == nullptr || queryToken == nullptr || (which != TokenUser && which != TokenOwner)) {
        return ERROR_PROC_NOT_FOUND;
    }
    HANDLE token = nullptr;
    NTSTATUS result = openToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    if (result < 0) {
        return errorOf(result);
    }
    union {
        TOKEN_USER user;
        TOKEN_OWNER owner;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } information;
    ULONG returned = 0;
    result = queryToken(token, which, &information, sizeof information, &returned);
    CloseHandle(token);  // a query handle: nothing is lost if the close fails
    if (result < 0) {
        return errorOf(result);
    }
    const void *found = which == TokenUser ? information.user.User.Sid : information.owner.Owner;
    return copySid(information.bytes, sizeof information, found, sid) ? ERROR_SUCCESS : ERROR_INVALID_SID;
}

void *nativeFunction(const char *name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr : reinterpret_cast<void *>(GetProcAddress(ntdll, name));
}

DWORD nativeError(NTSTATUS status) {
    return errorOf(status);
}

void wellKnownSid(SidBuffer *sid, BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    const unsigned char header[8] = {SID_REVISION, static_cast<unsigned char>(subAuthorities.size()), 0, 0, 0, 0, 0,
                                     authority};
    memcpy(sid->bytes, header, sizeof header);
    memcpy(sid->bytes + sizeof header, subAuthorities.begin(), subAuthorities.size() * sizeof(DWORD));
}

bool nativeSidsEqual(const SidBuffer &first, const SidBuffer &second) {
    EqualSidFunction equalSid = native<EqualSidFunction>(kEqualSid);
    return equalSid != nullptr && equalSid(const_cast<SID *>(&first.sid), const_cast<SID *>(&second.sid));
}
