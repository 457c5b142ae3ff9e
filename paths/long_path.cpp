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

size_t splitLongPathForm(const wchar_t *path, wchar_t *directory, wchar_t *name, size_t capacity) {
    size_t length = writeLongPathForm(path, directory);
    if (length == 0) {
        return 0;
    }
    // Never a root: the long form of a root is refused above.
    wchar_t *separator = wcsrchr(directory, L'\\');
    size_t nameLength = length - static_cast<size_t>(separator + 1 - directory);
    if (nameLength + 1 > capacity) {
        return 0;
    }
    wmemcpy(name, separator + 1, nameLength + 1);
    separator[1] = L'\0';
    if (qualifiedRootLength(directory) != static_cast<size_t>(separator + 1 - directory)) {
        separator[0] = L'\0';
    }
    return nameLength;
}
