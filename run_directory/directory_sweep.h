#pragma once
// The sweep: a parent removes what runs that are over left in its temporary
// directory (the directory its own target lies in): run directories and
// tombstones (run_directory/run_directory_names.h) that are real directories, not
// links, owned by this user, and that no holder keeps in use
// (run_directory/directory_holder.h). A directory is taken by opening it for
// deletion, which fails while a holder is open, and renaming it through that
// handle to a fresh tombstone name of this process's; only what was taken is
// removed, by handle (run_directory/tree_removal.h); of two sweepers, one alone takes
// it. A tombstone left by a sweep that was itself ended half-way, or that ran
// out of time, is taken again the same way by a later run.
#include "run_directory/run_directory.h"

// `own` is the run's own directory, never swept: the directories beside it are.
// Parent role, after the child has been created, so that it never delays
// the application's start. Takes at most 32 directories and stops, removals
// included, about a second after it began, so that the launcher's end
// follows the application's; fails silently in every way (nothing printed,
// the exit code untouched).
void sweepDeadRuns(const RunDirectory *own);
