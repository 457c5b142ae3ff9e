#pragma once
// Removal of the target directory, after the child has ended, when a console
// control event arrives, and after a reported failure. Parent role only.

// Stops a child that is still shared through launcherState.childProcess or
// childProcessId (5000 ms grace, then terminated with kStatusControlCExit),
// then, once cleanupArmed is set, releases the run's holder on the target
// directory and removes the directory (run_directory/tree_removal.h), trying up to
// 21 times 100 ms apart. A directory that another instance still holds is
// left at once, for a later run's sweep (run_directory/directory_sweep.h). A child
// that may still run but cannot be reached keeps the directory. Safe to run
// on the console-control thread while the main thread runs it too.
void performCleanup();
