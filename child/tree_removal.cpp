#include "child/tree_removal.h"

#include <windows.h>

#include <wchar.h>

#include "base/bounded_text.h"
#include "base/launcher_state.h"
#include "child/run_directory_names.h"
#include "paths/long_path.h"

namespace {

// The rename that takes the target: the system opens the directory for it
// without sharing deletion, so two threads renaming at once could each see
// the other's open as a holder. One at a time, the second finds it taken.
SRWLOCK takeLock = SRWLOCK_INIT;

// Every level adds a backslash and at least one character.
constexpr size_t kMaximumDepth = kLongPathCapacity / 2;

// Per call, on the heap: the console-control thread's stack is small, and
// both threads may walk at once.
struct Walk {
    wchar_t path[kLongPathCapacity];
    HANDLE searches[kMaximumDepth];
    wchar_t tombstone[kLongPathCapacity];
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
    size_t withSeparator = appendUnits(path, kLongPathCapacity, length, L"\\", 1);
    *newLength = appendUnits(path, kLongPathCapacity, withSeparator, name, nameLength);
    return true;
}

// Starts listing the directory at `path`; its first entry lands in `found`.
HANDLE openListing(wchar_t *path, size_t length, WIN32_FIND_DATAW *found) {
    appendUnits(path, kLongPathCapacity, length, L"\\*", 2);
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

bool isDirectory(const wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Removes the tree at walk->path (`length` characters, in long form). Only a
// directory is the run's: something else standing at its name is left
// alone, and a link there goes as the link itself.
void removeStandingTree(Walk *walk, size_t length) {
    DWORD attributes = GetFileAttributesW(walk->path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        removeEntry(walk->path, true);
    } else {
        removeBelowAndItself(walk, length);
    }
}

Walk *newWalk() {
    return static_cast<Walk *>(HeapAlloc(GetProcessHeap(), 0, sizeof(Walk)));
}

void freeWalk(Walk *walk) {
    HeapFree(GetProcessHeap(), 0, walk);  // not examined: the block is ours and the process goes on
}

}  // namespace

TreeRemoval removeTargetTree() {
    Walk *walk = newWalk();
    if (walk == nullptr) {
        // Nothing removed this time; the target still stands for a retry.
        return isDirectory(launcherState.targetDirectory) ? TreeRemoval::Remains : TreeRemoval::Gone;
    }
    TreeRemoval result = TreeRemoval::Gone;
    const size_t suffixLength = sizeof kTombstoneSuffix / sizeof kTombstoneSuffix[0] - 1;
    size_t length = writeLongPathForm(launcherState.targetDirectory, walk->path);
    if (length != 0 && length + suffixLength + 2 < kLongPathCapacity) {
        copyText(walk->tombstone, kLongPathCapacity, walk->path);
        appendUnits(walk->tombstone, kLongPathCapacity, length, kTombstoneSuffix, suffixLength);
        // Taken by renaming it, which needs the directory opened for deletion:
        // a holder denies that. Only a directory is the run's: something else
        // standing at its name is left alone. Not found, it was taken
        // already (by the other thread, or by an attempt before); refused
        // otherwise (on NTFS while a file inside is open), it stays for the
        // next attempt.
        AcquireSRWLockExclusive(&takeLock);
        bool inUse = isDirectory(walk->path) && !MoveFileExW(walk->path, walk->tombstone, 0) &&
                     GetLastError() == ERROR_SHARING_VIOLATION;
        ReleaseSRWLockExclusive(&takeLock);
        if (inUse) {
            result = TreeRemoval::InUse;
        } else {
            bool targetStands = isDirectory(walk->path);
            copyText(walk->path, kLongPathCapacity, walk->tombstone);
            removeStandingTree(walk, length + suffixLength);
            result = targetStands || isDirectory(walk->path) ? TreeRemoval::Remains : TreeRemoval::Gone;
        }
    }
    freeWalk(walk);
    return result;
}

bool removeTombstoneTree(const wchar_t *path) {
    const wchar_t *lastSeparator = wcsrchr(path, L'\\');
    if (lastSeparator == nullptr || !isTombstoneName(lastSeparator + 1)) {
        return false;
    }
    Walk *walk = newWalk();
    if (walk == nullptr) {
        return isDirectory(path);
    }
    size_t length = writeLongPathForm(path, walk->path);
    bool remains = false;
    if (length != 0) {
        removeStandingTree(walk, length);
        remains = isDirectory(walk->path);
    }
    freeWalk(walk);
    return remains;
}
