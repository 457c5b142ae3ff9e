#pragma once
// The child role's work: run the application inside this process.

// Loads launcherState.firstEntryPath as a library, with its own directory, the
// target directory and the system directory as the only places its
// dependencies are looked for, and returns what its run_code returns for
// the runtime's argument count and vector. Every library the application
// loads by name later is looked for in the target directory and the system
// directory only. A failure ends the process.
int runLibraryMode(int argumentCount, wchar_t **arguments);
