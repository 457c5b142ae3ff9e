#include "child/directory_sweep.h"

#include <windows.h>

#include <stdint.h>
#include <wchar.h>

#include "base/bounded_text.h"
#include "base/launcher_state.h"
#include "child/run_directory_names.h"
#include "child/tree_removal.h"
#include "paths/long_path.h"
#include "paths/system_values.h"

namespace {

constexpr int kMostTakenPerSweep = 32;
constexpr ULONGLONG kSweepMilliseconds = 1000;
// A directory's long form, then a name, which the system keeps below MAX_PATH.
constexpr size_t kSweepPathCapacity = kLongPathCapacity + MAX_PATH;

// On the heap: the paths are long.
struct Sweep {
    wchar_t directory[kSweepPathCapacity];  // the temporary directory, with its final separator
    size_t directoryLength;
    wchar_t ownName[MAX_PATH];  // the run's own directory; empty if its name is longer
    wchar_t ownTombstones[kTombstoneNameCapacity];  // how this process's tombstone names begin
    size_t ownTombstonesLength;
    wchar_t taken[kSweepPathCapacity];
    wchar_t tombstone[kSweepPathCapacity];
};

// Fills in the temporary directory and the names of this run's own. False
// when the target directory has no long form.
bool prepare(Sweep *sweep) {
    size_t length = writeLongPathForm(launcherState.targetDirectory, sweep->directory);
    wchar_t *separator = length == 0 ? nullptr : wcsrchr(sweep->directory, L'\\');
    if (separator == nullptr) {
        return false;
    }
    const wchar_t *ownName = separator + 1;
    sweep->ownName[0] = L'\0';
    if (wcslen(ownName) < MAX_PATH) {
        copyText(sweep->ownName, MAX_PATH, ownName);
    }
    separator[1] = L'\0';
    sweep->directoryLength = static_cast<size_t>(separator + 1 - sweep->directory);
    // A tombstone this sweep made and could not remove at once is left to
    // later runs, instead of being renamed again and again while it lasts.
    formatTombstoneName(GetCurrentProcessId(), 0, sweep->ownTombstones);
    sweep->ownTombstonesLength = static_cast<size_t>(wcsrchr(sweep->ownTombstones, L'_') + 1 - sweep->ownTombstones);
    return true;
}

// A launcher older than holders leaves its live directory unheld; its
// parent is then still the process its name gives, created before the time
// in the name (a process that took the id later was created after). Such a
// directory is spared: this test can only spare a directory, never condemn
// one.
bool namesRunningParent(const wchar_t *name) {
    unsigned long processId = 0;
    uint64_t startTime = 0;
    if (!parseRunDirectoryName(name, &processId, &startTime)) {
        return false;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        return false;  // no such process, or not one of this user's launchers
    }
    FILETIME creation, exit, kernel, user;
    bool running = GetProcessTimes(process, &creation, &exit, &kernel, &user) &&
                   WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                   ((static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime) <= startTime;
    CloseHandle(process);  // a query handle: nothing is lost if the close fails
    return running;
}

bool isSweepable(const Sweep *sweep, const WIN32_FIND_DATAW &found) {
    const wchar_t *name = found.cFileName;
    const DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    if (isTombstoneName(name)) {
        return wcsncmp(name, sweep->ownTombstones, sweep->ownTombstonesLength) != 0;
    }
    return isRunDirectoryName(name) && wcscmp(name, sweep->ownName) != 0 && !namesRunningParent(name);
}

// The temporary directory followed by `name`; a name always fits the room kept for it.
void composePath(const Sweep *sweep, wchar_t *path, const wchar_t *name) {
    size_t length = appendUnits(path, kSweepPathCapacity, 0, sweep->directory, sweep->directoryLength);
    appendUnits(path, kSweepPathCapacity, length, name, wcslen(name));
}

void sweepFrom(Sweep *sweep, ULONGLONG began) {
    composePath(sweep, sweep->taken, L"onefile_*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(sweep->taken, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        return;  // nothing of the kind, or nothing to be seen: either way nothing to take
    }
    // Numbers from the clock keep this process's tombstone names apart from
    // those an earlier process with the same id may have left.
    uint64_t serial = static_cast<uint64_t>(currentSystemTime());
    int taken = 0;
    do {
        if (taken == kMostTakenPerSweep || GetTickCount64() - began >= kSweepMilliseconds) {
            break;
        }
        if (!isSweepable(sweep, found)) {
            continue;
        }
        wchar_t tombstoneName[kTombstoneNameCapacity];
        formatTombstoneName(GetCurrentProcessId(), serial++, tombstoneName);
        composePath(sweep, sweep->taken, found.cFileName);
        composePath(sweep, sweep->tombstone, tombstoneName);
        // The rename needs the directory opened for deletion, which a holder
        // denies; of two sweepers only one finds the name still there.
        // Without replacing: a name taken meanwhile makes it fail too.
        if (MoveFileExW(sweep->taken, sweep->tombstone, 0)) {
            taken++;
            // Not examined: what stays is taken again by a later sweep.
            removeTombstoneTree(sweep->tombstone);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);  // a search handle: nothing is lost if the close fails
}

}  // namespace

void sweepDeadRuns() {
    const ULONGLONG began = GetTickCount64();
    Sweep *sweep = static_cast<Sweep *>(HeapAlloc(GetProcessHeap(), 0, sizeof(Sweep)));
    if (sweep == nullptr) {
        return;
    }
    if (prepare(sweep)) {
        sweepFrom(sweep, began);
    }
    HeapFree(GetProcessHeap(), 0, sweep);  // not examined: the block is ours and the process goes on
}
