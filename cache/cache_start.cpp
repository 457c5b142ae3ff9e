#include "cache/cache_start.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounded_text.h"
#include "base/failure.h"
#include "base/launcher_settings.h"
#include "base/messages.h"
#include "cache/cache_location.h"
#include "cache/cache_ownership.h"
#include "cache/cold_start.h"
#include "cache/version_collection.h"
#include "cache/version_state.h"
#include "paths/environment.h"
#include "paths/system_values.h"
#include "processes/application_load.h"
#include "processes/child_launch.h"

namespace {

constexpr char kCacheSwitchVariable[] = "ZELMOR_CACHE";
constexpr char kCacheTraceVariable[] = "ZELMOR_CACHE_TRACE";

bool variableIs(const char *name, const wchar_t *value) {
    wchar_t *set = getEnvVar(name);
    bool same = set != nullptr && wcscmp(set, value) == 0;
    free(set);
    return same;
}

// One line on standard error, when asked for.
void trace(const char *road) {
    if (variableIs(kCacheTraceVariable, L"1")) {
        fprintf(stderr, kCacheTraceFormat, road);
        fflush(stderr);
    }
}

// The road that does not use the cache; the reason traced.
bool perRun(const char *reason) {
    trace(reason);
    return false;
}

// Sets the version's last-access time to now: what the collection of old
// versions reads as its last use.
void markUsed(CacheRun *run) {
    FILE_BASIC_INFO basic = {};  // times of zero are left as they are
    basic.LastAccessTime.QuadPart = currentSystemTime();
    // Not examined: a time left older can only let the version go sooner,
    // when it is not held, which a run of it always is.
    SetFileInformationByHandle(static_cast<HANDLE>(run->version.holder), FileBasicInfo, &basic, sizeof basic);
}

// The application's first entry in the version directory, into run->library.
void composeApplicationPath(CacheRun *run) {
    size_t length = copyText(run->library, kCacheLibraryCapacity, run->version.targetDirectory);
    length = appendUnits(run->library, kCacheLibraryCapacity, length, L"\\", 1);
    size_t offset = run->header.headerSize;
    CacheIndexEntry first = {};
    readCacheIndexEntry(run->index, run->header.indexSize, offset, first);  // parsed before: it reads
    for (uint16_t i = 0; i < first.nameLength; ++i) {
        wchar_t unit = static_cast<wchar_t>(cacheIndexNumber(first.name + 2 * i, 2));
        length = appendUnits(run->library, kCacheLibraryCapacity, length, &unit, 1);
    }
}

// A DLL runs in this process, from the version directory, with what a child
// would have been given; never ZELMOR_ONEFILE_PARENT, so that an instance
// it starts of its own executable is a launcher, not a child. A program is
// started from there as from a run directory, which it leaves in place.
int runApplication(CacheRun *run, OwnModule *own, ChildRun *child, int argumentCount, wchar_t **arguments) {
    if (argumentCount < 1) {
        internalLimitAbort();
    }
    composeApplicationPath(run);
    if (launcherSettings().startProgram) {
        return static_cast<int>(launchProgram(child, own, &run->version, run->library, arguments[0]));
    }
    unsetEnvVar(kParentVariable);  // not examined: an instance that finds it names no running parent of its own
    unsetEnvVar(kStartVariable);   // as above
    setEnvVar(kDirectoryVariable, ownModuleDirectoryOf(own));
    setEnvVar(kArgv0Variable, arguments[0]);
    return runLibraryMode(&run->version, run->library, argumentCount, arguments);
}

}  // namespace

bool runFromCache(CacheRun *run, OwnModule *own, ChildRun *child, Extraction *extraction, PayloadReader *payload, int argumentCount,
                  wchar_t **arguments, int *exitCode) {
    if (!readCacheIndex(run)) {
        // No index: packed without --cache, nothing to say.
        return run->index == nullptr ? false : perRun(kCacheNoIndex);
    }
    if (variableIs(kCacheSwitchVariable, L"off")) {
        return perRun(kCacheOff);
    }
    if (indexTakesStateName(run)) {
        return perRun(kCacheNoIndex);
    }
    const char *refused = openApplicationFolder(run);
    if (refused != nullptr) {
        return perRun(refused);
    }
    const char *road = kCacheCold;
    if (openVersionDirectory(run)) {
        if (isPrivateToThisUser(static_cast<HANDLE>(run->version.holder)) &&
            versionMatchesState(run, run->version.holder)) {
            markUsed(run);
            trace(kCacheWarm);
            *exitCode = runApplication(run, own, child, argumentCount, arguments);
            return true;
        }
        // Missing or changed files, or a folder not ours alone: replaced
        // through staging, never run.
        CloseHandle(static_cast<HANDLE>(run->version.holder));  // a failed close changes nothing for the run
        run->version.holder = nullptr;
        road = kCacheRepaired;
    }
    if (!createStagingDirectory(run)) {
        return perRun(kCacheStagingRefused);
    }
    openPayload(payload);
    bool extracted = extractIntoStaging(run, extraction, payload);
    Publish published = extracted ? publishStaging(run) : Publish::Refused;
    if (!extracted) {
        removeStagingDirectory(run);
    }
    if (published == Publish::Refused || published == Publish::DamagedInUse) {
        // The per-run road reads the payload again from its start.
        memset(payload, 0, sizeof *payload);
        extraction->firstEntryPath[0] = L'\0';
        return perRun(published == Publish::Refused ? kCachePublishRefused : kCacheDamagedInUse);
    }
    if (published == Publish::Joined) {
        road = kCacheJoined;
    } else if (published == Publish::Replaced) {
        road = kCacheRepaired;
    }
    trace(road);
    collectOldVersions(run);
    *exitCode = runApplication(run, own, child, argumentCount, arguments);
    return true;
}
