#include "launcher/run_sequence.h"

#include <windows.h>

#include <stdio.h>

#include "launcher/bounded_text.h"
#include "launcher/failure.h"
#include "launcher/launcher_state.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "payload/extraction.h"
#include "payload/payload_reader.h"

namespace {

void publishOwnProcessId() {
    char narrow[128];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide[128];
    copyWidened(wide, 128, narrow);
    setEnvVar("ZELMOR_ONEFILE_PARENT", wide);
}

}  // namespace

int runLauncher(int argumentCount, wchar_t **arguments) {
    (void)argumentCount;
    (void)arguments;
    // Take the current directory out of the library search path for the whole
    // process; not checked, as the run goes on the same way without it.
    SetDllDirectoryW(L"");
    publishOwnProcessId();
    bool expanded = expandPathSpec(launcherState.targetDirectory, kTargetDirectorySpec, kTargetDirectoryCapacity);
    // The spec itself is reported, never the partial path.
    if (!expanded) {
        fatalSpecExpansion(kTargetDirectorySpec);
    }
    openPayload();
    extractPayload();
    return 0;
}
