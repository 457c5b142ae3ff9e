#include "run_directory/private_directory.h"

#include <windows.h>

#include "base/native_calls.h"
#include "base/test_seam.h"
#include "paths/long_path.h"
#include "run_directory/access_list.h"

NewDirectory createPrivateDirectory(const wchar_t *path, void **holder, uint64_t *fileId, uint32_t *errorCode) {
    PrivateDescriptor descriptor;
    if (!buildPrivateDescriptor(&descriptor, errorCode)) {
        return NewDirectory::NoAccessList;
    }
    wchar_t native[kLongPathCapacity];
    size_t length = writeLongPathForm(path, native);
    if (length == 0) {
        *errorCode = ERROR_BAD_PATHNAME;
        return NewDirectory::Refused;
    }
    // "\\?\C:\..." and the native "\??\C:\..." name the same.
    native[1] = L'?';
    // The holder's access and sharing: list access takes part in the sharing
    // checks, and deletion is not shared, so nobody can rename it meanwhile.
    NativeOpen request = {nullptr, native, length, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE, &descriptor.descriptor,
                          true};
    HANDLE created = nullptr;
    DWORD error = seamFails("NtCreateFile") ? GetLastError() : nativeOpen(request, &created);
    if (error != ERROR_SUCCESS) {
        *errorCode = error;
        // The directory that would hold it is missing, or a file.
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY) {
            return NewDirectory::NoParent;
        }
        return error == ERROR_ALREADY_EXISTS ? NewDirectory::NameTaken : NewDirectory::Refused;
    }
    error = nativeFileId(created, fileId);
    if (error != ERROR_SUCCESS) {
        // Left, empty, for a later run's sweep: the holder may not delete.
        *errorCode = error;
        CloseHandle(created);  // a failed close changes nothing
        return NewDirectory::Refused;
    }
    *holder = created;
    return NewDirectory::Created;
}
