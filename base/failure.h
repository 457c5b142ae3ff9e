#pragma once
// How the launcher ends when something fails. Every operation here except
// printSystemError and setFailureCleanup ends the process: a failure is
// reported once, by the stage that detects it, and never handed back. Where
// neither standard output nor standard error is usable, a reported failure
// also shows its text in a message box (base/error_dialog.h).
#include <stdint.h>

// Registers what every reported failure runs after its message and before
// the process ends (the internal-limit abort excepted). The parent registers
// the removal of its target directory once it has created it, so that a
// failed run leaves nothing behind. Main thread only.
void setFailureCleanup(void (*cleanup)());

// Writes `message` and a line feed to standard output; exit code 2.
[[noreturn]] void fatalError(const char *message);

// printSystemError, then exit code 2. `errorCode` is GetLastError() read
// right after the failed call.
[[noreturn]] void fatalErrorWithCode(const char *message, uint32_t errorCode);

// One line on standard error (kSystemErrorFormat) with the system's English
// text for `errorCode`.
void printSystemError(const char *message, uint32_t errorCode);

// Names `path`, the entry path that could not be created; exit code 2.
[[noreturn]] void fatalOpenForWriting(const wchar_t *path);

// Names the path spec that could not be expanded, then aborts.
[[noreturn]] void fatalSpecExpansion(const wchar_t *spec);

// A text that does not fit its buffer, or a check that a working system never
// fails: ends the process at once without a word (see failure.cpp).
[[noreturn]] void internalLimitAbort();
