#pragma once
// The exit codes the launcher chooses itself, each written once. Every other
// code a run ends with is the application's own, passed on unchanged.

// A failure the launcher reported (base/failure.h), in either role.
constexpr int kExitReportedFailure = 2;

// The parent could not read its child's exit code.
constexpr unsigned long kExitChildCodeUnread = 1;

// STATUS_CONTROL_C_EXIT: the status of a process ended by a console control
// event; also the exit code of a child that outlives its grace, and of an
// interrupted parent whose child's exit code cannot be read.
constexpr unsigned long kStatusControlCExit = 0xC000013A;

// An internal-limit abort where the system has no fail-fast service; with it,
// the system ends the process with its own fail-fast status.
constexpr unsigned int kExitAbortWithoutFailFast = 3;
