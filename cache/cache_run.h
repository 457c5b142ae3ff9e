#pragma once
// The record of a run on the extract-once cache: where the application's
// folder and its version directory are, the handles that keep them, the
// index read from the executable, and the staging directory a cold start
// extracts into. Free of Windows headers; handles are void * (HANDLE).
#include <stddef.h>
#include <stdint.h>

#include "format/cache_index.h"
#include "run_directory/run_directory.h"

constexpr size_t kCachePathCapacity = kTargetDirectoryCapacity;
constexpr size_t kCacheLibraryCapacity = kTargetDirectoryCapacity;

// Zero-filled until the run reads the index. Main thread only.
struct CacheRun {
    // The index in the executable's resource, and what parseCacheIndex read of it.
    const uint8_t *index;
    size_t indexSize;
    CacheIndexHeader header;
    // The base (%LOCALAPPDATA%\Zelmor or ZELMOR_CACHE_DIR), and the
    // application's folder below it: <base>\<application id>.
    wchar_t base[kCachePathCapacity];
    wchar_t application[kCachePathCapacity];
    // Open on the application's folder for the whole run, deletion not
    // shared, so that the folder keeps its name; the root of every name
    // below it.
    void *applicationHandle;
    // The version directory: its path in targetDirectory, its holder (also
    // allowed to set its times, and to rename it where it was the staging
    // directory) kept until the process ends.
    RunDirectory version;
    // A cold start's staging directory beside it, created new; its holder
    // may rename it (the publish) and remove it (a publish that lost).
    RunDirectory staging;
    wchar_t stagingName[64];
    // The application's library in the version directory: the first entry.
    wchar_t library[kCacheLibraryCapacity];
};
