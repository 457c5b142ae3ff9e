#pragma once
// Removal of a run's directory with everything below it, by handle: each
// directory is listed from its handle, each entry opened relative to its
// directory's handle as itself (a link is never followed) and checked to be
// the very object the listing named (same file ID, same kind) before it is
// entered or deleted through that handle. A name swapped for a link between
// the listing and the open is therefore neither entered nor deleted: what
// stays, stays, and so does what is held open elsewhere and a hard link to a
// read-only file where the system cannot delete it without changing that
// file. Safe on two threads at once: a walk keeps its state per call.
// Handles are void * (HANDLE), to keep Windows headers out of here.
#include <stddef.h>
#include <stdint.h>

#include "run_directory/run_directory.h"

enum class TreeRemoval {
    Gone,     // nothing of this run's stands there (any more)
    Remains,  // something stays: worth another attempt
    InUse,    // a holder is open on it (run_directory/directory_holder.h): nothing was touched
};

// One attempt to remove directory->targetDirectory once the run is over.
// The first attempt takes it: opens it for deletion, which the system
// refuses while any holder is open (InUse), checks that it is the directory
// this run created (directory->fileId) and renames it, through that handle,
// to a fresh tombstone name of this process's
// (run_directory/run_directory_names.h). That handle is kept in
// directory->tombstone, and every later attempt, on either thread, removes
// only what it holds. Acts on nothing, and returns Gone, when the target is
// empty, not fully qualified, a root, or not the directory this run created.
TreeRemoval removeTargetTree(RunDirectory *directory);

// The run's end: once cleanupArmed is set, releases the run's holder on the
// directory (run_directory/directory_holder.h) and removes it, trying up to
// 21 times 100 ms apart while something remains. A directory that another
// instance still holds is left at once, for a later run's sweep
// (run_directory/directory_sweep.h). Safe on two threads at once.
void removeRunDirectory(RunDirectory *directory);

// Opens `name` (`length` characters) in the directory open as `parent` as a
// directory to take: for deletion, without sharing deletion, so that the
// system refuses it while a holder is open (ERROR_SHARING_VIOLATION) and
// nobody can rename or remove it while it is open here. Never follows a
// link. Null, with the system error in *error, when it cannot be opened.
void *openToTake(void *parent, const wchar_t *name, size_t length, uint32_t *error);

// Whether `handle` is open on a directory (not a link) whose file ID is `fileId`.
bool isDirectoryWithId(void *handle, uint64_t fileId);

// Renames the directory open as `directory` (from openToTake) inside the
// directory open as `parent` to a fresh tombstone name of this process's,
// trying the next name where one is taken. False when none could be had.
bool renameToTombstone(void *directory, void *parent);

// Takes the directory `name` (`length` characters), listed in the directory
// open as `parent` with `fileId`, and removes it until `deadline`: only if
// no holder is open on it, it is still that directory (not a link), and
// `mayTake` accepts its handle (with `context`). True when it was taken;
// what stays of it is left to a later attempt.
bool takeListedDirectory(void *parent, const wchar_t *name, size_t length, uint64_t fileId,
                         bool (*mayTake)(void *directory, const void *context), const void *context,
                         uint64_t deadline);

// Removes everything below the directory open as `directory` (from
// openToTake, taken) and marks the directory itself for deletion, which
// happens when that handle is closed. Stops once GetTickCount64 reaches
// `deadline` (0: never), leaving the rest for a later attempt. True when
// everything went.
bool removeTreeByHandle(void *directory, uint64_t deadline);
