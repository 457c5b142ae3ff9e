#include "extraction/file_output.h"

#include <windows.h>

#include "base/test_seam.h"

void *createEntryFile(const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool writeEntryFile(void *file, const void *data, uint32_t count, uint32_t *errorCode) {
    DWORD written = 0;
    if (seamFails("WriteFile") || !WriteFile(file, data, count, &written, nullptr)) {
        *errorCode = GetLastError();
        return false;
    }
    return true;
}

void closeEntryFile(void *file) {
    CloseHandle(file);  // the data is written; a failed close changes nothing for the run
}

bool createDirectory(const wchar_t *path) {
    return CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}
