#include "processes/child_launch.h"

#include <windows.h>

#include <wchar.h>

#include "base/bounded_text.h"
#include "base/exit_codes.h"
#include "base/failure.h"
#include "base/messages.h"
#include "base/test_seam.h"
#include "paths/environment.h"
#include "paths/own_module.h"
#include "paths/parent_id.h"
#include "processes/argument_split.h"
#include "processes/cleanup.h"
#include "processes/command_line.h"
#include "processes/role_decision.h"
#include "run_directory/directory_sweep.h"

namespace {

constexpr DWORD kParentShutdownLevel = 0x100;

// The launcher's own command line, split; its first element is replaced by
// the own path. Zero pages but for what a line uses.
SplitArguments ownArguments;

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
DWORD waitForChild(ChildRun *run, const RunDirectory *directory, HANDLE process, DWORD processId) {
    HANDLE waitHandle = duplicateForWaiting(process);
    if (waitHandle != nullptr) {
        InterlockedExchangePointer(&run->childProcess, process);
    } else {
        // Without a second handle the child is shared by its id, which the
        // one handle, held here, keeps from naming another process.
        waitHandle = process;
        InterlockedExchange(&run->childProcessId, static_cast<long>(processId));
    }
    // While the application runs, now that a console event would find the
    // child; bounded, so that a child that ends first is not kept waiting long.
    // A program started from the cache made no run directory, and the
    // version directory has none beside it.
    if (directory->cleanupArmed) {
        sweepDeadRuns(directory);
    }
    WaitForSingleObject(waitHandle, INFINITE);  // not examined: the exit code read tells
    // Before the shared handle is taken back, so that a console event that
    // finds no child knows the run is over.
    run->childEnded = 1;
    DWORD exitCode = 0;
    if (seamFails("GetExitCodeProcess") || !GetExitCodeProcess(waitHandle, &exitCode)) {
        // An interrupted run never reports success.
        exitCode = run->controlEventArrived ? kStatusControlCExit : kExitChildCodeUnread;
    }
    if (waitHandle != process) {
        CloseHandle(waitHandle);
        // Unless the console-control thread took it first, the shared handle is ours to close.
        HANDLE shared = InterlockedExchangePointer(&run->childProcess, nullptr);
        if (shared != nullptr) {
            CloseHandle(shared);
        }
    } else if (InterlockedExchange(&run->childProcessId, 0) != 0) {
        CloseHandle(process);
    }
    // Otherwise the console-control thread took the id and may be opening the
    // process: the handle stays open until this process ends, so that the id
    // cannot name another process meanwhile.
    return exitCode;
}

// A job that ends the child when its last handle closes, that is when this
// process ends, however it ends (a kill from the task manager included);
// what the application starts leaves the job, silently or, where it asks
// with CREATE_BREAKAWAY_FROM_JOB, as asked, and lives on. Not inheritable:
// a child holding a handle to it would keep it open for ever. Null when the
// system gives none: the run then goes on without.
HANDLE createChildJob() {
    HANDLE job = seamFails("CreateJobObjectW") ? nullptr : CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);  // a job without these limits is of no use; a failed close changes nothing
        return nullptr;
    }
    return job;
}

// What a program started in the child's place inherits: the run directory's
// holder and the standard handles, at most four.
constexpr size_t kInheritedHandleCapacity = 4;

struct InheritedHandles {
    HANDLE handles[kInheritedHandleCapacity];
    size_t count;
};

// Lists `handle` for inheritance where the system takes it in a handle list:
// a real handle (not null or invalid, and not one of Windows 7's console
// pseudo-handles, whose two low bits are set and which the console passes
// on by itself), marked inheritable, and not listed yet (a duplicate makes
// the creation fail). What is left out would not reach the own child,
// which inherits every inheritable handle, either.
void addInheritedHandle(InheritedHandles *inherited, HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3) {
        return;
    }
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) == 0) {
        return;
    }
    for (size_t i = 0; i < inherited->count; i++) {
        if (inherited->handles[i] == handle) {
            return;
        }
    }
    if (inherited->count == kInheritedHandleCapacity) {
        internalLimitAbort();
    }
    inherited->handles[inherited->count++] = handle;
}

// Room for a list of two attributes (72 bytes on 64-bit Windows 10).
union AttributeListBuffer {
    void *alignment;
    unsigned char bytes[256];
};

// Fills the attribute list for what is asked: membership of `*job` when
// `job` is not null, and the handles to inherit when `inherited` lists any.
// False when the system refuses an attribute: the job list is unknown
// before Windows 10 1607.
bool fillAttributes(PPROC_THREAD_ATTRIBUTE_LIST list, HANDLE *job, InheritedHandles *inherited) {
    if (job != nullptr &&
        (seamFails("UpdateProcThreadAttribute") ||
         !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job, sizeof *job, nullptr, nullptr))) {
        return false;
    }
    return inherited == nullptr || inherited->count == 0 ||
           (!seamFails("UpdateProcThreadAttribute") &&
            UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited->handles,
                                      inherited->count * sizeof(HANDLE), nullptr, nullptr));
}

// The one CreateProcessW of a launch: `image` with the rebuilt command line
// and the standard handles of `startup`, the current directory unchanged.
// A member of `*job` from its creation when `job` is not null, so that no
// moment exists in which this process could end and leave it running.
// Inheriting every inheritable handle when `inherited` is null, only those it
// lists otherwise (none at all when it lists none). False when the system
// refuses, GetLastError telling why.
bool createProcess(ChildRun *run, const wchar_t *image, HANDLE *job, InheritedHandles *inherited,
                   const STARTUPINFOW &startup, PROCESS_INFORMATION *child) {
    const bool listsHandles = inherited != nullptr && inherited->count > 0;
    const BOOL inheritHandles = inherited == nullptr || listsHandles;
    const DWORD attributeCount = (job != nullptr ? 1 : 0) + (listsHandles ? 1 : 0);
    STARTUPINFOEXW extended = {};
    extended.StartupInfo = startup;
    if (attributeCount == 0) {
        return !seamFails("CreateProcessW") &&
               CreateProcessW(image, run->childCommandLine, nullptr, nullptr, inheritHandles, NORMAL_PRIORITY_CLASS,
                              nullptr, nullptr, &extended.StartupInfo, child);
    }
    AttributeListBuffer buffer;
    PPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<PPROC_THREAD_ATTRIBUTE_LIST>(buffer.bytes);
    SIZE_T size = sizeof buffer.bytes;
    if (!InitializeProcThreadAttributeList(list, attributeCount, 0, &size)) {
        return false;
    }
    bool started = false;
    if (fillAttributes(list, job, inherited)) {
        // The same record as without attributes, only extended by the list.
        extended.StartupInfo.cb = sizeof extended;
        extended.lpAttributeList = list;
        started = !seamFails("CreateProcessW") &&
                  CreateProcessW(image, run->childCommandLine, nullptr, nullptr, inheritHandles,
                                 NORMAL_PRIORITY_CLASS | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                 &extended.StartupInfo, child);
    }
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(list);
    SetLastError(error);  // the reason a refusal reports
    return started;
}

// Creates the process, in the job where the system allows it; a failure to
// start ends the process. Returns the job, or null when the child runs
// without one.
HANDLE startChild(ChildRun *run, const wchar_t *image, InheritedHandles *inherited,
                  const STARTUPINFOW &startup, PROCESS_INFORMATION *child) {
    HANDLE job = createChildJob();
    if (job != nullptr && createProcess(run, image, &job, inherited, startup, child)) {
        return job;
    }
    if (!createProcess(run, image, nullptr, inherited, startup, child)) {
        fatalErrorWithCode(kLaunchFailed, GetLastError());
    }
    // Put in the job at once: should this process end in the instant
    // between, the child runs on as it would without a job, and its
    // directory stays in use until it ends. Refused (Windows 7 nests no
    // jobs), the child runs without one.
    if (job != nullptr && (seamFails("AssignProcessToJobObject") || !AssignProcessToJobObject(job, child->hProcess))) {
        CloseHandle(job);  // unused; a failed close changes nothing
        job = nullptr;
    }
    return job;
}

}  // namespace

wchar_t *buildChildCommandLine(ChildRun *run, OwnModule *own) {
    splitCommandLine(GetCommandLineW(), ownModulePathOf(own), &ownArguments);
    ownArguments.elements[0] = own->ownModulePath;
    composeCommandLine(ownArguments.count, ownArguments.elements, run->childCommandLine);
    return run->childCommandLine;
}

namespace {

// Both forms' launch: the own executable as the marked child when
// `programPath` is null, that program in its place otherwise.
unsigned long launch(ChildRun *run, OwnModule *own, RunDirectory *directory, const wchar_t *programPath,
                     const wchar_t *programName) {
    // At sign-out and shut-down the system ends processes from the highest
    // shutdown level down. The application, at the default 0x280, is to be
    // asked and ended first, its windows given their WM_ENDSESSION; ended
    // before it, this process would close the job and kill it while it
    // saves. 0x100 is the lowest level the system leaves to applications.
    // Not examined: refused, the system's default order holds, as before.
    SetProcessShutdownParameters(kParentShutdownLevel, 0);
    setEnvVar(kDirectoryVariable, ownModuleDirectoryOf(own));
    setEnvVar(kArgv0Variable, programName);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    // Passed on as they are, also when null or invalid (no console).
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    buildChildCommandLine(run, own);
    PROCESS_INFORMATION child = {};
    HANDLE job = nullptr;
    if (programPath == nullptr) {
        // The mark makes the one process started here a child that never
        // starts another (processes/role_decision.h); nothing else this
        // process might start later is to carry it.
        wchar_t ownId[kProcessIdTextCapacity];
        formatProcessId(GetCurrentProcessId(), ownId);
        if (!setEnvVar(kChildMarkVariable, ownId)) {
            fatalErrorWithCode(kLaunchFailed, GetLastError());
        }
        job = startChild(run, ownModulePathOf(own), nullptr, startup, &child);
        unsetEnvVar(kChildMarkVariable);  // not examined: this process starts nothing else
    } else {
        // Nothing the program inherits makes an instance it starts a child:
        // the own executable started again runs as a parent of its own.
        withdrawParentRole();
        // The program searches for its DLLs as when started by itself: its
        // folder first. The empty DLL directory the run began with is given
        // up, as Windows versions that hand a new process a DLL path built
        // with it would drop the current directory from the program's
        // search; this process's own loads still come from the system
        // directory alone (SetDefaultDllDirectories). Not examined: the call
        // only falls back to the default search, which cannot fail.
        SetDllDirectoryW(nullptr);
        // Only what the program needs: the holder, which keeps the
        // directory in use while it runs (null where none is open), and the
        // standard handles; not what this process holds for itself.
        InheritedHandles inherited = {};
        addInheritedHandle(&inherited, directory->holder);
        addInheritedHandle(&inherited, startup.hStdInput);
        addInheritedHandle(&inherited, startup.hStdOutput);
        addInheritedHandle(&inherited, startup.hStdError);
        job = startChild(run, programPath, &inherited, startup, &child);
    }
    CloseHandle(child.hThread);  // not needed; a failed close changes nothing for the run
    DWORD exitCode = 0;
    if (child.hProcess != nullptr) {
        exitCode = waitForChild(run, directory, child.hProcess, child.dwProcessId);
    }
    if (job != nullptr) {
        // The child has ended, and nothing else is in the job: closing it ends nobody.
        CloseHandle(job);  // a failed close changes nothing for the run
    }
    performCleanup(run, directory);
    // Also after a console event: the application's own code when the child
    // ended by itself, kStatusControlCExit when it was terminated.
    return exitCode;
}

}  // namespace

unsigned long launchChild(ChildRun *run, OwnModule *own, RunDirectory *directory, const wchar_t *programName) {
    return launch(run, own, directory, nullptr, programName);
}

unsigned long launchProgram(ChildRun *run, OwnModule *own, RunDirectory *directory, const wchar_t *programPath,
                            const wchar_t *programName) {
    return launch(run, own, directory, programPath, programName);
}
