#pragma once
// The state file of a version directory, and the check against it. A cold
// start records, once every file is closed and before the publish, what it
// finds of each entry (size, file ID, last-write time) in the state file,
// written last; a warm start lists the directory once by handle and
// compares. A file missing, added, resized, rewritten (a new last-write
// time) or replaced (a new file ID) fails the check, as does a link
// anywhere. A rewrite that keeps the size and sets the old last-write time
// back is not seen: that takes a process of the user's own, which could
// rewrite the executable as well.
#include "cache/cache_run.h"

// The state file's name in the version directory; no entry may take it
// (an index with such an entry uses no cache).
constexpr wchar_t kVersionStateName[] = L".zelmor-state";

// Opens the directory `name` (`length` units) below `parent` to be listed,
// never through a link, sharing everything: *opened on ERROR_SUCCESS.
uint32_t openForListing(void *parent, const wchar_t *name, size_t length, void **opened);

// Whether an entry of the index takes the state file's name.
bool indexTakesStateName(const CacheRun *run);

// Lists the directory open as `directory` (the staging directory, every
// file closed) and writes the state file into it. False when the listing
// does not match the index or the file cannot be written.
bool recordVersionState(const CacheRun *run, void *directory);

// Reads the state file of the directory open as `directory` and compares
// every file below it in one listing per directory. True when everything
// matches.
bool versionMatchesState(const CacheRun *run, void *directory);
