#include "processes/role_decision.h"

#include <windows.h>
#include <psapi.h>

#include <wchar.h>

#include "base/failure.h"
#include "base/messages.h"
#include "base/test_seam.h"
#include "paths/canonical_path.h"
#include "paths/environment.h"
#include "paths/own_module.h"
#include "paths/parent_id.h"

namespace {

constexpr size_t kParentPathCapacity = 2048;

// ERROR_SUCCESS when the process with `processId` runs this executable
// (equal canonical paths); otherwise why not, as a system error number. Ids
// and paths that name no instance of it, where no system call failed, give
// ERROR_INVALID_PARAMETER.
DWORD checkRunningInstance(OwnModule *own, unsigned long processId) {
    HANDLE process = seamFails("OpenProcess")
                         ? nullptr
                         : OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return GetLastError();
    }
    wchar_t parentPath[kParentPathCapacity];
    DWORD length = seamFails("K32GetModuleFileNameExW")
                       ? 0
                       : K32GetModuleFileNameExW(process, nullptr, parentPath, kParentPathCapacity);
    DWORD error = length == 0 ? GetLastError() : ERROR_SUCCESS;
    CloseHandle(process);  // a query handle: nothing is lost if the close fails
    if (length == 0) {
        return error;
    }
    // A path that fills the buffer may have been cut short.
    if (length >= kParentPathCapacity - 1) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (!finalPathOf(parentPath, kParentPathCapacity)) {
        return GetLastError();
    }
    shortenDirectoryPart(parentPath, kParentPathCapacity);
    return wcscmp(parentPath, ownModuleCanonicalPathOf(own)) == 0 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Reads and removes the mark the parent sets for the one process it starts,
// so that nothing the application starts inherits it, also through the C
// runtime's copy of the environment.
bool takeChildMark() {
    const wchar_t *mark = getEnvVar(kChildMarkVariable);
    if (mark == nullptr) {
        return false;
    }
    // Not examined: a mark that stays (the system or the runtime out of
    // memory) makes a packed program the application starts end with
    // kParentUnconfirmed, which that program reports.
    unsetEnvVar(kChildMarkVariable);
    return true;
}

void publishOwnProcessId() {
    wchar_t text[kProcessIdTextCapacity];
    formatProcessId(GetCurrentProcessId(), text);
    setEnvVar(kParentVariable, text);  // not examined: the child then fails to confirm and says so
}

}  // namespace

Role decideRole(OwnModule *own) {
    const wchar_t *parentValue = getEnvVar(kParentVariable);
    unsigned long parentId = 0;
    const bool hasParentId = parseParentId(parentValue, &parentId);
    if (takeChildMark()) {
        // Started by a parent as its child: it must find that parent, and it
        // never becomes a parent itself, or a failure here would start one
        // generation after another.
        DWORD error = hasParentId ? checkRunningInstance(own, parentId) : ERROR_INVALID_PARAMETER;
        if (error != ERROR_SUCCESS) {
            fatalErrorWithCode(kParentUnconfirmed, error);
        }
        return Role::MarkedChild;
    }
    if (hasParentId && checkRunningInstance(own, parentId) == ERROR_SUCCESS) {
        return Role::UnmarkedChild;
    }
    // Set, but naming no running instance: a fresh start time too, so this
    // run never reuses another's directory. Unset or empty removes nothing.
    if (parentValue != nullptr) {
        takeParentRole();
    } else {
        publishOwnProcessId();
    }
    return Role::Parent;
}

void takeParentRole() {
    // Not examined: the id is replaced just below, and beside the own id even
    // a start time that stayed names a directory of this run's own.
    withdrawParentRole();
    publishOwnProcessId();
}

void withdrawParentRole() {
    // Not examined: a removal fails only when the system is out of memory,
    // and an instance of an executable packed with a program that finds this
    // one takes the parent role all the same (launcher/run_sequence.cpp).
    unsetEnvVar(kParentVariable);
    unsetEnvVar(kStartVariable);
}
