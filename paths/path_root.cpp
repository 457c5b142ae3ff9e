#include "paths/path_root.h"

#include <wchar.h>

namespace {

bool isSeparator(wchar_t c, bool slashSeparates) {
    return c == L'\\' || (slashSeparates && c == L'/');
}

size_t driveRoot(const wchar_t *path, bool slashSeparates) {
    bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    return letter && path[1] == L':' && isSeparator(path[2], slashSeparates) ? 3 : 0;
}

// "server\share" and the separator after it, if any; 0 when a part is empty.
size_t shareRoot(const wchar_t *path, bool slashSeparates) {
    size_t at = 0;
    while (path[at] != L'\0' && !isSeparator(path[at], slashSeparates)) {
        at++;
    }
    if (at == 0 || path[at] == L'\0') {
        return 0;
    }
    size_t shareStart = ++at;
    while (path[at] != L'\0' && !isSeparator(path[at], slashSeparates)) {
        at++;
    }
    if (at == shareStart) {
        return 0;
    }
    return path[at] == L'\0' ? at : at + 1;
}

}  // namespace

size_t qualifiedRootLength(const wchar_t *path) {
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        size_t share = shareRoot(path + 8, false);
        return share == 0 ? 0 : 8 + share;
    }
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
        size_t drive = driveRoot(path + 4, false);
        return drive == 0 ? 0 : 4 + drive;
    }
    if (isSeparator(path[0], true) && isSeparator(path[1], true)) {
        // "\\.\" and "\\?\" name devices and other namespaces, not shares.
        bool device = (path[2] == L'.' || path[2] == L'?') && isSeparator(path[3], true);
        size_t share = device ? 0 : shareRoot(path + 2, true);
        return share == 0 ? 0 : 2 + share;
    }
    return driveRoot(path, true);
}
