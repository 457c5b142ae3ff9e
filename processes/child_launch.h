#pragma once
// The parent role's last stages: start the own executable again as the
// child, or the program the payload carries in its place, wait for it,
// clean up. `run` is the child's record, zero-filled before the launch;
// `own` the own executable (paths/own_module.h), its forms filled as they
// are needed; `directory` the run directory the parent has created and
// extracted into.
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

// As launchChild, but starts the program at `programPath` (fully qualified)
// in the child's place: the same command line, argv[0] the own path, and
// standard handles, the current directory unchanged, in the same job. It
// inherits only the standard handles and directory->holder (none when it is
// null), and no parent id (processes/role_decision.h): the own executable
// started by the program runs as a parent of its own. The program's DLLs are
// found beside it, its folder being its application directory. The removal
// at the end touches only a directory this run created (cleanupArmed).
unsigned long launchProgram(ChildRun *run, OwnModule *own, RunDirectory *directory, const wchar_t *programPath,
                            const wchar_t *programName);

// Composes run->childCommandLine and returns it: the own command line, split
// by the system's rules, with the first element replaced by the own
// executable path and quoted again.
wchar_t *buildChildCommandLine(ChildRun *run, OwnModule *own);
