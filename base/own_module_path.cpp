#include "base/own_module_path.h"

#include <windows.h>

#include "base/test_seam.h"

bool readOwnModulePath(wchar_t (&path)[kOwnModulePathCapacity]) {
    DWORD length = seamFails("GetModuleFileNameW") ? 0 : GetModuleFileNameW(nullptr, path, kOwnModulePathCapacity);
    // A path that fills the whole buffer has been cut short.
    if (length == 0 || length >= kOwnModulePathCapacity) {
        path[0] = L'\0';
        return false;
    }
    return true;
}
