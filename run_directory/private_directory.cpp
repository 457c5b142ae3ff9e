#include "run_directory/private_directory.h"

#include <windows.h>

#include "base/native_calls.h"
#include "base/test_seam.h"
#include "paths/long_path.h"
#include "run_directory/access_list.h"

NewDirectory createPrivateDirectory(const wchar_t *path, void **holder, uint64_t *fileId, uint32_t *errorCode) {
    wchar_t native[kLongPathCapacity];
    size_t length = writeLongPathForm(path, native);
    if (length == 0) {
        *errorCode = ERROR_BAD_PATHNAME;
        return NewDirectory::Refused;
    }
    // "\\?\C:\..." and the native "\??\C:\..." name the same.
    native[1] = L'?';
    bool existed = false;
    return createPrivateDirectoryIn(nullptr, native, length, 0, false, &existed, holder, fileId, errorCode);
}

NewDirectory createPrivateDirectoryIn(void *root, const wchar_t *name, size_t length, uint32_t extraAccess,
                                      bool openExisting, bool *existed, void **holder, uint64_t *fileId,
                                      uint32_t *errorCode) {
    PrivateDescriptor descriptor;
    if (!buildPrivateDescriptor(&descriptor, errorCode)) {
        return NewDirectory::NoAccessList;
    }
    // The holder's access and sharing: list access takes part in the sharing
    // checks, and deletion is not shared, so nobody can rename it meanwhile.
    NativeOpen request = {root, name, length, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | extraAccess,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE, FILE_DIRECTORY_FILE,
                          &descriptor.descriptor, true};
    HANDLE created = nullptr;
    DWORD error = seamFails("NtCreateFile") ? GetLastError() : nativeOpen(request, &created);
    *existed = false;
    if (error == ERROR_ALREADY_EXISTS && openExisting) {
        // What stands there keeps its own access list; the caller judges it.
        request.disposition = FILE_OPEN;
        request.options = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
        request.securityDescriptor = nullptr;
        error = nativeOpen(request, &created);
        *existed = true;
    }
    if (error != ERROR_SUCCESS) {
        *errorCode = error;
        // The directory that would hold it is missing, or a file.
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY) {
            return NewDirectory::NoParent;
        }
        return error == ERROR_ALREADY_EXISTS ? NewDirectory::NameTaken : NewDirectory::Refused;
    }
    DWORD attributes = 0;
    error = nativeFileId(created, fileId);
    if (error == ERROR_SUCCESS) {
        error = nativeAttributes(created, &attributes);
    }
    // Opened as itself, a link that stood there is no directory of ours.
    if (error == ERROR_SUCCESS && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = ERROR_DIRECTORY;
    }
    if (error != ERROR_SUCCESS) {
        // Left, empty, for a later run's sweep: the holder may not delete.
        *errorCode = error;
        CloseHandle(created);  // a failed close changes nothing
        return NewDirectory::Refused;
    }
    *holder = created;
    return NewDirectory::Created;
}
