#include "testing/host/host_system_values.h"

#include <wchar.h>

#include "paths/system_values.h"

namespace {

HostSystemValues values = {L"C:\\T\\", true, L"C:\\Users\\u", true, L"C:\\Users\\u\\AppData\\Local",
                           true, L"C:\\app\\run.exe", 1, 2};

}  // namespace

HostSystemValues &hostSystemValues() {
    return values;
}

void writeTemporaryDirectory(wchar_t *buffer, size_t capacity) {
    // Like the system call: the whole path with its terminator, or nothing.
    if (values.temporaryDirectory.size() >= capacity) {
        buffer[0] = L'\0';
        return;
    }
    wmemcpy(buffer, values.temporaryDirectory.c_str(), values.temporaryDirectory.size() + 1);
}

bool getShellFolder(int folderId, wchar_t (&path)[kShellFolderCapacity]) {
    const std::wstring *folder = nullptr;
    if (folderId == kFolderProfile && values.hasProfile) {
        folder = &values.profile;
    } else if (folderId == kFolderLocalAppData && values.hasLocalAppData) {
        folder = &values.localAppData;
    }
    if (folder == nullptr || folder->size() >= kShellFolderCapacity) {
        return false;
    }
    wmemcpy(path, folder->c_str(), folder->size() + 1);
    return true;
}

const wchar_t *programName() {
    return values.hasProgramName ? values.programName.c_str() : nullptr;
}

unsigned long currentProcessId() {
    return values.processId;
}

int64_t currentSystemTime() {
    return values.systemTime;
}
