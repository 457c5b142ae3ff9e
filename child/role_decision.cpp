#include "child/role_decision.h"

#include <windows.h>
#include <psapi.h>

#include <errno.h>
#include <stdio.h>
#include <wchar.h>

#include "launcher/bounded_text.h"
#include "launcher/launcher_state.h"
#include "paths/canonical_path.h"
#include "paths/environment.h"

namespace {

constexpr size_t kParentPathCapacity = 2048;
constexpr size_t kProcessIdCapacity = 128;

// wcstoul's own rules: leading blanks and a sign pass, anything after the
// digits or a value above 32 bits does not.
bool parseProcessId(const wchar_t *text, DWORD *processId) {
    errno = 0;
    wchar_t *end = nullptr;
    unsigned long value = wcstoul(text, &end, 10);
    if (errno != 0 || end == nullptr || *end != L'\0') {
        return false;
    }
    *processId = static_cast<DWORD>(value);
    return true;
}

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

bool namesRunningInstance(const wchar_t *value) {
    DWORD processId = 0;
    if (!parseProcessId(value, &processId)) {
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return false;
    }
    bool same = runsThisExecutable(process);
    CloseHandle(process);  // a query handle: nothing is lost if the close fails
    return same;
}

void publishOwnProcessId() {
    char narrow[kProcessIdCapacity];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide[kProcessIdCapacity];
    copyWidened(wide, kProcessIdCapacity, narrow);
    setEnvVar("ZELMOR_ONEFILE_PARENT", wide);
}

}  // namespace

bool decideRole() {
    const wchar_t *parent = getEnvVar("ZELMOR_ONEFILE_PARENT");
    if (parent != nullptr) {
        if (namesRunningInstance(parent)) {
            return true;
        }
        // A fresh start time too, so this run never reuses another's directory.
        unsetEnvVar("ZELMOR_ONEFILE_PARENT");
        unsetEnvVar("ZELMOR_ONEFILE_START");
    }
    publishOwnProcessId();
    return false;
}
