#pragma once
// The sweep: a parent removes what runs that are over left in its temporary
// directory (the directory its own target lies in): run directories and
// tombstones (child/run_directory_names.h) that are real directories, not
// links, and that no holder keeps in use (payload/directory_holder.h). A
// directory is taken by renaming it to a fresh tombstone name, which fails
// while a holder is open on it, and only what was taken is removed; of two
// sweepers, one alone takes it. A tombstone left by a sweep that was itself
// ended half-way is taken again the same way.

// Parent role, after the child has been created, so that it never delays
// the application's start. Takes at most 32 directories and starts no
// removal later than about a second after it began; fails silently in every
// way (nothing printed, the exit code untouched).
void sweepDeadRuns();
