#pragma once
// The process-wide run state: one static, zero-filled instance that lives as
// long as the process. Stages reach it directly; there is no accessor layer.
// Capacities count characters including the terminator.
#include <stddef.h>
#include <stdint.h>


constexpr size_t kChildCommandLineCapacity = 32768;

struct LauncherState {
    wchar_t childCommandLine[kChildCommandLineCapacity];
    // The child's process HANDLE (void * keeps Windows headers out of here).
    // Shared with the console-control thread: the thread that takes it out
    // with an atomic exchange is the one that closes it.
    void *childProcess;
    // The child's process id while the main thread alone holds its handle
    // (no second handle could be made): the console-control thread then opens
    // the child by this id. Whichever thread takes it out with an atomic
    // exchange has it; the main thread's open handle keeps the id from being
    // reused meanwhile. A long, as the system's interlocked calls take it.
    volatile long childProcessId;
    // Set by the console-control thread when an event arrives, so that the
    // main thread never reports success for a child whose exit code it
    // cannot read.
    volatile unsigned char controlEventArrived;
    // Set once the child has ended: by the main thread when its wait is over,
    // by the console-control thread when it has stopped the child. A console
    // event after that leaves the end of the run to the main thread.
    volatile unsigned char childEnded;
};

extern LauncherState launcherState;
