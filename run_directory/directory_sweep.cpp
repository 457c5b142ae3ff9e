#include "run_directory/directory_sweep.h"

#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include "base/native_calls.h"
#include "base/test_seam.h"
#include "paths/long_path.h"
#include "run_directory/run_directory_names.h"
#include "run_directory/tree_removal.h"

namespace {

constexpr int kMostTakenPerSweep = 32;
constexpr ULONGLONG kSweepMilliseconds = 1000;
constexpr ULONG kListingBytes = 16384;

// On the heap: the path is long.
struct Sweep {
    wchar_t directory[kLongPathCapacity];  // the temporary directory
    wchar_t ownName[MAX_PATH];             // the run's own directory
    wchar_t ownTombstones[kTombstoneNameCapacity];  // how this process's tombstone names begin
    size_t ownTombstonesLength;
    // The owners a directory this user's runs made can have: the user, or
    // the owner the token gives what it creates (Administrators, elevated).
    SidBuffer user;
    SidBuffer defaultOwner;
    union {
        FILE_ID_BOTH_DIR_INFO first;  // aligns the records
        unsigned char bytes[kListingBytes];
    } listing;
};

// Fills in the temporary directory, the names of this run's own and who
// this process is. False when the target directory has no long form or the
// token cannot tell: nothing can then be judged this user's.
bool prepare(Sweep *sweep, const RunDirectory *own) {
    if (splitLongPathForm(own->targetDirectory, sweep->directory, sweep->ownName, MAX_PATH) == 0) {
        return false;
    }
    // A tombstone this process made and could not remove at once is left to
    // later runs, instead of being renamed again and again while it lasts.
    formatTombstoneName(GetCurrentProcessId(), 0, sweep->ownTombstones);
    sweep->ownTombstonesLength = static_cast<size_t>(wcsrchr(sweep->ownTombstones, L'_') + 1 - sweep->ownTombstones);
    return processTokenSid(TokenUser, &sweep->user) == ERROR_SUCCESS &&
           processTokenSid(TokenOwner, &sweep->defaultOwner) == ERROR_SUCCESS;
}

// A launcher older than holders leaves its live directory unheld; its
// parent is then still the process its name gives, created before the time
// in the name (a process that took the id later was created after). Such a
// directory is spared, and so is one whose process may not be opened: it
// runs, with rights this one lacks. This test can only spare a directory,
// never condemn one.
bool namesRunningParent(const wchar_t *name) {
    unsigned long processId = 0;
    uint64_t startTime = 0;
    if (!parseRunDirectoryName(name, &processId, &startTime)) {
        return false;
    }
    HANDLE process = seamFails("OpenProcess")
                         ? nullptr
                         : OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) {
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    FILETIME creation, exit, kernel, user;
    bool running = GetProcessTimes(process, &creation, &exit, &kernel, &user) &&
                   WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
                   ((static_cast<uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime) <= startTime;
    CloseHandle(process);  // a query handle: nothing is lost if the close fails
    return running;
}

// Run directories and tombstones, listed as real directories, none this
// process's own.
bool isSweepable(const Sweep *sweep, const wchar_t *name, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    if (isTombstoneName(name)) {
        return wcsncmp(name, sweep->ownTombstones, sweep->ownTombstonesLength) != 0;
    }
    return isRunDirectoryName(name) && wcscmp(name, sweep->ownName) != 0 && !namesRunningParent(name);
}

// Another user's directory is never entered, whatever its name; one whose
// owner cannot be read is not taken either. `context` is the Sweep.
bool isOwnedByThisUser(void *directory, const void *context) {
    const Sweep *sweep = static_cast<const Sweep *>(context);
    SidBuffer owner;
    return nativeOwner(directory, &owner) == ERROR_SUCCESS && !seamFails("RtlEqualSid") &&
           (nativeSidsEqual(owner, sweep->user) || nativeSidsEqual(owner, sweep->defaultOwner));
}

void sweepFrom(Sweep *sweep, HANDLE temporary, ULONGLONG deadline) {
    const ULONG nameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    int taken = 0;
    for (bool first = true;; first = false) {
        ULONG filled = 0;
        // The pattern applies from the first call on this handle.
        DWORD error = nativeList(temporary, sweep->listing.bytes, kListingBytes, first, kRunDirectoryPattern, &filled);
        if (error != ERROR_SUCCESS || filled < nameOffset) {
            return;  // done, or nothing more to be seen: either way nothing more to take
        }
        for (ULONG at = 0; filled - at >= nameOffset;) {
            if (taken == kMostTakenPerSweep || GetTickCount64() >= deadline) {
                return;
            }
            const FILE_ID_BOTH_DIR_INFO *record =
                reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(sweep->listing.bytes + at);
            const size_t length = record->FileNameLength / sizeof(wchar_t);
            if (record->FileNameLength <= filled - at - nameOffset && length < MAX_PATH) {
                wchar_t name[MAX_PATH];
                wmemcpy(name, record->FileName, length);
                name[length] = L'\0';
                if (isSweepable(sweep, name, record->FileAttributes) &&
                    takeListedDirectory(temporary, name, length, static_cast<uint64_t>(record->FileId.QuadPart),
                                        isOwnedByThisUser, sweep, deadline)) {
                    taken++;
                }
            }
            if (record->NextEntryOffset == 0) {
                break;
            }
            at += record->NextEntryOffset;
            if (at > filled) {
                break;
            }
        }
    }
}

}  // namespace

void sweepDeadRuns(const RunDirectory *own) {
    const ULONGLONG deadline = GetTickCount64() + kSweepMilliseconds;
    Sweep *sweep = static_cast<Sweep *>(HeapAlloc(GetProcessHeap(), 0, sizeof(Sweep)));
    if (sweep == nullptr) {
        return;
    }
    if (prepare(sweep, own)) {
        HANDLE temporary = CreateFileW(sweep->directory, FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (temporary != INVALID_HANDLE_VALUE) {
            sweepFrom(sweep, temporary, deadline);
            CloseHandle(temporary);  // nothing is lost if the close fails
        }
    }
    HeapFree(GetProcessHeap(), 0, sweep);  // not examined: the block is ours and the process goes on
}
