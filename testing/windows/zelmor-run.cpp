// Starts a program with a raw command line and reports its whole 32-bit exit
// code, which a Linux shell would cut to 8 bits. Wine quotes Linux arguments
// itself, so a test passes the child's command line as one argument here.
//
//   zelmor-run [--set NAME=VALUE]... [--unset NAME]... [--set-own-pid NAME]
//              [--cwd DIR] [--exit-code-file FILE] [--held-pid-file FILE]
//              [--terminate-when FILE] [--outlive-control-events] [--std-handles none]
//              [--token limited|elevated]
//              APPLICATION COMMANDLINE
//
// The child inherits this process's standard handles (none at all with
// --std-handles none, as Explorer starts a GUI program) and environment (with
// the changes asked for). An empty APPLICATION lets the system find the image
// from the command line. With --held-pid-file the child is created suspended,
// its process id is written to FILE, and it starts running once the caller
// has deleted FILE: a test can prepare what depends on that id. With
// --terminate-when the child is terminated (exit code 1), as Task Manager's
// End task or taskkill /F would, once FILE exists. With
// --outlive-control-events a Ctrl+C on the shared console ends the child
// only, whose exit code is then reported. With --token the child runs with
// the unelevated (limited) or the elevated half of a split token: this
// process's own when it is of that kind, else its linked token (Wine 8
// gives every process the elevated half, Wine 10 the limited one).
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

// Writes the held child's id to `file`, waits (at most a minute) until the
// caller deletes it, then lets the child run.
bool releaseWhenDeleted(const wchar_t *file, const PROCESS_INFORMATION &process) {
    FILE *out = _wfopen(file, L"w");
    if (!out) {
        fwprintf(stderr, L"zelmor-run: cannot write %ls\n", file);
        return false;
    }
    fprintf(out, "%lu\n", process.dwProcessId);
    fclose(out);
    for (int waited = 0; GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES; waited += 10) {
        if (waited > 60000) {
            fwprintf(stderr, L"zelmor-run: %ls was never deleted\n", file);
            return false;
        }
        Sleep(10);
    }
    return ResumeThread(process.hThread) != static_cast<DWORD>(-1);
}

// Waits for the process; terminates it first if `file` comes to exist.
void waitOrTerminate(HANDLE process, const wchar_t *file) {
    while (WaitForSingleObject(process, 10) == WAIT_TIMEOUT) {
        if (GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES && TerminateProcess(process, 1)) {
            WaitForSingleObject(process, INFINITE);
            return;
        }
    }
}

BOOL WINAPI outliveControlEvent(DWORD) {
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    const wchar_t *exitCodeFile = nullptr;
    const wchar_t *heldPidFile = nullptr;
    const wchar_t *terminateWhen = nullptr;
    const wchar_t *directory = nullptr;
    bool standardHandles = true;
    HANDLE childToken = nullptr;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        if (wcscmp(argv[i], L"--set") == 0) {
            wchar_t *equals = wcschr(argv[i + 1], L'=');
            if (!equals) {
                fwprintf(stderr, L"zelmor-run: --set needs NAME=VALUE\n");
                return 120;
            }
            *equals = L'\0';
            SetEnvironmentVariableW(argv[i + 1], equals + 1);
        } else if (wcscmp(argv[i], L"--set-own-pid") == 0) {
            // A running process of another executable, for tests of stale ids.
            wchar_t id[16];
            swprintf(id, 16, L"%lu", GetCurrentProcessId());
            SetEnvironmentVariableW(argv[i + 1], id);
        } else if (wcscmp(argv[i], L"--unset") == 0) {
            SetEnvironmentVariableW(argv[i + 1], nullptr);
        } else if (wcscmp(argv[i], L"--cwd") == 0) {
            directory = argv[i + 1];
        } else if (wcscmp(argv[i], L"--exit-code-file") == 0) {
            exitCodeFile = argv[i + 1];
        } else if (wcscmp(argv[i], L"--held-pid-file") == 0) {
            heldPidFile = argv[i + 1];
        } else if (wcscmp(argv[i], L"--terminate-when") == 0) {
            terminateWhen = argv[i + 1];
        } else if (wcscmp(argv[i], L"--std-handles") == 0 && wcscmp(argv[i + 1], L"none") == 0) {
            standardHandles = false;
        } else if (wcscmp(argv[i], L"--outlive-control-events") == 0) {
            SetConsoleCtrlHandler(outliveControlEvent, TRUE);
            i--;  // an option without a value
        } else if (wcscmp(argv[i], L"--token") == 0) {
            HANDLE token = nullptr;
            TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
            TOKEN_LINKED_TOKEN linked = {};
            DWORD size = 0;
            bool elevated = wcscmp(argv[i + 1], L"elevated") == 0;
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
                !GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size)) {
                fwprintf(stderr, L"zelmor-run: no token (%lu)\n", GetLastError());
                return 120;
            }
            if ((type == TokenElevationTypeFull) != elevated) {
                if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) {
                    fwprintf(stderr, L"zelmor-run: no linked token (%lu)\n", GetLastError());
                    return 120;
                }
                childToken = linked.LinkedToken;
            }
        } else {
            break;
        }
    }
    if (argc - i != 2) {
        fwprintf(stderr, L"zelmor-run: expected APPLICATION COMMANDLINE\n");
        return 120;
    }
    const wchar_t *application = argv[i][0] ? argv[i] : nullptr;
    static wchar_t commandLine[32768];
    if (wcslen(argv[i + 1]) >= 32768) {
        fwprintf(stderr, L"zelmor-run: command line too long\n");
        return 120;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = standardHandles ? GetStdHandle(STD_INPUT_HANDLE) : nullptr;
    startup.hStdOutput = standardHandles ? GetStdHandle(STD_OUTPUT_HANDLE) : nullptr;
    startup.hStdError = standardHandles ? GetStdHandle(STD_ERROR_HANDLE) : nullptr;
    // Under load Wine now and then loses a new process while it is still
    // starting and reports ERROR_INTERNAL_ERROR. That says nothing about the
    // program under test, so the start is tried again; any other failure is
    // reported at once.
    PROCESS_INFORMATION process = {};
    for (int attempt = 1;; ++attempt) {
        wcscpy(commandLine, argv[i + 1]);
        DWORD flags = heldPidFile ? CREATE_SUSPENDED : 0;
        if (childToken != nullptr
                ? CreateProcessAsUserW(childToken, application, commandLine, nullptr, nullptr, TRUE, flags, nullptr,
                                       directory, &startup, &process)
                : CreateProcessW(application, commandLine, nullptr, nullptr, TRUE, flags, nullptr, directory, &startup,
                                 &process)) {
            break;
        }
        DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 5) {
            fwprintf(stderr, L"zelmor-run: CreateProcessW failed with %lu\n", error);
            return 121;
        }
        Sleep(200);
    }
    if (heldPidFile && !releaseWhenDeleted(heldPidFile, process)) {
        TerminateProcess(process.hProcess, 124);
        return 124;
    }
    CloseHandle(process.hThread);
    if (terminateWhen) {
        waitOrTerminate(process.hProcess, terminateWhen);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.hProcess, &exitCode)) {
        fwprintf(stderr, L"zelmor-run: GetExitCodeProcess failed with %lu\n", GetLastError());
        return 122;
    }
    CloseHandle(process.hProcess);
    if (exitCodeFile) {
        FILE *out = _wfopen(exitCodeFile, L"w");
        if (!out) {
            fwprintf(stderr, L"zelmor-run: cannot write %ls\n", exitCodeFile);
            return 123;
        }
        fprintf(out, "%lu\n", exitCode);
        fclose(out);
    }
    return static_cast<int>(exitCode & 0xFF);
}
