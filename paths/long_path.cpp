#include "paths/long_path.h"

#include <windows.h>

#include <wchar.h>

#include "paths/path_root.h"

namespace {

constexpr size_t kLongPrefixLength = 8;  // "\\?\UNC\" is the longer prefix

}  // namespace

size_t writeLongPathForm(const wchar_t *path, wchar_t *out) {
    if (qualifiedRootLength(path) == 0) {
        return 0;
    }
    wchar_t *full = out + kLongPrefixLength;
    const DWORD room = static_cast<DWORD>(kLongPathCapacity - kLongPrefixLength);
    DWORD length = GetFullPathNameW(path, room, full, nullptr);
    if (length == 0 || length >= room) {
        return 0;
    }
    size_t root = qualifiedRootLength(full);
    // A separator at the end would double the one a caller adds.
    while (length > root && full[length - 1] == L'\\') {
        full[--length] = L'\0';
    }
    if (root == 0 || length == root) {
        return 0;
    }
    const wchar_t *prefix = L"\\\\?\\";
    const wchar_t *rest = full;
    if (wcsncmp(full, L"\\\\?\\", 4) == 0) {
        prefix = L"";
    } else if (full[0] == L'\\') {
        prefix = L"\\\\?\\UNC";
        rest = full + 1;  // keeps one of the two leading backslashes
    }
    size_t prefixLength = wcslen(prefix);
    size_t restLength = length - static_cast<size_t>(rest - full);
    wmemmove(out + prefixLength, rest, restLength + 1);
    wmemcpy(out, prefix, prefixLength);
    return prefixLength + restLength;
}
