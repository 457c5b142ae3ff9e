#include "paths/canonical_path.h"

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include "base/bounded_text.h"
#include "base/failure.h"
#include "base/test_seam.h"

namespace {

typedef DWORD(WINAPI *FinalPathFunction)(HANDLE, LPWSTR, DWORD, DWORD);

// Looked up at run time: the launcher also runs on systems without it.
FinalPathFunction lookUpFinalPathFunction() {
    if (seamFails("GetFinalPathNameByHandleW")) {
        return nullptr;
    }
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    FARPROC found = kernel ? GetProcAddress(kernel, "GetFinalPathNameByHandleW") : nullptr;
    return reinterpret_cast<FinalPathFunction>(reinterpret_cast<void *>(found));
}

}  // namespace

// Both moves copy towards the front of the same buffer: the path only shortens.
void dropLongPathPrefix(wchar_t *path) {
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':') {
        wmemmove(path, path + 4, wcslen(path + 4) + 1);
    } else if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        wmemmove(path, path + 6, wcslen(path + 6) + 1);
        path[0] = L'\\';
    }
}

bool finalPathOf(wchar_t *path, size_t capacity) {
    // No access, only a handle to ask about; directories do not open this way.
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FinalPathFunction finalPath = lookUpFinalPathFunction();
    // 0 (no such function, or the call failed) leaves the path as it was.
    DWORD length = finalPath ? finalPath(file, path, static_cast<DWORD>(capacity), 0) : 0;
    CloseHandle(file);  // a query handle: nothing is lost if the close fails
    if (length >= capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    dropLongPathPrefix(path);
    return true;
}

void resolveFinalPath(wchar_t *path, size_t capacity) {
    if (!finalPathOf(path, capacity)) {
        internalLimitAbort();
    }
}

void shortenDirectoryPart(wchar_t *path, size_t capacity) {
    wchar_t *fileName = nullptr;
    wchar_t *lastBackslash = wcsrchr(path, L'\\');
    if (lastBackslash != nullptr) {
        *lastBackslash = L'\0';
        fileName = seamFails("wcsdup") ? nullptr : wcsdup(lastBackslash + 1);
        if (fileName == nullptr) {
            internalLimitAbort();
        }
    }
    // 0 when the directory has no short form (for instance, it does not exist).
    DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        wchar_t *shortForm = static_cast<wchar_t *>(malloc((needed + 1) * sizeof(wchar_t)));
        if (shortForm == nullptr) {
            internalLimitAbort();
        }
        DWORD written = seamFails("GetShortPathNameW") ? 0 : GetShortPathNameW(path, shortForm, needed);
        // More than before: the path changed in between.
        if (written > needed) {
            internalLimitAbort();
        }
        // A second call that fails (the directory went away meanwhile) leaves
        // the directory part long, as when the first finds no short form.
        if (written != 0) {
            copyText(path, capacity, shortForm);
        }
        free(shortForm);
    }
    if (fileName != nullptr) {
        size_t length = appendText(path, capacity, L"\\");
        appendUnits(path, capacity, length, fileName, wcslen(fileName));
        free(fileName);
    }
}
