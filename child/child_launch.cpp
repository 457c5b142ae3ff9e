#include "child/child_launch.h"

#include <windows.h>
#include <shellapi.h>

#include <wchar.h>

#include "base/bounded_text.h"
#include "base/failure.h"
#include "base/launcher_state.h"
#include "base/messages.h"
#include "base/test_seam.h"
#include "child/cleanup.h"
#include "child/command_line.h"
#include "child/directory_sweep.h"
#include "child/role_decision.h"
#include "paths/environment.h"
#include "paths/parent_id.h"

namespace {

void fillOwnModulePath() {
    if (launcherState.ownModulePath[0] == L'\0' &&
        (seamFails("GetModuleFileNameW") ||
         GetModuleFileNameW(nullptr, launcherState.ownModulePath, kOwnModulePathCapacity) == 0)) {
        internalLimitAbort();
    }
}

void publishOwnDirectory() {
    if (launcherState.ownModulePathPlain[0] == L'\0') {
        // Not examined: an empty path publishes an empty directory.
        GetModuleFileNameW(nullptr, launcherState.ownModulePathPlain, kCanonicalPathCapacity);
    }
    copyText(launcherState.ownModuleDirectory, kCanonicalPathCapacity, launcherState.ownModulePathPlain);
    wchar_t *lastBackslash = wcsrchr(launcherState.ownModuleDirectory, L'\\');
    if (lastBackslash != nullptr) {
        *lastBackslash = L'\0';
    }
    setEnvVar(kDirectoryVariable, launcherState.ownModuleDirectory);
}

// The console-control thread may stop and close the child at any moment, so
// the main thread waits and reads the exit code on a handle of its own.
HANDLE duplicateForWaiting(HANDLE process) {
    HANDLE duplicate = nullptr;
    if (seamFails("DuplicateHandle") ||
        !DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return duplicate;
}

// Waits for the child and returns its exit code (1 when it cannot be read),
// sharing it with the console-control thread meanwhile.
DWORD waitForChild(HANDLE process, DWORD processId) {
    HANDLE waitHandle = duplicateForWaiting(process);
    if (waitHandle != nullptr) {
        InterlockedExchangePointer(&launcherState.childProcess, process);
    } else {
        // Without a second handle the child is shared by its id, which the
        // one handle, held here, keeps from naming another process.
        waitHandle = process;
        InterlockedExchange(&launcherState.childProcessId, static_cast<long>(processId));
    }
    // While the application runs, now that a console event would find the
    // child; bounded, so that a child that ends first is not kept waiting long.
    sweepDeadRuns();
    WaitForSingleObject(waitHandle, INFINITE);  // not examined: the exit code read tells
    DWORD exitCode = 0;
    if (seamFails("GetExitCodeProcess") || !GetExitCodeProcess(waitHandle, &exitCode)) {
        exitCode = 1;
    }
    if (waitHandle != process) {
        CloseHandle(waitHandle);
        // Unless the console-control thread took it first, the shared handle is ours to close.
        HANDLE shared = InterlockedExchangePointer(&launcherState.childProcess, nullptr);
        if (shared != nullptr) {
            CloseHandle(shared);
        }
    } else if (InterlockedExchange(&launcherState.childProcessId, 0) != 0) {
        CloseHandle(process);
    }
    // Otherwise the console-control thread took the id and may be opening the
    // process: the handle stays open until this process ends, so that the id
    // cannot name another process meanwhile.
    return exitCode;
}

}  // namespace

wchar_t *buildChildCommandLine() {
    int count = 0;
    wchar_t **elements = seamFails("CommandLineToArgvW") ? nullptr : CommandLineToArgvW(GetCommandLineW(), &count);
    if (elements == nullptr) {
        fatalErrorWithCode(kLaunchFailed, GetLastError());
    }
    fillOwnModulePath();
    if (count > 0) {
        elements[0] = launcherState.ownModulePath;
    }
    composeCommandLine(count, elements);
    return launcherState.childCommandLine;
}

unsigned long launchChild(const wchar_t *programName) {
    publishOwnDirectory();
    setEnvVar(kArgv0Variable, programName);
    fillOwnModulePath();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    // Passed on as they are, also when null or invalid (no console).
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    buildChildCommandLine();
    // The mark makes the one process started here a child that never starts
    // another (child/role_decision.h); nothing else this process might start
    // later is to carry it.
    wchar_t ownId[kProcessIdTextCapacity];
    formatProcessId(GetCurrentProcessId(), ownId);
    if (!setEnvVar(kChildMarkVariable, ownId)) {
        fatalErrorWithCode(kLaunchFailed, GetLastError());
    }
    PROCESS_INFORMATION child = {};
    if (seamFails("CreateProcessW") ||
        !CreateProcessW(launcherState.ownModulePath, launcherState.childCommandLine, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &child)) {
        fatalErrorWithCode(kLaunchFailed, GetLastError());
    }
    unsetEnvVar(kChildMarkVariable);  // not examined: this process starts nothing else
    CloseHandle(child.hThread);  // not needed; a failed close changes nothing for the run
    DWORD exitCode = 0;
    if (child.hProcess != nullptr) {
        exitCode = waitForChild(child.hProcess, child.dwProcessId);
    }
    performCleanup();
    // Whichever thread ends the process, an interrupted run never reports success.
    return launcherState.controlEventArrived ? kStatusControlCExit : exitCode;
}
