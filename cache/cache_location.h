#pragma once
// Where an executable packed with --cache keeps its application:
// <base>\<application id>\<version>, the base being ZELMOR_CACHE_DIR when
// set, else %LOCALAPPDATA%\Zelmor (the variable, else the folder the system
// reports). Windows only.
#include "cache/cache_run.h"

// Reads the executable's cache index into run->index and run->header
// (format/cache_index.h). False when there is none or it does not parse:
// such an executable extracts afresh for every run.
bool readCacheIndex(CacheRun *run);

// Decides whether this run may use the cache, fills run->base and
// run->application, opens the application's folder into
// run->applicationHandle (the base and the folder created, private, where
// missing; nothing above the base) and checks that it is private to this
// user (cache/cache_ownership.h). Null on success; otherwise the reason
// (base/messages.h) the run goes on with a per-run directory.
const char *openApplicationFolder(CacheRun *run);

// Composes <application>\<name> into `path` (kCachePathCapacity).
void composeCachePath(const CacheRun *run, const wchar_t *name, wchar_t *path);
