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
    bool homeAsked;  // the home directory is among them (see ensureDirectory)
};

// Makes sure the directory holding the file `path` exists, creating missing
// ancestors from the outside in. True when it is known to exist at the end.
bool createParentDirectories(KnownDirectories *known, const wchar_t *path);

// True when `directory` is known to exist or has just been created. Before
// the first directory that lies below no known one is made, the home
// directory ("{HOME}") joins the list: it counts as existing, so that paths
// beneath it never make the launcher create or probe the profile's
// ancestors. A home directory the system cannot give then ends the process
// as a failed expansion.
bool ensureDirectory(KnownDirectories *known, const wchar_t *directory);

// Counts `directory` as existing from now on (it was just made elsewhere).
void rememberDirectory(KnownDirectories *known, const wchar_t *directory);
