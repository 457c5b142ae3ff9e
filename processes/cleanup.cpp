#include "processes/cleanup.h"

#include <windows.h>

#include "base/exit_codes.h"
#include "base/test_seam.h"
#include "run_directory/tree_removal.h"

namespace {

constexpr DWORD kChildGraceMilliseconds = 5000;

// Grants the child its time and ends it if it outlives that; notes in
// run->childEnded that it has ended, by itself or terminated.
void stopChild(ChildRun *run, HANDLE child) {
    if (WaitForSingleObject(child, kChildGraceMilliseconds) != WAIT_OBJECT_0) {
        // Not examined: a child that could not be ended holds its files, and
        // the removal that follows leaves what it cannot take.
        TerminateProcess(child, kStatusControlCExit);
        // Termination only begins here; once it is over, the child's
        // handles, its copy of the directory's holder among them, are closed.
        // A child still ending keeps its directory in use.
        if (WaitForSingleObject(child, kChildGraceMilliseconds) != WAIT_OBJECT_0) {
            return;
        }
    }
    run->childEnded = 1;
}

// True when no child of this run can still be running: none was shared, or
// this thread has stopped it. False when the child runs on a handle the main
// thread alone holds and it cannot be opened here either.
bool stopSharedChild(ChildRun *run) {
    HANDLE child = InterlockedExchangePointer(&run->childProcess, nullptr);
    if (child != nullptr) {
        stopChild(run, child);
        CloseHandle(child);  // ours alone now; a failed close changes nothing for the run
        return true;
    }
    DWORD processId = static_cast<DWORD>(InterlockedExchange(&run->childProcessId, 0));
    if (processId == 0) {
        return true;
    }
    HANDLE opened = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, processId);
    if (opened == nullptr) {
        return false;
    }
    stopChild(run, opened);
    CloseHandle(opened);  // as above
    return true;
}

}  // namespace

// Both threads may come here. Whichever takes the child's handle out of
// child->childProcess (an atomic exchange) is the only one to use and close
// it; the main thread waits on a duplicate of its own (child_launch.cpp).
void performCleanup(ChildRun *child, RunDirectory *directory) {
    // A child that may still run keeps its directory: the main thread removes
    // it after its wait, or, if the process ends first, nothing does.
    if (stopSharedChild(child)) {
        removeRunDirectory(directory);
    }
}
