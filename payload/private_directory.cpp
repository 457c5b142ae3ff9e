#include "payload/private_directory.h"

#include <windows.h>

#include "base/test_seam.h"
#include "payload/directory_holder.h"
#include "payload/private_descriptor.h"

NewDirectory createPrivateDirectory(const wchar_t *path, void **holder, uint32_t *errorCode) {
    PrivateDescriptor descriptor;
    if (!buildPrivateDescriptor(&descriptor, errorCode)) {
        return NewDirectory::NoAccessList;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor.descriptor, FALSE};
    if (seamFails("CreateDirectoryW") || !CreateDirectoryW(path, &attributes)) {
        *errorCode = GetLastError();
        return *errorCode == ERROR_ALREADY_EXISTS ? NewDirectory::NameTaken : NewDirectory::Refused;
    }
    *holder = openDirectoryHolder(path);
    if (*holder == nullptr) {
        // Not examined: only an empty directory goes, and one that another
        // run took meanwhile is that run's to remove.
        RemoveDirectoryW(path);
        return NewDirectory::NameTaken;
    }
    return NewDirectory::Created;
}
