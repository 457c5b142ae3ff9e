#pragma once
// The process-wide run state: one static, zero-filled instance that lives as
// long as the process, holding each part's record. Only launcher/ names it:
// the run sequence hands each part the records it acts on, and the console
// control handler, which the system calls without arguments, finds the
// records it shares with the main thread here.
#include "cache/cache_run.h"
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"
#include "paths/own_module.h"
#include "processes/child_run.h"
#include "run_directory/run_directory.h"

struct LauncherState {
    OwnModule own;            // the own executable's paths
    RunDirectory directory;   // the run's directory
    PayloadReader payload;    // the reader over the attached payload
    Extraction extraction;    // where the entry loop stands
    ChildRun child;           // the parent's child (shared with the console-control thread)
    CacheRun cache;           // the extract-once cache, for an executable packed with --cache
};

extern LauncherState launcherState;
