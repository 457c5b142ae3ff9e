#include "payload/private_directory.h"

#include <windows.h>

#include "base/test_seam.h"
#include "payload/private_descriptor.h"

NewDirectory createPrivateDirectory(const wchar_t *path, uint32_t *errorCode) {
    PrivateDescriptor descriptor;
    if (!buildPrivateDescriptor(&descriptor, errorCode)) {
        return NewDirectory::Refused;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor.descriptor, FALSE};
    if (seamFails("CreateDirectoryW") || !CreateDirectoryW(path, &attributes)) {
        *errorCode = GetLastError();
        return *errorCode == ERROR_ALREADY_EXISTS ? NewDirectory::NameTaken : NewDirectory::Refused;
    }
    return NewDirectory::Created;
}
