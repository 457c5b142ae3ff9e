// The demo application: what a program packed by zelmor-pack sees when it
// runs. The launcher loads this DLL from the extraction directory and calls
// run_code with the command line's arguments; its return value becomes the
// exit code of the whole launch.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

// Where this DLL was loaded from: the extraction directory, where its data
// files are too.
bool ownDirectory(wchar_t *directory, DWORD capacity) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ownDirectory), &self)) {
        return false;
    }
    DWORD length = GetModuleFileNameW(self, directory, capacity);
    if (length == 0 || length == capacity) {
        return false;
    }
    wchar_t *lastBackslash = wcsrchr(directory, L'\\');
    if (lastBackslash != nullptr) {
        *lastBackslash = L'\0';
    }
    return true;
}

void showVariable(const wchar_t *name) {
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    printf("  %-26ls %ls\n", name, length ? value : L"(not set)");
}

// Reads one of the files that were packed beside the DLL.
bool showDataFile(const wchar_t *directory, const wchar_t *name) {
    wchar_t path[MAX_PATH * 4];
    swprintf(path, sizeof path / sizeof path[0], L"%ls\\%ls", directory, name);
    FILE *file = _wfopen(path, L"rb");
    if (file == nullptr) {
        printf("  %ls: missing\n", name);
        return false;
    }
    char line[256];
    if (fgets(line, sizeof line, file) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        printf("  %-26ls %s\n", name, line);
    }
    fclose(file);
    return true;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv) {
    printf("Hello from the Zelmor onefile demo.\n\nArguments (argv[0] is the launcher itself):\n");
    for (int i = 0; i < argc; i++) {
        printf("  argv[%d] = %ls\n", i, argv[i]);
    }
    printf("\nWhat the launcher publishes:\n");
    showVariable(L"ZELMOR_ONEFILE_DIRECTORY");
    showVariable(L"ZELMOR_ORIGINAL_ARGV0");
    wchar_t directory[MAX_PATH * 4];
    if (!ownDirectory(directory, MAX_PATH * 4)) {
        printf("cannot tell where the demo was loaded from\n");
        return 3;
    }
    printf("\nThe application's files are in %ls:\n", directory);
    bool complete = showDataFile(directory, L"greeting.txt") && showDataFile(directory, L"data\\colours.txt");
    int code = complete ? 42 : 4;
    printf("\nThe demo returns %d, which becomes the exit code of demo.exe.\n", code);
    fflush(stdout);
    return code;
}
