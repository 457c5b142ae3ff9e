#pragma once
// The start of an executable packed with --cache (format/cache_index.h):
// warm, from a version directory that checks out; cold, extracting into a
// staging directory and publishing it; either way the application then runs
// in this process, as no directory is to be removed after it, or, for a
// program, as a process of its own started from there. Parent role only.
// Windows only.
#include "cache/cache_run.h"
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"
#include "paths/own_module.h"
#include "processes/child_run.h"

// Runs the application from the cache when the executable carries a cache
// index and this run may use it: true, with run_code's result, or the
// program's exit code (`child` its record, as for launchProgram), in
// *exitCode.
// False when the run is to go on exactly as a per-run extraction
// (ZELMOR_CACHE=off, no usable or private folder, an elevated token, a
// publish that stays refused, ...): nothing of the cache is held then but
// the application's folder, `extraction` and `payload` are as before their
// first use, and with ZELMOR_CACHE_TRACE=1 one line on standard error says
// why. A run that did use the cache says so there too (warm, cold, joined,
// repaired). A failure while writing the staging directory ends the process
// as a per-run extraction's would; the caller's failure cleanup is to
// remove the staging directory (removeStagingDirectory, cache/cold_start.h).
bool runFromCache(CacheRun *run, OwnModule *own, ChildRun *child, Extraction *extraction, PayloadReader *payload, int argumentCount,
                  wchar_t **arguments, int *exitCode);
