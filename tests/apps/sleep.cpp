// Sleeps, optionally holding a file or directory open with no sharing so
// that nobody can delete or rename it meanwhile, and exits with the code
// asked for. Once it holds, it says so on standard output, with its process id.
// With "rw" it shares reading and writing, as scanners do, but still not
// deletion.
//
//   zelmor-sleep MILLISECONDS [EXITCODE] [FILE_TO_HOLD [rw]]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv) {
    if (argc < 2 || argc > 5) {
        fwprintf(stderr, L"usage: zelmor-sleep MILLISECONDS [EXITCODE] [FILE_TO_HOLD [rw]]\n");
        return 120;
    }
    DWORD milliseconds = wcstoul(argv[1], nullptr, 10);
    // Base 0 so that NTSTATUS-like codes can be written in hex.
    unsigned long exitCode = argc > 2 ? wcstoul(argv[2], nullptr, 0) : 0;
    if (argc > 3) {
        DWORD sharing = argc > 4 && wcscmp(argv[4], L"rw") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
        HANDLE held = CreateFileW(argv[3], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr);
        if (held == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"zelmor-sleep: cannot open %ls: error %lu\n", argv[3], GetLastError());
            return 121;
        }
        // A test that reads this knows the hold is in place, and a running
        // process's id.
        printf("holding %lu\n", GetCurrentProcessId());
        fflush(stdout);
    }
    Sleep(milliseconds);
    return static_cast<int>(exitCode);
}
