#include "base/system_library.h"

#include <windows.h>

#include "base/test_seam.h"

namespace {

struct LoadedLibrary {
    const wchar_t *name;
    HMODULE module;  // null until loaded; a failed load is tried again at the next request
};

// In the order of SystemLibrary.
LoadedLibrary libraries[] = {{L"shell32.dll", nullptr}, {L"user32.dll", nullptr}};

}  // namespace

void *systemFunction(SystemLibrary library, const char *function) {
    LoadedLibrary &loaded = libraries[static_cast<int>(library)];
    if (loaded.module == nullptr) {
        // Never from the executable's folder or the current directory, where
        // a planted copy could wait (a Downloads folder, say).
        loaded.module =
            seamFails("LoadLibraryExW") ? nullptr : LoadLibraryExW(loaded.name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (loaded.module == nullptr) {
            return nullptr;
        }
    }
    FARPROC address = seamFails("GetProcAddress") ? nullptr : GetProcAddress(loaded.module, function);
    return reinterpret_cast<void *>(address);
}
