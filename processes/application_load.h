#pragma once
// The child role's work: run the application inside this process.

// Opens the child's own holder on launcherState.targetDirectory
// (run_directory/directory_holder.h), so that the directory stays in use while this
// instance runs, also when the application started it without handle
// inheritance. False when it cannot be held: it is gone or being removed
// (GetLastError says how).
bool tryHoldTargetDirectory();

// As tryHoldTargetDirectory, for the parent's own child, which has no other
// directory to go to: one that cannot be held ends the process with
// kLoadFailed and the system error, having run nothing.
void holdTargetDirectory();

// Loads launcherState.firstEntryPath as a library, with its own directory, the
// target directory and the system directory as the only places its
// dependencies are looked for, and returns what its run_code returns for
// the runtime's argument count and vector. Every library the application
// loads by name later is looked for in the target directory and the system
// directory only. A failure ends the process.
int runLibraryMode(int argumentCount, wchar_t **arguments);
