#include "run_directory/directory_holder.h"

#include <windows.h>

#include "base/test_seam.h"

void *openDirectoryHolder(const wchar_t *path) {
    // Inheritable, so that processes started with inheritance (the child
    // first) keep the directory in use for as long as they run.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    // List access is data access, so the sharing checks apply to the handle;
    // a handle with only attribute or synchronize access would not count.
    HANDLE holder = seamFails("CreateFileW")
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (holder == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    // Held, the name can no longer change; only a real directory is a run's.
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(holder, &information)) {
        DWORD error = GetLastError();
        CloseHandle(holder);  // a handle of no use; a failed close changes nothing
        SetLastError(error);
        return nullptr;
    }
    const DWORD attributes = information.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(holder);  // as above
        SetLastError(ERROR_DIRECTORY);
        return nullptr;
    }
    return holder;
}

bool tryHoldRunDirectory(RunDirectory *directory) {
    directory->holder = openDirectoryHolder(directory->targetDirectory);
    return directory->holder != nullptr;
}

void releaseDirectoryHolder(RunDirectory *directory) {
    HANDLE holder = InterlockedExchangePointer(&directory->holder, nullptr);
    if (holder != nullptr) {
        CloseHandle(holder);  // ours alone; a failed close changes nothing for the run
    }
}
