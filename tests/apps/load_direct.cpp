// Loads a payload DLL and calls its run_code without the launcher: the
// baseline for start-up timing.
//
//   zelmor-load-direct PATH_TO_DLL [ARGS...]
#include <windows.h>

#include <stdio.h>

typedef int (*RunCode)(int, wchar_t **);

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: zelmor-load-direct PATH_TO_DLL [ARGS...]\n");
        return 120;
    }
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module) {
        fwprintf(stderr, L"zelmor-load-direct: cannot load %ls: error %lu\n", argv[1], GetLastError());
        return 121;
    }
    RunCode runCode = reinterpret_cast<RunCode>(reinterpret_cast<void *>(GetProcAddress(module, "run_code")));
    if (!runCode) {
        fwprintf(stderr, L"zelmor-load-direct: %ls has no run_code\n", argv[1]);
        return 122;
    }
    return runCode(argc - 1, argv + 1);
}
