#include "run_directory/tree_removal.h"

#include <windows.h>

#include <stddef.h>
#include <wchar.h>

#include <atomic>

#include "base/native_calls.h"
#include "base/test_seam.h"
#include "paths/long_path.h"
#include "paths/system_values.h"
#include "run_directory/directory_holder.h"
#include "run_directory/run_directory_names.h"

namespace {

// An entry is opened to be deleted and to tell what it is (file ID,
// attributes, links), and one listed as read-only to lose that mark too;
// sharing everything, so that only what another process holds without
// sharing deletion stays.
constexpr ACCESS_MASK kEntryAccess = DELETE | FILE_READ_ATTRIBUTES;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A directory taken is listed as well, and the sweep reads its owner.
constexpr ACCESS_MASK kTakeAccess = kEntryAccess | FILE_WRITE_ATTRIBUTES | FILE_LIST_DIRECTORY | READ_CONTROL;

// As deep as a tree the system can still name by path: every level is a
// name of at least one character and a separator. Deeper directories stay.
constexpr size_t kMaximumDepth = kLongPathCapacity / 2;
constexpr ULONG kListingBytes = 8192;
constexpr int kTombstoneAttempts = 16;

// Attributes a file's basic information can set.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// FileDispositionInfoEx and its flags, where the system has them (Windows 10 1607 on).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionEx {
    DWORD flags;
};
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// Set once the system has refused the extended disposition: the plain one
// serves for the rest of the process.
std::atomic<bool> extendedDispositionRefused{false};

// The last serial a tombstone name of this process's took.
std::atomic<uint64_t> lastTombstoneSerial{0};

constexpr int kDeleteRetries = 20;
constexpr DWORD kRetryPauseMilliseconds = 100;

// Over the take of a run's own directory and the handle on its tombstone:
// either thread's attempt holds the lock throughout, so one thread takes it
// and the other finds it taken or gone.
SRWLOCK targetLock = SRWLOCK_INIT;

struct Level {
    HANDLE directory;
    DWORD attributes;        // the directory's own, to delete it
    unsigned char *listing;  // kListingBytes, allocated when the level is first reached
    ULONG filled;            // bytes of records in the listing
    ULONG next;              // offset of the next record; `filled` once they are used up
    bool restart;            // the next listing starts from the first entry
    bool complete;           // everything met on this level so far went
};

// Per call, on the heap: the console-control thread's stack is small, and
// both threads may walk at once.
struct Walk {
    Level levels[kMaximumDepth];
    size_t prepared;  // levels whose listing is allocated
};

bool isNotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Marks what `handle` is open on, with `attributes`, for deletion. The
// read-only mark belongs to the file, which all its hard links share: where
// the system cannot delete past it, it is cleared only when this name is the
// file's only one, and otherwise the name stays.
bool deleteThroughHandle(HANDLE handle, DWORD attributes) {
    if (!extendedDispositionRefused.load(std::memory_order_relaxed)) {
        // The name goes at once, even while another process still has it open.
        DispositionEx extended = {kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly};
        if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &extended, sizeof extended)) {
            return true;
        }
        DWORD error = GetLastError();
        // Unknown before Windows 10 1607, its read-only flag before 1809;
        // other refusals concern this one entry.
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
            return false;
        }
        extendedDispositionRefused.store(true, std::memory_order_relaxed);
    }
    FILE_DISPOSITION_INFO plain = {TRUE};
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain)) {
        return true;
    }
    DWORD links = 0;
    if (GetLastError() != ERROR_ACCESS_DENIED || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        nativeLinkCount(handle, &links) != ERROR_SUCCESS || links != 1) {
        return false;
    }
    FILE_BASIC_INFO basic = {};  // times of zero are left as they are
    DWORD writable = attributes & kSettableAttributes;
    basic.FileAttributes = writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) &&
           SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain);
}

// Makes `depth` the level of `directory`; false when the walk may go no deeper.
bool enterLevel(Walk *walk, size_t depth, HANDLE directory, DWORD attributes) {
    if (depth == kMaximumDepth) {
        return false;
    }
    Level &level = walk->levels[depth];
    if (depth == walk->prepared) {
        level.listing = static_cast<unsigned char *>(HeapAlloc(GetProcessHeap(), 0, kListingBytes));
        if (level.listing == nullptr) {
            return false;
        }
        walk->prepared++;
    }
    level.directory = directory;
    level.attributes = attributes;
    level.filled = 0;
    level.next = 0;
    level.restart = true;
    level.complete = true;
    return true;
}

// The level's next record, null once its listing is done. A listing that
// breaks off, or a record reaching beyond what the system wrote, leaves the
// level incomplete.
const FILE_ID_BOTH_DIR_INFO *nextRecord(Level *level) {
    if (level->next >= level->filled) {
        ULONG filled = 0;
        DWORD error = nativeList(level->directory, level->listing, kListingBytes, level->restart, nullptr, &filled);
        level->restart = false;
        if (error != ERROR_SUCCESS) {
            level->complete = level->complete && error == ERROR_NO_MORE_FILES;
            return nullptr;
        }
        level->filled = filled;
        level->next = 0;
    }
    const ULONG nameOffset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
    const ULONG left = level->filled - level->next;
    const FILE_ID_BOTH_DIR_INFO *record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(level->listing + level->next);
    if (left < nameOffset || record->FileNameLength > left - nameOffset || record->FileNameLength == 0) {
        level->complete = false;
        level->next = level->filled;
        return nullptr;
    }
    const bool last = record->NextEntryOffset == 0 || record->NextEntryOffset > left;
    level->next = last ? level->filled : level->next + record->NextEntryOffset;
    return record;
}

bool isDotEntry(const FILE_ID_BOTH_DIR_INFO *record) {
    const wchar_t *name = record->FileName;
    const ULONG length = record->FileNameLength / sizeof(wchar_t);
    return name[0] == L'.' && (length == 1 || (length == 2 && name[1] == L'.'));
}

enum class Verdict {
    Enter,   // the directory listed: walk into it
    Delete,  // the file or link listed, open as itself: delete through the handle
    Leave,   // not to be touched through this handle, or not to be opened: it stays
    Gone,    // no longer there
};

// Opens the entry that `record` names, relative to its directory, as itself,
// and judges what may be done through that handle.
Verdict openListed(HANDLE directory, const FILE_ID_BOTH_DIR_INFO *record, HANDLE *entry) {
    const DWORD listed = record->FileAttributes;
    const bool listedLink = (listed & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool listedDirectory = !listedLink && (listed & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // The system refuses the open where the kind changed meanwhile.
    const ULONG kind = listedLink ? 0 : listedDirectory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
    NativeOpen request = {directory,
                          record->FileName,
                          record->FileNameLength / sizeof(wchar_t),
                          kEntryAccess | (listedDirectory ? FILE_LIST_DIRECTORY : 0) |
                              ((listed & FILE_ATTRIBUTE_READONLY) != 0 ? FILE_WRITE_ATTRIBUTES : 0),
                          kShareAll,
                          FILE_OPEN,
                          FILE_OPEN_REPARSE_POINT | kind,
                          nullptr,
                          false};
    DWORD error = nativeOpen(request, entry);
    if (error != ERROR_SUCCESS) {
        return isNotFound(error) ? Verdict::Gone : Verdict::Leave;
    }
    // Only the very object listed: the name may have been swapped meanwhile
    // for a link whose target the open reached (as Wine's opens do whatever
    // the flag), so anything else is neither entered nor deleted through this
    // handle. A link goes only through a handle on the link itself.
    uint64_t fileId = 0;
    DWORD attributes = 0;
    bool same = nativeFileId(*entry, &fileId) == ERROR_SUCCESS &&
                fileId == static_cast<uint64_t>(record->FileId.QuadPart) &&
                (!listedLink || (nativeAttributes(*entry, &attributes) == ERROR_SUCCESS &&
                                 (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0));
    if (same) {
        return listedDirectory ? Verdict::Enter : Verdict::Delete;
    }
    CloseHandle(*entry);  // of no use; a failed close changes nothing
    return Verdict::Leave;
}

// Depth first from the directory of level 0, one open directory per level,
// so that the stack does not grow with the tree. True when everything below
// it went. A directory is deleted, through its handle, when its listing is
// done and all of it went.
bool removeBelow(Walk *walk, uint64_t deadline) {
    size_t depth = 0;
    for (;;) {
        Level *level = &walk->levels[depth];
        if (deadline != 0 && GetTickCount64() >= deadline) {
            // Out of time: the rest is left as it stands, for a later run.
            for (; depth > 0; depth--) {
                CloseHandle(walk->levels[depth].directory);  // nothing is lost if the close fails
            }
            return false;
        }
        const FILE_ID_BOTH_DIR_INFO *record = nextRecord(level);
        if (record == nullptr) {
            if (depth == 0) {
                return level->complete;
            }
            bool gone = level->complete && deleteThroughHandle(level->directory, level->attributes);
            CloseHandle(level->directory);  // with a deletion set, the close carries it out
            depth--;
            walk->levels[depth].complete = walk->levels[depth].complete && gone;
            continue;
        }
        if (isDotEntry(record)) {
            continue;
        }
        seamPause("OpenListedEntry");
        HANDLE entry = nullptr;
        bool gone = false;
        // The attributes listed are those of the object opened: it is the same.
        switch (openListed(level->directory, record, &entry)) {
            case Verdict::Enter:
                if (enterLevel(walk, depth + 1, entry, record->FileAttributes)) {
                    depth++;
                    continue;
                }
                CloseHandle(entry);  // too deep to enter: it stays, and so do its parents
                break;
            case Verdict::Delete:
                gone = deleteThroughHandle(entry, record->FileAttributes);
                CloseHandle(entry);  // as above
                break;
            case Verdict::Leave:
                break;
            case Verdict::Gone:
                gone = true;
                break;
        }
        level->complete = level->complete && gone;
    }
}

uint64_t nextTombstoneSerial() {
    // From the clock, so that no name can have been made ready for this
    // process in advance; one more than the last where the clock stands still.
    uint64_t now = static_cast<uint64_t>(currentSystemTime());
    uint64_t last = lastTombstoneSerial.load(std::memory_order_relaxed);
    uint64_t serial = 0;
    do {
        serial = now > last ? now : last + 1;
    } while (!lastTombstoneSerial.compare_exchange_weak(last, serial, std::memory_order_relaxed));
    return serial;
}

// Takes directory->targetDirectory; on success the handle on its tombstone
// lands in directory->tombstone and the result is Remains (the walk decides).
TreeRemoval takeTarget(RunDirectory *directory) {
    wchar_t *path = static_cast<wchar_t *>(HeapAlloc(GetProcessHeap(), 0, kLongPathCapacity * sizeof(wchar_t)));
    if (path == nullptr) {
        return TreeRemoval::Remains;  // nothing touched; the next attempt may find memory
    }
    // No run's directory has a longer name.
    wchar_t name[MAX_PATH];
    size_t nameLength = splitLongPathForm(directory->targetDirectory, path, name, MAX_PATH);
    HANDLE parent = nameLength == 0 ? INVALID_HANDLE_VALUE
                                    : CreateFileW(path, FILE_TRAVERSE, kShareAll, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    DWORD parentError = nameLength == 0 ? ERROR_PATH_NOT_FOUND : GetLastError();
    HeapFree(GetProcessHeap(), 0, path);  // not examined: the block is ours and the process goes on
    if (parent == INVALID_HANDLE_VALUE) {
        return isNotFound(parentError) ? TreeRemoval::Gone : TreeRemoval::Remains;
    }
    TreeRemoval result = TreeRemoval::Remains;
    uint32_t error = 0;
    HANDLE taken = openToTake(parent, name, nameLength, &error);
    if (taken == nullptr) {
        // Not there, or not a directory (ERROR_DIRECTORY): nothing of this run's.
        result = error == ERROR_SHARING_VIOLATION                 ? TreeRemoval::InUse
                 : isNotFound(error) || error == ERROR_DIRECTORY ? TreeRemoval::Gone
                                                                 : TreeRemoval::Remains;
    } else if (!isDirectoryWithId(taken, directory->fileId)) {
        // Whatever stands at the name now is not what this run created.
        CloseHandle(taken);  // nothing is lost if the close fails
        result = TreeRemoval::Gone;
    } else if (!renameToTombstone(taken, parent)) {
        // Refused (NTFS renames no directory while a file inside is open):
        // it stays under its name for the next attempt.
        CloseHandle(taken);  // as above
    } else {
        directory->tombstone = taken;
    }
    CloseHandle(parent);  // as above
    return result;
}

}  // namespace

void *openToTake(void *parent, const wchar_t *name, size_t length, uint32_t *error) {
    // Holders share reading and writing but not deletion; sharing no more
    // than they do keeps out whoever else would rename or remove it.
    NativeOpen request = {parent, name, length, kTakeAccess, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, nullptr, false};
    HANDLE directory = nullptr;
    *error = nativeOpen(request, &directory);
    return *error == ERROR_SUCCESS ? directory : nullptr;
}

bool isDirectoryWithId(void *handle, uint64_t fileId) {
    uint64_t found = 0;
    DWORD attributes = 0;
    return nativeFileId(handle, &found) == ERROR_SUCCESS && found == fileId &&
           nativeAttributes(handle, &attributes) == ERROR_SUCCESS && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool renameToTombstone(void *directory, void *parent) {
    for (int attempt = 0; attempt < kTombstoneAttempts; attempt++) {
        wchar_t name[kTombstoneNameCapacity];
        formatTombstoneName(GetCurrentProcessId(), nextTombstoneSerial(), name);
        DWORD error = nativeRename(directory, parent, name, wcslen(name));
        if (error != ERROR_ALREADY_EXISTS) {
            return error == ERROR_SUCCESS;
        }
    }
    return false;
}

bool removeTreeByHandle(void *directory, uint64_t deadline) {
    DWORD attributes = 0;
    if (nativeAttributes(directory, &attributes) != ERROR_SUCCESS) {
        return false;
    }
    Walk *walk = static_cast<Walk *>(HeapAlloc(GetProcessHeap(), 0, sizeof(Walk)));
    if (walk == nullptr) {
        return false;
    }
    walk->prepared = 0;
    bool removed = enterLevel(walk, 0, directory, attributes) && removeBelow(walk, deadline) &&
                   deleteThroughHandle(directory, attributes);
    for (size_t depth = 0; depth < walk->prepared; depth++) {
        HeapFree(GetProcessHeap(), 0, walk->levels[depth].listing);  // not examined, as below
    }
    HeapFree(GetProcessHeap(), 0, walk);  // not examined: the block is ours and the process goes on
    return removed;
}

bool takeListedDirectory(void *parent, const wchar_t *name, size_t length, uint64_t fileId,
                         bool (*mayTake)(void *directory, const void *context), const void *context,
                         uint64_t deadline) {
    uint32_t error = 0;
    // A holder makes the open fail: the directory is in use.
    HANDLE directory = openToTake(parent, name, length, &error);
    if (directory == nullptr) {
        return false;
    }
    bool taken = isDirectoryWithId(directory, fileId) && mayTake(directory, context) &&
                 renameToTombstone(directory, parent);
    if (taken) {
        // Not examined: what stays is taken again later.
        removeTreeByHandle(directory, deadline);
    }
    CloseHandle(directory);  // with a deletion set, the close carries it out; a failed close changes nothing
    return taken;
}

TreeRemoval removeTargetTree(RunDirectory *directory) {
    AcquireSRWLockExclusive(&targetLock);
    TreeRemoval result = TreeRemoval::Remains;
    if (directory->tombstone == nullptr) {
        result = takeTarget(directory);
    }
    if (directory->tombstone != nullptr) {
        result = TreeRemoval::Remains;
        if (removeTreeByHandle(directory->tombstone, 0)) {
            CloseHandle(directory->tombstone);  // carries out the deletion; nothing else can be done if it fails
            directory->tombstone = nullptr;
            result = TreeRemoval::Gone;
        }
    }
    ReleaseSRWLockExclusive(&targetLock);
    return result;
}

void removeRunDirectory(RunDirectory *directory) {
    if (!directory->cleanupArmed) {
        return;
    }
    // Whatever still runs from the directory (a child just started, any
    // other instance that uses it) holds it through a holder of its own: the
    // removal then leaves it alone.
    releaseDirectoryHolder(directory);
    TreeRemoval removal = TreeRemoval::Remains;
    for (int attempt = 0; attempt <= kDeleteRetries && removal == TreeRemoval::Remains; attempt++) {
        if (attempt > 0) {
            Sleep(kRetryPauseMilliseconds);
        }
        seamCount("RemovalAttempt");
        removal = removeTargetTree(directory);
    }
}
