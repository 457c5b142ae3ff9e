#pragma once
// Removal of the run's own target directory with everything below it, by the
// launcher's own walk: the system's shell delete joins names in fixed
// buffers and goes astray in deep trees.

// One attempt to remove launcherState.targetDirectory and all it holds, in
// the long-path form: a link inside the tree (junction, symbolic link) is
// removed as a link and never entered, read-only entries are made writable
// and removed. What cannot be removed (a file held open elsewhere) stays.
// Returns whether a directory still stands at the target afterwards. Acts
// on nothing, and returns false, when the target is empty, not fully
// qualified or a root. Safe on two threads at once: all state is per call.
bool removeTargetTree();
