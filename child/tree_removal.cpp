#include "child/tree_removal.h"

#include <windows.h>

#include <wchar.h>

#include "base/launcher_state.h"
#include "paths/long_path.h"

namespace {

// Every level adds a backslash and at least one character.
constexpr size_t kMaximumDepth = kLongPathCapacity / 2;

// Per call, on the heap: the console-control thread's stack is small, and
// both threads may walk at once.
struct Walk {
    wchar_t path[kLongPathCapacity];
    HANDLE searches[kMaximumDepth];
};

bool isDotEntry(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Removes one file, empty directory or link; a read-only one is made
// writable first, keeping its other attributes. False when it stays.
bool removeEntry(const wchar_t *path, bool directory) {
    if (directory ? RemoveDirectoryW(path) : DeleteFileW(path)) {
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) {
        return false;
    }
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return false;
    }
    DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!SetFileAttributesW(path, writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
        return false;
    }
    return directory ? RemoveDirectoryW(path) : DeleteFileW(path);
}

// Appends "\" and `name` to the path of `length` characters; false, with the
// path unchanged, when it would leave no room for a later "\*".
bool descendInto(wchar_t *path, size_t length, const wchar_t *name, size_t *newLength) {
    size_t nameLength = wcslen(name);
    if (length + 1 + nameLength + 2 >= kLongPathCapacity) {
        return false;
    }
    path[length] = L'\\';
    wmemcpy(path + length + 1, name, nameLength + 1);
    *newLength = length + 1 + nameLength;
    return true;
}

// Starts listing the directory at `path`; its first entry lands in `found`.
HANDLE openListing(wchar_t *path, size_t length, WIN32_FIND_DATAW *found) {
    wmemcpy(path + length, L"\\*", 3);
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    path[length] = L'\0';
    return search;
}

// Depth first over one path buffer, with one open listing per level, so
// that the stack does not grow with the depth of the tree and every entry
// is met once. A directory is removed when its listing is done.
void removeBelowAndItself(Walk *walk, size_t rootLength) {
    wchar_t *path = walk->path;
    size_t length = rootLength;
    size_t depth = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = openListing(path, length, &found);
    if (search == INVALID_HANDLE_VALUE) {
        removeEntry(path, true);  // nothing to list: perhaps empty already
        return;
    }
    walk->searches[0] = search;
    for (;;) {
        size_t childLength = 0;
        bool entered = false;
        if (!isDotEntry(found.cFileName) && descendInto(path, length, found.cFileName, &childLength)) {
            const DWORD attributes = found.dwFileAttributes;
            const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (directory && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && depth + 1 < kMaximumDepth) {
                HANDLE inner = openListing(path, childLength, &found);
                if (inner != INVALID_HANDLE_VALUE) {
                    walk->searches[++depth] = inner;
                    length = childLength;
                    entered = true;
                } else {
                    removeEntry(path, true);
                }
            } else {
                // A link goes as the link itself; results are not examined,
                // as whatever stays keeps the directory and the caller retries.
                removeEntry(path, directory);
            }
            if (!entered) {
                path[length] = L'\0';
            }
        }
        if (entered) {
            continue;  // `found` holds the first entry of the new level
        }
        while (!FindNextFileW(walk->searches[depth], &found)) {
            // The listing is done (or broke off): this directory is as empty
            // as it gets. Not examined: a directory that stays keeps its
            // parent too, which the caller's existence test sees.
            FindClose(walk->searches[depth]);
            removeEntry(path, true);
            if (depth == 0) {
                return;
            }
            depth--;
            length = static_cast<size_t>(wcsrchr(path, L'\\') - path);
            path[length] = L'\0';
        }
    }
}

}  // namespace

bool removeTargetTree() {
    Walk *walk = static_cast<Walk *>(HeapAlloc(GetProcessHeap(), 0, sizeof(Walk)));
    if (walk == nullptr) {
        // Nothing removed this time; the target still stands for a retry.
        DWORD attributes = GetFileAttributesW(launcherState.targetDirectory);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    bool remains = false;
    size_t rootLength = writeLongPathForm(launcherState.targetDirectory, walk->path);
    if (rootLength != 0) {
        DWORD attributes = GetFileAttributesW(walk->path);
        // Only a directory is the run's: something else standing at its name is left alone.
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                removeEntry(walk->path, true);
            } else {
                removeBelowAndItself(walk, rootLength);
            }
            attributes = GetFileAttributesW(walk->path);
            remains = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        }
    }
    HeapFree(GetProcessHeap(), 0, walk);  // not examined: the block is ours and the process goes on
    return remains;
}
