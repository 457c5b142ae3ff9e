#pragma once
// The parent's console control handler: a console event (Ctrl+C, Ctrl+Break,
// the console closed, log-off, shut-down) arrives on a thread of the
// system's own, which stops the child and removes the run directory
// (processes/cleanup.h) before the event takes its course.

// Registers the console control handler; kHandlerNotRegistered ends the
// process if the system refuses.
void registerConsoleControlHandler();

// The handler itself (exposed for tests): notes the event and cleans up on
// Ctrl+C, Ctrl+Break, close, log-off and shut-down. A Ctrl+C or Ctrl+Break
// after which the child has ended is handled (TRUE): the main thread then
// ends the run with the child's exit code. Every other event takes its
// course, and the system ends the process with kStatusControlCExit.
int __stdcall consoleControlHandler(unsigned long event);
