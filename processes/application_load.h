#pragma once
// The child role's work: load the application from the run directory and
// run it inside this process.
#include "run_directory/run_directory.h"

// As tryHoldRunDirectory (run_directory/directory_holder.h), for the
// parent's own child, which has no other directory to go to: one that cannot
// be held ends the process with kLoadFailed and the system error, having run
// nothing.
void holdRunDirectory(RunDirectory *directory);

// Loads `library`, the application's (the payload's first entry, extracted
// into `directory`), with its own directory, the run directory and the
// system directory as the only places its dependencies are looked for, and returns what its run_code returns for
// the runtime's argument count and vector. Every library the application
// loads by name later is looked for in the run directory and the system
// directory only. A failure ends the process.
int runLibraryMode(const RunDirectory *directory, const wchar_t *library, int argumentCount, wchar_t **arguments);
