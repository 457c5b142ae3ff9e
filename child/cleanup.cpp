#include "child/cleanup.h"

#include <windows.h>

#include "child/tree_removal.h"
#include "launcher/failure.h"
#include "launcher/launcher_state.h"
#include "launcher/test_seam.h"

namespace {

constexpr DWORD kChildGraceMilliseconds = 5000;
constexpr int kDeleteRetries = 20;
constexpr DWORD kRetryPauseMilliseconds = 100;

}  // namespace

// Both threads may come here. Whichever takes the child's handle out of
// launcherState.childProcess (an atomic exchange) is the only one to use and
// close it; the main thread waits on a duplicate of its own (child_launch.cpp).
void performCleanup() {
    HANDLE child = InterlockedExchangePointer(&launcherState.childProcess, nullptr);
    if (child != nullptr) {
        if (WaitForSingleObject(child, kChildGraceMilliseconds) != WAIT_OBJECT_0) {
            TerminateProcess(child, 0);  // not examined: the removal below goes ahead either way
        }
        CloseHandle(child);
    }
    if (!launcherState.cleanupArmed) {
        return;
    }
    bool remains = removeTargetTree();
    for (int retry = 0; retry < kDeleteRetries && remains; retry++) {
        Sleep(kRetryPauseMilliseconds);
        remains = removeTargetTree();
    }
}

BOOL WINAPI consoleControlHandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            performCleanup();
            break;
        default:
            break;
    }
    // Not handled: the next handler, by default the system's, ends the process.
    return FALSE;
}

void registerConsoleControlHandler() {
    if (seamFails("SetConsoleCtrlHandler") || !SetConsoleCtrlHandler(consoleControlHandler, TRUE)) {
        fatalError("Error, failed to register signal handler.");
    }
}
