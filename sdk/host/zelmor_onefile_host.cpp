// The unpacked host: runs an application DLL from the folder this program
// is in, as the packed executable's child would run it from its extraction
// directory, in this very process. Start it under a debugger (F5) to debug
// the application: a debugger started on the packed executable debugs its
// launcher, and the application runs in a second process.
//
// What the application sees is what the launcher gives it: run_code called
// on the main thread with the command line's arguments (argv[0] this
// program's full path), the variables the launcher publishes, and libraries
// looked for beside the DLL and in the system directory only. Its data files
// belong beside the DLL, where the extraction would put them (the SDK's
// CMake package copies a folder there, see zelmor_onefile_add_host).
//
// Build it with ZELMOR_ONEFILE_HOST_APPLICATION defined as the DLL's file
// name, a wide string literal (default L"app.dll"). Exit code: run_code's
// result, or 120 when the DLL cannot be loaded or has no run_code.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#ifndef ZELMOR_ONEFILE_HOST_APPLICATION
#define ZELMOR_ONEFILE_HOST_APPLICATION L"app.dll"
#endif

namespace {

typedef int(__cdecl *RunCode)(int, wchar_t **);

constexpr int kHostFailed = 120;
constexpr DWORD kPathCapacity = 32768;

int hostFailure(const wchar_t *what, const wchar_t *path) {
    DWORD error = GetLastError();
    fwprintf(stderr, L"zelmor-onefile host: %ls %ls (error %lu)\n", what, path, error);
    return kHostFailed;
}

// Publishes what the launcher's parent publishes for its child.
void publishVariables(const wchar_t *executableDirectory, const wchar_t *typedName) {
    wchar_t number[32];
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_DIRECTORY", executableDirectory);
    SetEnvironmentVariableW(L"ZELMOR_ORIGINAL_ARGV0", typedName);
    swprintf(number, 32, L"%lu", GetCurrentProcessId());
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", number);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    swprintf(number, 32, L"%llu",
             (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", number);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    static wchar_t ownPath[kPathCapacity], directory[kPathCapacity], application[kPathCapacity];
    DWORD length = GetModuleFileNameW(nullptr, ownPath, kPathCapacity);
    if (length == 0 || length >= kPathCapacity) {
        return hostFailure(L"cannot tell its own path", L"");
    }
    wcscpy(directory, ownPath);
    wchar_t *cut = wcsrchr(directory, L'\\');
    if (cut != nullptr) {
        *cut = L'\0';
    }
    if (swprintf(application, kPathCapacity, L"%ls\\%ls", directory, ZELMOR_ONEFILE_HOST_APPLICATION) < 0) {
        return hostFailure(L"has too long a path:", directory);
    }
    publishVariables(directory, argc > 0 ? argv[0] : L"");
    // The launcher's library search: the DLL's folder and the system directory,
    // never the current directory or PATH.
    SetDllDirectoryW(L"");
    AddDllDirectory(directory);
    HMODULE module = LoadLibraryExW(application, nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32 |
                                        LOAD_LIBRARY_SEARCH_USER_DIRS);
    if (module == nullptr) {
        return hostFailure(L"cannot load", application);
    }
    RunCode runCode = reinterpret_cast<RunCode>(reinterpret_cast<void *>(GetProcAddress(module, "run_code")));
    if (runCode == nullptr) {
        return hostFailure(L"finds no run_code in", application);
    }
    if (argc > 0) {
        argv[0] = ownPath;
    }
    return runCode(argc, argv);
}
