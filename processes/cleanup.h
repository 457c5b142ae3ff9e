#pragma once
// The end of a parent's run: after the child has ended, when a console
// control event arrives, and after a reported failure. Parent role only.
#include "processes/child_run.h"
#include "run_directory/run_directory.h"

// Stops a child that is still shared through child->childProcess or
// childProcessId (5000 ms grace, then terminated with kStatusControlCExit),
// then removes the run directory (removeRunDirectory,
// run_directory/tree_removal.h). A child that may still run but cannot be
// reached keeps the directory. Safe to run on the console-control thread
// while the main thread runs it too.
void performCleanup(ChildRun *child, RunDirectory *directory);
