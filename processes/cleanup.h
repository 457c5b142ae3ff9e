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

// Registers the console control handler; kHandlerNotRegistered ends the
// process if the system refuses.
void registerConsoleControlHandler();

// The handler itself (exposed for tests): notes the event and cleans up on
// Ctrl+C, Ctrl+Break, close, log-off and shut-down. A Ctrl+C or Ctrl+Break
// after which the child has ended is handled (TRUE): the main thread then
// ends the run with the child's exit code. Every other event takes its
// course, and the system ends the process with kStatusControlCExit.
int __stdcall consoleControlHandler(unsigned long event);
