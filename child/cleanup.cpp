#include "child/cleanup.h"

#include <windows.h>
#include <shellapi.h>

#include "launcher/bounded_text.h"
#include "launcher/failure.h"
#include "launcher/launcher_state.h"
#include "launcher/test_seam.h"

namespace {

constexpr DWORD kChildGraceMilliseconds = 5000;
constexpr int kDeleteRetries = 20;
constexpr DWORD kRetryPauseMilliseconds = 100;

void requestDelete() {
    // A list of one path: the path, its terminator and a second terminator.
    // Local, since both threads may be deleting at the same time.
    wchar_t from[kTargetDirectoryCapacity + 1];
    size_t length = copyText(from, kTargetDirectoryCapacity, launcherState.targetDirectory);
    from[length + 1] = L'\0';
    SHFILEOPSTRUCTW request = {};
    request.hwnd = nullptr;
    request.wFunc = FO_DELETE;
    request.pFrom = from;
    request.pTo = L"";
    // Silent, no confirmation, no error dialog; without FOF_ALLOWUNDO the
    // contents are gone for good instead of going to a recycle bin.
    request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    request.fAnyOperationsAborted = FALSE;
    request.hNameMappings = nullptr;
    request.lpszProgressTitle = L"";
    // Not examined: whether the directory still exists decides on a retry.
    SHFileOperationW(&request);
}

bool targetDirectoryRemains() {
    DWORD attributes = GetFileAttributesW(launcherState.targetDirectory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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
    requestDelete();
    for (int retry = 0; retry < kDeleteRetries && targetDirectoryRemains(); retry++) {
        Sleep(kRetryPauseMilliseconds);
        requestDelete();
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
