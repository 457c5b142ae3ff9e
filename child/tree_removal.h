#pragma once
// Removal of a run's directory with everything below it, by the launcher's
// own walk: the system's shell delete joins names in fixed buffers and goes
// astray in deep trees. Every walk is in the long-path form: a link inside
// the tree (junction, symbolic link) is removed as a link and never entered,
// read-only entries are made writable and removed, and what cannot be
// removed (a file held open elsewhere) stays. Safe on two threads at once:
// all state is per call.

enum class TreeRemoval {
    Gone,     // neither the target nor its tombstone stands (any more)
    Remains,  // a directory still stands there: worth another attempt
    InUse,    // a holder is open on it (payload/directory_holder.h): nothing was touched
};

// One attempt to remove launcherState.targetDirectory once the run is over.
// The directory is first taken: renamed to its tombstone, its own name
// followed by kTombstoneSuffix (child/run_directory_names.h), which fails
// while any holder is open on it (InUse). Then the tombstone is removed,
// also when an earlier attempt or the other thread took it. Acts on
// nothing, and returns Gone, when the target is empty, not fully qualified
// or a root.
TreeRemoval removeTargetTree();

// One attempt to remove the directory at the fully qualified `path`, which
// this process has just taken by renaming it to a tombstone name
// (child/run_directory_names.h); no holder can be opened on a tombstone.
// Returns whether a directory still stands there. Acts on nothing, and
// returns false, unless the last component of `path` has the tombstone form.
bool removeTombstoneTree(const wchar_t *path);
