#include "cache/cold_start.h"

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "base/native_calls.h"
#include "base/test_seam.h"
#include "cache/cache_location.h"
#include "cache/cache_ownership.h"
#include "cache/version_state.h"
#include "extraction/parent_directories.h"
#include "paths/system_values.h"
#include "run_directory/private_directory.h"
#include "run_directory/tree_removal.h"

namespace {

// The staging directory's holder renames it (the publish), removes it, and
// reads what the removal and the check read.
constexpr uint32_t kStagingAccess = DELETE | FILE_WRITE_ATTRIBUTES | READ_CONTROL;
// A version's holder: listed for the check, its owner and access list read,
// its last-access time set on use.
constexpr ACCESS_MASK kVersionAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL;
constexpr int kNameAttempts = 16;
// A refusal that may pass is retried for about a second.
constexpr int kPublishAttempts = 20;
constexpr DWORD kPublishPauseMilliseconds = 50;
constexpr ULONGLONG kDamagedRemovalMilliseconds = 2000;

void versionNameUnits(const CacheRun *run, wchar_t (&name)[kCacheVersionNameSize + 1]) {
    for (size_t i = 0; i <= kCacheVersionNameSize; ++i) {
        name[i] = static_cast<wchar_t>(static_cast<unsigned char>(run->header.versionName[i]));
    }
}

// Takes the damaged version standing at the version's name, as the sweep
// takes a run directory, and removes it. False when a running instance
// holds it, or it cannot be taken.
bool takeDamagedVersion(CacheRun *run) {
    wchar_t name[kCacheVersionNameSize + 1];
    versionNameUnits(run, name);
    HANDLE application = static_cast<HANDLE>(run->applicationHandle);
    uint32_t error = 0;
    HANDLE damaged = static_cast<HANDLE>(openToTake(application, name, kCacheVersionNameSize, &error));
    if (damaged == nullptr) {
        return false;
    }
    bool taken = renameToTombstone(damaged, application);
    if (taken) {
        // Not examined: what stays of a tombstone goes with a later collection.
        removeTreeByHandle(damaged, GetTickCount64() + kDamagedRemovalMilliseconds);
    }
    CloseHandle(damaged);  // with a deletion set, the close carries it out; a failed close changes nothing
    return taken;
}

void closeHolder(RunDirectory *directory) {
    if (directory->holder != nullptr) {
        CloseHandle(static_cast<HANDLE>(directory->holder));  // a failed close changes nothing for the run
        directory->holder = nullptr;
    }
}

}  // namespace

bool openVersionDirectory(CacheRun *run) {
    wchar_t name[kCacheVersionNameSize + 1];
    versionNameUnits(run, name);
    composeCachePath(run, name, run->version.targetDirectory);
    // Inheritable, as a run directory's holder: what the application starts
    // with inheritance keeps the version in use too.
    NativeOpen request = {static_cast<HANDLE>(run->applicationHandle),
                          name,
                          kCacheVersionNameSize,
                          kVersionAccess,
                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                          nullptr,
                          true};
    HANDLE holder = nullptr;
    if (nativeOpen(request, &holder) != ERROR_SUCCESS) {
        return false;
    }
    DWORD attributes = 0;
    if (nativeAttributes(holder, &attributes) != ERROR_SUCCESS || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(holder);  // not a version of ours; a failed close changes nothing
        return false;
    }
    run->version.holder = holder;
    return true;
}

bool createStagingDirectory(CacheRun *run) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        // The clock's 100-ns count and the attempt: a name no directory had.
        int length = swprintf(run->stagingName, sizeof run->stagingName / sizeof(wchar_t), L"%hs.%lu_%llu.staging",
                              run->header.versionName, GetCurrentProcessId(),
                              static_cast<unsigned long long>(currentSystemTime()) + static_cast<unsigned>(attempt));
        if (length <= 0) {
            return false;
        }
        bool existed = false;
        uint32_t error = 0;
        NewDirectory made = createPrivateDirectoryIn(run->applicationHandle, run->stagingName,
                                                     static_cast<size_t>(length), kStagingAccess, false, &existed,
                                                     &run->staging.holder, &run->staging.fileId, &error);
        if (made == NewDirectory::Created) {
            composeCachePath(run, run->stagingName, run->staging.targetDirectory);
            // The entry loop then makes no directory of its own.
            run->staging.cleanupArmed = 1;
            return true;
        }
        if (made != NewDirectory::NameTaken) {
            return false;
        }
    }
    return false;
}

bool extractIntoStaging(CacheRun *run, Extraction *extraction, PayloadReader *payload) {
    rememberDirectory(&extraction->knownDirectories, run->staging.targetDirectory);
    extractPayload(extraction, payload, &run->staging);
    // Every file is closed: a run killed from here on leaves a staging
    // directory, never a version.
    seamPause("recordVersionState");
    // Listed through a handle of its own: the holder's listing is the
    // removal's, should the publish fail (Wine's handles keep what they
    // listed first, and would not show the state file).
    void *listing = nullptr;
    if (openForListing(run->applicationHandle, run->stagingName, wcslen(run->stagingName), &listing) !=
        ERROR_SUCCESS) {
        return false;
    }
    bool recorded = isDirectoryWithId(listing, run->staging.fileId) && recordVersionState(run, listing);
    CloseHandle(listing);  // listed only; a failed close changes nothing
    return recorded;
}

Publish publishStaging(CacheRun *run) {
    wchar_t name[kCacheVersionNameSize + 1];
    versionNameUnits(run, name);
    HANDLE application = static_cast<HANDLE>(run->applicationHandle);
    bool replaced = false;
    for (int attempt = 1; attempt <= kPublishAttempts; ++attempt) {
        DWORD error = seamFails("PublishCacheVersion") ? GetLastError()
                                                       : nativeRename(static_cast<HANDLE>(run->staging.holder),
                                                                      application, name, kCacheVersionNameSize);
        if (error == ERROR_SUCCESS) {
            // The staging holder may delete, so that every other open of
            // the directory would have to share deletion: the application's
            // own open of its folder too. It gives way to a version's holder.
            closeHolder(&run->staging);
            if (!openVersionDirectory(run)) {
                return Publish::Refused;  // taken in that instant: only a run that found it damaged does that
            }
            return replaced ? Publish::Replaced : Publish::Published;
        }
        if (error == ERROR_ALREADY_EXISTS) {
            // Another run published first: its version is used when it checks out.
            if (openVersionDirectory(run)) {
                if (isPrivateToThisUser(static_cast<HANDLE>(run->version.holder)) &&
                    versionMatchesState(run, run->version.holder)) {
                    removeStagingDirectory(run);
                    return Publish::Joined;
                }
                closeHolder(&run->version);
            }
            if (replaced || !takeDamagedVersion(run)) {
                removeStagingDirectory(run);
                return Publish::DamagedInUse;
            }
            replaced = true;
            continue;
        }
        // An antivirus scanning a fresh file refuses the rename for a while.
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
            break;
        }
        Sleep(kPublishPauseMilliseconds);
    }
    removeStagingDirectory(run);
    return Publish::Refused;
}

void removeStagingDirectory(CacheRun *run) {
    if (run->staging.holder != nullptr) {
        // Not examined: what stays is a dead staging directory, which a later cold start removes.
        removeTreeByHandle(run->staging.holder, 0);
        closeHolder(&run->staging);
    }
}
