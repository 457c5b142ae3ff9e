// A program built as MinGW builds one by default: against the shared C++
// runtime, whose DLLs the build copies beside it. It says where the runtime
// was loaded from, so that a test can tell the packed copy from a planted
// one, and exits with the number its first argument gives.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include <stdexcept>

int wmain(int argc, wchar_t **argv) {
    wchar_t path[MAX_PATH];
    HMODULE runtime = GetModuleHandleW(L"libstdc++-6.dll");
    if (runtime == nullptr || GetModuleFileNameW(runtime, path, MAX_PATH) == 0) {
        fputs("the C++ runtime is not loaded\n", stderr);
        return 3;
    }
    try {
        throw std::runtime_error("caught through the shared runtime");
    } catch (const std::runtime_error &caught) {
        wprintf(L"runtime: %ls\n%hs\n", path, caught.what());
    }
    return argc > 1 ? _wtoi(argv[1]) : 0;
}
