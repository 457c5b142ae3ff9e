#include "paths/system_values.h"

#include <windows.h>

#include <stdlib.h>

#include "base/native_calls.h"
#include "base/system_library.h"
#include "base/test_seam.h"
#include "paths/environment.h"
#include "paths/path_root.h"

namespace {

typedef HRESULT(WINAPI *ShellFolderFunction)(HWND, int, HANDLE, DWORD, LPWSTR);
typedef DWORD(WINAPI *TemporaryPathFunction)(DWORD, LPWSTR);

// Where the system has it (Windows 11, and Windows 10 with later updates),
// GetTempPath2W gives a process that runs as SYSTEM a temporary directory
// no user can write (C:\Windows\SystemTemp), and everyone else exactly what
// GetTempPathW gives.
TemporaryPathFunction systemTemporaryPathFunction() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 == nullptr ? nullptr
                               : reinterpret_cast<TemporaryPathFunction>(
                                     reinterpret_cast<void *>(GetProcAddress(kernel32, "GetTempPath2W")));
}

bool runsAsSystem() {
    if (systemTemporaryPathFunction() == nullptr) {
        return false;  // asked only where it matters
    }
    SidBuffer system = {};
    system.sid.Revision = SID_REVISION;
    system.sid.SubAuthorityCount = 1;
    system.sid.IdentifierAuthority = SECURITY_NT_AUTHORITY;
    system.sid.SubAuthority[0] = SECURITY_LOCAL_SYSTEM_RID;
    SidBuffer user;
    // A token that cannot tell counts as not SYSTEM's: the road of every user.
    return processTokenSid(TokenUser, &user) == ERROR_SUCCESS && nativeSidsEqual(user, system);
}

DWORD systemTemporaryPath(wchar_t *buffer, size_t capacity) {
    return systemTemporaryPathFunction()(static_cast<DWORD>(capacity), buffer);
}

// GetTempPathW takes the first of TMP, TEMP and USERPROFILE that is set and
// not empty (the Windows directory when none is) and makes a relative value
// absolute against the current directory, which is no temporary directory.
bool usesRelativeVariable() {
    static const wchar_t *const kVariables[] = {L"TMP", L"TEMP", L"USERPROFILE"};
    static wchar_t value[kEnvValueCapacity];  // main thread only, as every expansion
    for (const wchar_t *name : kVariables) {
        DWORD length = GetEnvironmentVariableW(name, value, kEnvValueCapacity);
        if (length != 0 && length < kEnvValueCapacity) {
            return qualifiedRootLength(value) == 0;
        }
    }
    return false;
}

}  // namespace

void writeTemporaryDirectory(wchar_t *buffer, size_t capacity) {
    DWORD length = 0;
    if (runsAsSystem()) {
        length = systemTemporaryPath(buffer, capacity);
    } else if (!usesRelativeVariable()) {
        length = GetTempPathW(static_cast<DWORD>(capacity), buffer);
    }
    // A failed call or one that found the buffer too small gives no directory;
    // the expansion goes on without it.
    if (length == 0 || length >= capacity) {
        buffer[0] = L'\0';
    }
}

bool getShellFolder(int folderId, wchar_t (&path)[kShellFolderCapacity]) {
    // A shell that cannot be loaded gives no folder, as a failed call gives none.
    ShellFolderFunction shellFolder = reinterpret_cast<ShellFolderFunction>(
        systemFunction(SystemLibrary::Shell32, "SHGetFolderPathW"));
    // No owner window, the current user, the folder's current path, not created.
    return shellFolder != nullptr && !seamFails("SHGetFolderPathW") &&
           shellFolder(nullptr, folderId, nullptr, 0, path) == S_OK;
}

const wchar_t *programName() {
    return (__argc > 0 && __wargv != nullptr) ? __wargv[0] : nullptr;
}

unsigned long currentProcessId() {
    return GetCurrentProcessId();
}

int64_t currentSystemTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}
