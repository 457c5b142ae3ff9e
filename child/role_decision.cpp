#include "child/role_decision.h"

#include <windows.h>
#include <psapi.h>

#include <wchar.h>

#include "launcher/launcher_state.h"
#include "paths/canonical_path.h"
#include "paths/environment.h"
#include "paths/parent_id.h"

namespace {

constexpr size_t kParentPathCapacity = 2048;

void computeOwnCanonicalPath() {
    wchar_t *own = launcherState.ownModulePathCanonical;
    if (own[0] != L'\0') {
        return;
    }
    // Not examined: an empty path cannot open and ends the resolution below.
    GetModuleFileNameW(nullptr, own, kCanonicalPathCapacity);
    resolveFinalPath(own, kCanonicalPathCapacity);
    shortenDirectoryPart(own, kCanonicalPathCapacity);
}

bool runsThisExecutable(HANDLE process) {
    wchar_t parentPath[kParentPathCapacity];
    if (K32GetModuleFileNameExW(process, nullptr, parentPath, kParentPathCapacity) == 0) {
        return false;
    }
    // A stale id may name a process whose file is gone or too long to name:
    // it is simply not this executable.
    if (!finalPathOf(parentPath, kParentPathCapacity)) {
        return false;
    }
    shortenDirectoryPart(parentPath, kParentPathCapacity);
    computeOwnCanonicalPath();
    return wcscmp(parentPath, launcherState.ownModulePathCanonical) == 0;
}

bool namesRunningInstance(unsigned long processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    bool same = runsThisExecutable(process);
    CloseHandle(process);  // a query handle: nothing is lost if the close fails
    return same;
}

void publishOwnProcessId() {
    wchar_t text[kProcessIdTextCapacity];
    formatProcessId(GetCurrentProcessId(), text);
    setEnvVar("ZELMOR_ONEFILE_PARENT", text);  // not examined: the child then takes the parent role too
}

}  // namespace

bool decideRole() {
    unsigned long parentId = 0;
    if (parseParentId(getEnvVar("ZELMOR_ONEFILE_PARENT"), &parentId)) {
        if (namesRunningInstance(parentId)) {
            return true;
        }
        // A fresh start time too, so this run never reuses another's directory.
        unsetEnvVar("ZELMOR_ONEFILE_PARENT");
        unsetEnvVar("ZELMOR_ONEFILE_START");
    }
    publishOwnProcessId();
    return false;
}
