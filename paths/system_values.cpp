#include "paths/system_values.h"

#include <windows.h>

#include <stdlib.h>

#include "base/system_library.h"
#include "base/test_seam.h"

namespace {

typedef HRESULT(WINAPI *ShellFolderFunction)(HWND, int, HANDLE, DWORD, LPWSTR);

}  // namespace

void writeTemporaryDirectory(wchar_t *buffer, size_t capacity) {
    DWORD length = GetTempPathW(static_cast<DWORD>(capacity), buffer);
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
