#pragma once
// The directories extraction writes into: made from the outside in, and
// remembered once they are known to exist, so that each is asked of the
// system once. Free of Windows headers so that it also builds for the host.
#include <stddef.h>

constexpr size_t kKnownDirectoriesCapacity = 1024;

// The directories known to exist, zero-filled before the first use. A path
// counts as known when it equals an entry unit for unit.
struct KnownDirectories {
    wchar_t *paths[kKnownDirectoriesCapacity];  // heap copies, kept until the process ends
    size_t count;
};

// Makes sure the directory holding the file `path` exists, creating missing
// ancestors from the outside in. True when it is known to exist at the end.
bool createParentDirectories(KnownDirectories *known, const wchar_t *path);

// True when `directory` is known to exist or has just been created.
bool ensureDirectory(KnownDirectories *known, const wchar_t *directory);

// Counts `directory` as existing from now on (it was just made elsewhere).
void rememberDirectory(KnownDirectories *known, const wchar_t *directory);

// Starts the list with the home directory ("{HOME}"), unless it has begun:
// it counts as existing, so that paths beneath it never make the launcher
// create or probe the profile's ancestors. A home directory the system
// cannot give ends the process as a failed expansion.
void startKnownDirectories(KnownDirectories *known);
