#include "cache/version_collection.h"

#include <windows.h>

#include <stddef.h>
#include <wchar.h>

#include "base/native_calls.h"
#include "cache/cache_ownership.h"
#include "paths/system_values.h"
#include "run_directory/run_directory_names.h"
#include "run_directory/tree_removal.h"

namespace {

constexpr ULONGLONG kCollectionMilliseconds = 300;
constexpr int64_t kUnusedFor = int64_t{14} * 24 * 60 * 60 * 10000000;  // 14 days in 100-ns units
constexpr size_t kMostVersions = 64;
constexpr ULONG kListingBytes = 16384;
constexpr wchar_t kStagingSuffix[] = L".staging";

struct OldVersion {
    wchar_t name[kCacheVersionNameSize + 1];
    uint64_t fileId;
    int64_t lastAccess;
};

struct Collection {
    OldVersion versions[kMostVersions];
    size_t count;
    union {
        FILE_ID_BOTH_DIR_INFO first;  // aligns the records
        unsigned char bytes[kListingBytes];
    } listing;
};

bool isVersionName(const wchar_t *name, size_t length) {
    if (length != kCacheVersionNameSize) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        // wcschr would find the terminator too.
        if (name[i] == L'\0' || wcschr(L"abcdefghijklmnopqrstuvwxyz234567", name[i]) == nullptr) {
            return false;
        }
    }
    return true;
}

bool isStagingName(const wchar_t *name, size_t length) {
    size_t suffix = wcslen(kStagingSuffix);
    return length > kCacheVersionNameSize + suffix && wcscmp(name + length - suffix, kStagingSuffix) == 0;
}

bool isOwnVersion(const CacheRun *run, const wchar_t *name) {
    for (size_t i = 0; i < kCacheVersionNameSize; ++i) {
        if (name[i] != static_cast<wchar_t>(run->header.versionName[i])) {
            return false;
        }
    }
    return true;
}

// Only a directory that is this user's alone is taken.
bool isPrivate(void *directory, const void *) {
    return isPrivateToThisUser(static_cast<HANDLE>(directory));
}

}  // namespace

void collectOldVersions(CacheRun *run) {
    const ULONGLONG deadline = GetTickCount64() + kCollectionMilliseconds;
    Collection *collection =
        static_cast<Collection *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Collection)));
    if (collection == nullptr) {
        return;
    }
    HANDLE application = static_cast<HANDLE>(run->applicationHandle);
    const ULONG nameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    for (bool first = true; GetTickCount64() < deadline; first = false) {
        ULONG filled = 0;
        if (nativeList(application, collection->listing.bytes, kListingBytes, first, nullptr, &filled) !=
                ERROR_SUCCESS ||
            filled < nameOffset) {
            break;  // done, or nothing more to be seen
        }
        for (ULONG at = 0; filled - at >= nameOffset;) {
            const auto *record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(collection->listing.bytes + at);
            const size_t length = record->FileNameLength / sizeof(wchar_t);
            const DWORD attributes = record->FileAttributes;
            if (record->FileNameLength <= filled - at - nameOffset && length < MAX_PATH &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                wchar_t name[MAX_PATH];
                wmemcpy(name, record->FileName, length);
                name[length] = L'\0';
                const uint64_t fileId = static_cast<uint64_t>(record->FileId.QuadPart);
                if (isVersionName(name, length)) {
                    // This run's own is held; the others are judged once all are known.
                    if (collection->count < kMostVersions && !isOwnVersion(run, name)) {
                        OldVersion &version = collection->versions[collection->count++];
                        wmemcpy(version.name, name, length + 1);
                        version.fileId = fileId;
                        version.lastAccess = record->LastAccessTime.QuadPart;
                    }
                } else if (isStagingName(name, length) || isTombstoneName(name)) {
                    // A live run holds its staging directory; the take then fails.
                    takeListedDirectory(application, name, length, fileId, isPrivate, nullptr, deadline);
                }
            }
            if (record->NextEntryOffset == 0 || GetTickCount64() >= deadline) {
                break;
            }
            at += record->NextEntryOffset;
            if (at > filled) {
                break;
            }
        }
    }
    // The most recently used of the others is the second one kept.
    size_t kept = kMostVersions;
    for (size_t i = 0; i < collection->count; ++i) {
        if (kept == kMostVersions || collection->versions[i].lastAccess > collection->versions[kept].lastAccess) {
            kept = i;
        }
    }
    const int64_t unusedSince = currentSystemTime() - kUnusedFor;
    for (size_t i = 0; i < collection->count && GetTickCount64() < deadline; ++i) {
        const OldVersion &version = collection->versions[i];
        if (i != kept && version.lastAccess < unusedSince) {
            takeListedDirectory(application, version.name, kCacheVersionNameSize, version.fileId, isPrivate, nullptr,
                                deadline);
        }
    }
    HeapFree(GetProcessHeap(), 0, collection);  // not examined: the block is ours and the process goes on
}
