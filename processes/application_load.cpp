#include "processes/application_load.h"

#include <windows.h>

#include "base/failure.h"
#include "base/messages.h"
#include "base/stage_stamps.h"
#include "base/test_seam.h"
#include "run_directory/directory_holder.h"

namespace {

typedef int (*RunCode)(int argumentCount, wchar_t **arguments);

}  // namespace

void holdRunDirectory(RunDirectory *directory) {
    if (!tryHoldRunDirectory(directory)) {
        fatalErrorWithCode(kLoadFailed, GetLastError());
    }
}

int runLibraryMode(const RunDirectory *directory, const wchar_t *library, int argumentCount, wchar_t **arguments) {
    // Not examined: without it a dependency in the target directory fails to
    // load, which the load reports.
    AddDllDirectory(directory->targetDirectory);
    // The application's own loads by name then find its files and the
    // system's, never copies planted beside the executable, in the current
    // directory or on PATH; a child that cannot ensure that runs nothing.
    if (seamFails("SetDefaultDllDirectories") ||
        !SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        fatalErrorWithCode(kLoadFailed, GetLastError());
    }
    HMODULE loaded = LoadLibraryExW(library, nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                        LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (loaded == nullptr) {
        fatalErrorWithCode(kLoadFailed, GetLastError());
    }
    RunCode runCode = reinterpret_cast<RunCode>(reinterpret_cast<void *>(GetProcAddress(loaded, "run_code")));
    if (runCode == nullptr) {
        fatalError(kEntryPointMissing);
    }
    // The library and the reader stay until the process ends.
    stampStage("run_code");
    return runCode(argumentCount, arguments);
}
