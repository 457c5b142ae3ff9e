#pragma once
// The parent role's last stages: start the own executable again as the
// child, wait for it, clean up. `run` is the child's record, zero-filled
// before the launch; `own` the own executable (paths/own_module.h), its
// forms filled as they are needed; `directory` the run directory the parent
// has created and extracted into.
#include "paths/own_module.h"
#include "processes/child_run.h"
#include "run_directory/run_directory.h"

// Publishes ZELMOR_ONEFILE_DIRECTORY and ZELMOR_ORIGINAL_ARGV0 (the
// `programName` the runtime parsed, as typed), starts the child with the
// rebuilt command line and the parent's standard handles, waits without
// limit, sweeps the directories of runs that are over beside the run
// directory meanwhile, removes the run directory and returns the child's exit
// code (1 when it cannot be read). A failure to start ends the process.
unsigned long launchChild(ChildRun *run, OwnModule *own, RunDirectory *directory, const wchar_t *programName);

// Composes run->childCommandLine and returns it: the own command line, split
// by the system's rules, with the first element replaced by the own
// executable path and quoted again.
wchar_t *buildChildCommandLine(ChildRun *run, OwnModule *own);
