#pragma once
// The parent's child: its command line, and what the main thread, which
// starts it and waits for it, and the console-control thread, which may
// stop it, share of it. Free of Windows headers; a handle is a void *
// (HANDLE).
#include "processes/command_line.h"

// Zero-filled before the launch. Fields shared between the threads say how.
struct ChildRun {
    wchar_t childCommandLine[kChildCommandLineCapacity];
    // The child's process handle. Shared with the console-control thread:
    // the thread that takes it out with an atomic exchange is the one that
    // closes it.
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
