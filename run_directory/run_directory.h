#pragma once
// A run's directory: the private directory the parent extracts into and the
// child loads the application from. Its life: named from the run's process
// id and start time (directory_creation.h), created by the parent with an
// access list of its own and held (private_directory.h, directory_holder.h),
// held again by every instance in the child role, taken and removed by
// handle once the run is over (tree_removal.h), or by a later run's sweep
// (directory_sweep.h). Free of Windows headers so that it also builds for
// the host; handles are void * (HANDLE).
#include <stddef.h>
#include <stdint.h>

constexpr size_t kTargetDirectoryCapacity = 4096;

// Zero-filled until the run names it. Fields read by the console-control
// thread say so; every other field is the main thread's.
struct RunDirectory {
    wchar_t targetDirectory[kTargetDirectoryCapacity];  // its fully qualified path
    // The holder on targetDirectory (directory_holder.h), open from the
    // moment the parent has created it, and in the child role before
    // anything is loaded from it. The parent's is closed, once no child of
    // it runs, by whichever thread takes it out with an atomic exchange; the
    // child role's stays open until the process ends.
    void *holder;
    // The file ID of targetDirectory, read from the parent's holder when it
    // created it. The run's end removes a directory at that name only if it
    // is this one.
    uint64_t fileId;
    // Set once the parent has created the directory itself; only then may
    // anything remove it. Read by the console-control thread; never cleared.
    volatile unsigned char cleanupArmed;
    // The handle on the directory's tombstone once the run's end has taken
    // it, kept until the tombstone is gone; both threads use it under the
    // lock of tree_removal.cpp.
    void *tombstone;
};
