#pragma once
// A run's directory is in use while a holder is open on it: a handle on the
// directory itself that takes part in the system's sharing checks and does
// not share deletion. While one is open, the directory can be neither
// renamed nor removed, by this run's own cleanup or by another run's sweep
// (run_directory/directory_sweep.h). The parent holds its directory from the moment
// it has created it; every instance in the child role holds it too, so that
// an instance the application starts without handle inheritance keeps it in
// use as well. Holders are inherited by processes started with inheritance,
// the child first: the directory stays in use while any of them runs.
#include "run_directory/run_directory.h"

// Opens a holder on the directory `path`. Null when it cannot be opened, or
// when a link or a file stands there (ERROR_DIRECTORY): GetLastError tells why.
void *openDirectoryHolder(const wchar_t *path);

// Opens this instance's own holder on directory->targetDirectory into
// directory->holder, so that the directory stays in use while this instance
// runs, also when the application started it without handle inheritance.
// False when it cannot be held: it is gone or being removed (GetLastError
// says how).
bool tryHoldRunDirectory(RunDirectory *directory);

// Closes directory->holder if it is open; whichever thread comes first
// closes it, once.
void releaseDirectoryHolder(RunDirectory *directory);
