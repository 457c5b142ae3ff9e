#pragma once
// The parent's own run directory: named from the run's process id and start
// time, created by the parent itself, private to the user, never one that
// was already there. Free of Windows headers so that it also builds for the
// host.
#include "run_directory/run_directory.h"

// Expands kTargetDirectorySpec into directory->targetDirectory. A failed
// expansion reports the template itself, never the partial path, and aborts
// (fatalSpecExpansion).
void nameRunDirectory(RunDirectory *directory);

// Parent role, before the first file is written: creates
// directory->targetDirectory (run_directory/private_directory.h), held in
// directory->holder, its file ID in directory->fileId. Where anything (a
// directory, a file, a link) already stands at that name, a fresh start time
// is published and the name expanded anew, up to 16 names; then, as on a
// failed expansion, fatalSpecExpansion ends the process. So does a temporary
// directory that does not exist: nothing is created above the run's own
// directory. An access list that cannot be made ends it with kUnpackFailed
// and the system error.
// True on success: cleanupArmed is set, so that from then on the cleanup
// may remove it. False when the system refused to create it; the caller
// reports that as the first file it cannot open there.
bool createRunDirectory(RunDirectory *directory);
