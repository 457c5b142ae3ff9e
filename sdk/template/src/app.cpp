// A Zelmor onefile application. It was an ordinary console program whose
// entry was wmain; to be packed, that entry is renamed and run_code calls it.
#include <stdio.h>

#include <string>

#include "zelmor_onefile.h"

namespace {

// Data files packed with the application lie beside the DLL.
std::wstring extractionDirectory() {
    std::wstring directory(ZELMOR_ONEFILE_PATH_CAPACITY, L'\0');
    directory.resize(zelmor_onefile_extraction_directory(&directory[0], ZELMOR_ONEFILE_PATH_CAPACITY));
    return directory;
}

// Files the user keeps beside the executable (settings, documents).
std::wstring executableDirectory() {
    std::wstring directory(ZELMOR_ONEFILE_PATH_CAPACITY, L'\0');
    directory.resize(zelmor_onefile_executable_directory(&directory[0], ZELMOR_ONEFILE_PATH_CAPACITY));
    return directory;
}

// The program's former wmain, unchanged but for its name.
int appMain(int argc, wchar_t **argv) {
    printf("Hello from a Zelmor onefile application.\n");
    for (int i = 1; i < argc; ++i) {
        printf("argument %d: %ls\n", i, argv[i]);
    }
    std::wstring data = extractionDirectory();
    printf("extracted to: %ls\n", data.c_str());
    printf("started from: %ls\n", executableDirectory().c_str());
    FILE *greeting = _wfopen((data + L"\\greeting.txt").c_str(), L"rb");
    if (greeting == nullptr) {
        fprintf(stderr, "greeting.txt is missing\n");
        return 1;
    }
    char line[256];
    if (fgets(line, sizeof line, greeting) != nullptr) {
        printf("greeting.txt: %s", line);
    }
    fclose(greeting);
    return argc - 1;
}

}  // namespace

// What was `int wmain(int argc, wchar_t **argv)`. The launcher's process
// ends with this result; output written through the C runtime is flushed
// when the process exits, so nothing more is needed here.
ZELMOR_ONEFILE_EXPORT int ZELMOR_ONEFILE_CALL run_code(int argc, wchar_t **argv) {
    return appMain(argc, argv);
}
