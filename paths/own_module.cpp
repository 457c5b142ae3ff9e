#include "paths/own_module.h"

#include <wchar.h>

#include "base/bounded_text.h"
#include "base/failure.h"

const wchar_t *ownModulePathOf(OwnModule *own) {
    if (own->ownModulePath[0] == L'\0' && !readOwnModulePath(own->ownModulePath)) {
        internalLimitAbort();
    }
    return own->ownModulePath;
}

const wchar_t *ownModuleDirectoryOf(OwnModule *own) {
    if (own->ownModuleDirectory[0] == L'\0') {
        copyText(own->ownModuleDirectory, kCanonicalPathCapacity, ownModulePathOf(own));
        wchar_t *lastBackslash = wcsrchr(own->ownModuleDirectory, L'\\');
        if (lastBackslash != nullptr) {
            *lastBackslash = L'\0';
        }
    }
    return own->ownModuleDirectory;
}

const wchar_t *ownModuleCanonicalPathOf(OwnModule *own) {
    wchar_t *canonical = own->ownModulePathCanonical;
    if (canonical[0] == L'\0') {
        copyText(canonical, kCanonicalPathCapacity, ownModulePathOf(own));
        resolveFinalPath(canonical, kCanonicalPathCapacity);
        shortenDirectoryPart(canonical, kCanonicalPathCapacity);
    }
    return canonical;
}
