#include "extraction/parent_directories.h"

#include <string.h>
#include <wchar.h>

#include "base/bounded_text.h"
#include "base/failure.h"
#include "base/test_seam.h"
#include "extraction/extraction.h"
#include "extraction/file_output.h"
#include "paths/path_template.h"

namespace {

// The last backslash of `path` at or after its second unit; 0 if none. The
// first unit is never taken as a separator.
size_t lastBackslash(const wchar_t *path) {
    for (size_t i = wcslen(path); i > 1; i--) {
        if (path[i - 1] == L'\\') {
            return i - 1;
        }
    }
    return 0;
}

bool isKnownDirectory(const KnownDirectories *known, const wchar_t *directory) {
    for (size_t i = 0; i < known->count; i++) {
        if (wcscmp(known->paths[i], directory) == 0) {
            return true;
        }
    }
    return false;
}

// True when `directory` lies below a known directory: then it cannot be the
// home directory or one of its ancestors.
bool isBelowKnownDirectory(const KnownDirectories *known, const wchar_t *directory) {
    for (size_t i = 0; i < known->count; i++) {
        size_t length = wcslen(known->paths[i]);
        if (wcsncmp(known->paths[i], directory, length) == 0 && directory[length] == L'\\') {
            return true;
        }
    }
    return false;
}

// Counts the home directory ("{HOME}") as existing, so that a walk up never
// creates or probes the profile's ancestors. A home directory the system
// cannot give ends the process as a failed expansion.
void rememberHomeDirectory(KnownDirectories *known) {
    wchar_t home[kEntryPathCapacity];
    if (!expandPathSpec(home, kHomeSpec, kEntryPathCapacity)) {
        fatalSpecExpansion(kHomeSpec);
    }
    known->homeAsked = true;
    rememberDirectory(known, home);
}

}  // namespace

void rememberDirectory(KnownDirectories *known, const wchar_t *directory) {
    if (known->count == kKnownDirectoriesCapacity) {
        return;
    }
    wchar_t *copy = seamFails("wcsdup") ? nullptr : wcsdup(directory);
    if (copy != nullptr) {  // an unremembered directory only costs a later system call
        known->paths[known->count++] = copy;
    }
}

// Walks up until an ancestor is known or can be made, then back down making
// each level, the same calls a recursion per level would make; a loop, since
// a deep payload path would otherwise need a stack frame per backslash.
bool createParentDirectories(KnownDirectories *known, const wchar_t *path) {
    wchar_t directory[kEntryPathCapacity];
    copyText(directory, kEntryPathCapacity, path);
    size_t cut = lastBackslash(directory);
    if (cut == 0) {
        return true;
    }
    directory[cut] = L'\0';
    if (ensureDirectory(known, directory)) {
        return true;
    }
    size_t levelsUp = 0;
    for (;;) {
        cut = lastBackslash(directory);
        if (cut == 0) {
            // The topmost directory has no parent to make: try it once more.
            if (levelsUp > 0) {
                ensureDirectory(known, directory);
            }
            break;
        }
        directory[cut] = L'\0';
        levelsUp++;
        if (ensureDirectory(known, directory)) {
            break;
        }
    }
    for (; levelsUp > 0; levelsUp--) {
        directory[wcslen(directory)] = L'\\';
        if (levelsUp > 1) {
            ensureDirectory(known, directory);
        }
    }
    return ensureDirectory(known, directory);
}

bool ensureDirectory(KnownDirectories *known, const wchar_t *directory) {
    if (isKnownDirectory(known, directory)) {
        return true;
    }
    // A drive designator such as "C:" always exists and is not remembered.
    if (wcslen(directory) == 2 && directory[1] == L':') {
        return true;
    }
    // Below the run directory, where every entry goes, the home directory
    // is never met: it is asked for (and the shell loaded) only when a
    // directory outside every known one is to be made.
    if (!known->homeAsked && !isBelowKnownDirectory(known, directory)) {
        rememberHomeDirectory(known);
        if (isKnownDirectory(known, directory)) {
            return true;
        }
    }
    if (!createDirectory(directory)) {
        return false;
    }
    rememberDirectory(known, directory);
    return true;
}
