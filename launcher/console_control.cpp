#include "launcher/console_control.h"

#include <windows.h>

#include "base/failure.h"
#include "base/messages.h"
#include "base/test_seam.h"
#include "launcher/launcher_state.h"
#include "processes/cleanup.h"

BOOL WINAPI consoleControlHandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            launcherState.child.controlEventArrived = 1;
            performCleanup(&launcherState.child, &launcherState.directory);
            // Once the child has ended, the main thread's wait is over and it
            // ends the run with the child's exit code: the application's own
            // when it ended by itself, kStatusControlCExit when it was
            // terminated. Otherwise the system ends the process.
            return launcherState.child.childEnded ? TRUE : FALSE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            launcherState.child.controlEventArrived = 1;
            performCleanup(&launcherState.child, &launcherState.directory);
            break;
        default:
            break;
    }
    // Not handled: the next handler, by default the system's, ends the process
    // (after a close, log-off or shut-down the system does so in any case).
    return FALSE;
}

void registerConsoleControlHandler() {
    if (seamFails("SetConsoleCtrlHandler") || !SetConsoleCtrlHandler(consoleControlHandler, TRUE)) {
        fatalError(kHandlerNotRegistered);
    }
}
