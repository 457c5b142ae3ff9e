#include "cache/version_state.h"

#include <windows.h>

#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "base/native_calls.h"
#include "base/test_seam.h"
#include "run_directory/tree_removal.h"

namespace {

constexpr unsigned char kStateMagic[] = {'Z', 'C', 'S', 'T'};
constexpr uint32_t kStateVersion = 1;
constexpr size_t kStateHeaderSize = 16 + kCacheDigestSize;
constexpr size_t kStateRecordSize = 24;
constexpr ULONG kListingBytes = 65536;
// Deeper than any name of kCacheNameUnitLimit units can reach.
constexpr size_t kDeepestLevel = kCacheNameUnitLimit / 2 + 1;

struct FileState {
    uint64_t size;
    uint64_t fileId;
    uint64_t lastWrite;
};

// One pass over a version directory, on the heap.
struct Pass {
    const CacheRun *run;
    bool recording;  // fill `states` from the listing, instead of comparing with it
    uint32_t count;
    CacheIndexEntry *entries;
    FileState *states;
    unsigned char *seen;
    uint32_t *slots;  // entry number + 1 by hash of the name; 0 is free
    uint32_t slotMask;
    uint32_t matched;
    wchar_t name[kCacheNameUnitLimit + 2];  // the relative name being looked at
};

uint32_t hashUnits(const wchar_t *units, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<uint32_t>(units[i])) * 16777619u;
    }
    return hash;
}

bool entryNameIs(const CacheIndexEntry &entry, const wchar_t *units, size_t length) {
    if (entry.nameLength != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<wchar_t>(cacheIndexNumber(entry.name + 2 * i, 2)) != units[i]) {
            return false;
        }
    }
    return true;
}

void *allocate(size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void release(void *block) {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);  // not examined: the block is ours and the process goes on
    }
}

void endPass(Pass *pass) {
    release(pass->entries);
    release(pass->states);
    release(pass->seen);
    release(pass->slots);
    release(pass);
}

// The index's entries, and a table from their names to them. Null when
// memory is short.
Pass *startPass(const CacheRun *run, bool recording) {
    Pass *pass = static_cast<Pass *>(allocate(sizeof(Pass)));
    if (pass == nullptr) {
        return nullptr;
    }
    pass->run = run;
    pass->recording = recording;
    pass->count = run->header.entryCount;
    uint32_t slots = 1;
    while (slots < 2 * pass->count) {
        slots <<= 1;
    }
    pass->slotMask = slots - 1;
    pass->entries = static_cast<CacheIndexEntry *>(allocate(pass->count * sizeof(CacheIndexEntry)));
    pass->states = static_cast<FileState *>(allocate(pass->count * sizeof(FileState)));
    pass->seen = static_cast<unsigned char *>(allocate(pass->count));
    pass->slots = static_cast<uint32_t *>(allocate(slots * sizeof(uint32_t)));
    if (pass->entries == nullptr || pass->states == nullptr || pass->seen == nullptr || pass->slots == nullptr) {
        endPass(pass);
        return nullptr;
    }
    size_t offset = run->header.headerSize;
    for (uint32_t i = 0; i < pass->count; ++i) {
        CacheIndexEntry &entry = pass->entries[i];
        // Parsed whole before: every record reads.
        readCacheIndexEntry(run->index, run->header.indexSize, offset, entry);
        for (uint16_t unit = 0; unit < entry.nameLength; ++unit) {
            pass->name[unit] = static_cast<wchar_t>(cacheIndexNumber(entry.name + 2 * unit, 2));
        }
        uint32_t slot = hashUnits(pass->name, entry.nameLength) & pass->slotMask;
        while (pass->slots[slot] != 0) {
            slot = (slot + 1) & pass->slotMask;
        }
        pass->slots[slot] = i + 1;
    }
    return pass;
}

// The entry whose name is pass->name's first `length` units; null when none is.
CacheIndexEntry *findEntry(Pass *pass, size_t length, uint32_t *number) {
    for (uint32_t slot = hashUnits(pass->name, length) & pass->slotMask; pass->slots[slot] != 0;
         slot = (slot + 1) & pass->slotMask) {
        CacheIndexEntry *entry = &pass->entries[pass->slots[slot] - 1];
        if (entryNameIs(*entry, pass->name, length)) {
            *number = pass->slots[slot] - 1;
            return entry;
        }
    }
    return nullptr;
}

// A file listed with the relative name in pass->name (`length` units).
bool takeFile(Pass *pass, size_t length, const FILE_ID_FULL_DIR_INFORMATION *record) {
    uint32_t number = 0;
    CacheIndexEntry *entry = findEntry(pass, length, &number);
    if (entry == nullptr || pass->seen[number] != 0) {
        return false;  // a file the application does not have
    }
    pass->seen[number] = 1;
    pass->matched++;
    FileState listed = {static_cast<uint64_t>(record->EndOfFile.QuadPart),
                        static_cast<uint64_t>(record->FileId.QuadPart),
                        static_cast<uint64_t>(record->LastWriteTime.QuadPart)};
    if (listed.size != entry->size) {
        return false;
    }
    if (pass->recording) {
        pass->states[number] = listed;
        return true;
    }
    const FileState &recorded = pass->states[number];
    return recorded.fileId == listed.fileId && recorded.lastWrite == listed.lastWrite;
}

bool isDotName(const wchar_t *name, size_t length) {
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// Every entry of the directory open as `directory`, whose relative name
// with its separator is pass->name's first `prefix` units.
bool walk(Pass *pass, HANDLE directory, size_t prefix, size_t depth) {
    unsigned char *listing = static_cast<unsigned char *>(HeapAlloc(GetProcessHeap(), 0, kListingBytes));
    if (listing == nullptr || depth == kDeepestLevel) {
        release(listing);
        return false;
    }
    const ULONG nameOffset = offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName);
    bool sound = true;
    for (bool first = true; sound; first = false) {
        ULONG filled = 0;
        DWORD error = nativeListFull(directory, listing, kListingBytes, first, &filled);
        if (error == ERROR_NO_MORE_FILES) {
            break;
        }
        if (error != ERROR_SUCCESS || filled < nameOffset) {
            sound = false;
            break;
        }
        for (ULONG at = 0; sound && filled - at >= nameOffset;) {
            const auto *record = reinterpret_cast<const FILE_ID_FULL_DIR_INFORMATION *>(listing + at);
            size_t length = record->FileNameLength / sizeof(wchar_t);
            if (record->FileNameLength > filled - at - nameOffset) {
                sound = false;
                break;
            }
            bool isState = depth == 0 && length == wcslen(kVersionStateName) &&
                           wmemcmp(record->FileName, kVersionStateName, length) == 0;
            if (!isDotName(record->FileName, length) && !isState) {
                if ((record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                    length > kCacheNameUnitLimit - prefix) {
                    sound = false;
                    break;
                }
                wmemcpy(pass->name + prefix, record->FileName, length);
                if ((record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    sound = takeFile(pass, prefix + length, record);
                } else {
                    void *below = nullptr;
                    sound = openForListing(directory, record->FileName, length, &below) == ERROR_SUCCESS;
                    if (sound) {
                        pass->name[prefix + length] = L'\\';
                        sound = isDirectoryWithId(below, static_cast<uint64_t>(record->FileId.QuadPart)) &&
                                walk(pass, below, prefix + length + 1, depth + 1);
                        CloseHandle(below);  // listed only; a failed close changes nothing
                    }
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
    release(listing);
    return sound;
}

// The state file, as bytes: header, D, a record per entry in index order.
size_t stateFileSize(const Pass *pass) {
    return kStateHeaderSize + static_cast<size_t>(pass->count) * kStateRecordSize;
}

void putNumber(unsigned char *at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

HANDLE openStateFile(HANDLE directory, ACCESS_MASK access, ULONG disposition) {
    NativeOpen request = {directory,
                          kVersionStateName,
                          wcslen(kVersionStateName),
                          access,
                          FILE_SHARE_READ,
                          disposition,
                          FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                          nullptr,
                          false};
    HANDLE file = nullptr;
    return nativeOpen(request, &file) == ERROR_SUCCESS ? file : nullptr;
}

bool writeStateFile(const Pass *pass, HANDLE directory) {
    size_t size = stateFileSize(pass);
    unsigned char *bytes = static_cast<unsigned char *>(allocate(size));
    if (bytes == nullptr || size > MAXDWORD) {
        release(bytes);
        return false;
    }
    memcpy(bytes, kStateMagic, sizeof kStateMagic);
    putNumber(bytes + 4, kStateVersion, 4);
    putNumber(bytes + 8, pass->count, 4);
    memcpy(bytes + 16, pass->run->header.digest, kCacheDigestSize);
    for (uint32_t i = 0; i < pass->count; ++i) {
        unsigned char *record = bytes + kStateHeaderSize + static_cast<size_t>(i) * kStateRecordSize;
        putNumber(record, pass->states[i].size, 8);
        putNumber(record + 8, pass->states[i].fileId, 8);
        putNumber(record + 16, pass->states[i].lastWrite, 8);
    }
    HANDLE file = seamFails("WriteCacheState") ? nullptr : openStateFile(directory, FILE_WRITE_DATA, FILE_CREATE);
    DWORD written = 0;
    bool wrote =
        file != nullptr && WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
    // A state file that did not close whole would read short: the version is then repaired.
    if (file != nullptr && !CloseHandle(file)) {
        wrote = false;
    }
    release(bytes);
    return wrote;
}

// Reads the state file into pass->states; false when it is not this version's whole.
bool readStateFile(Pass *pass, HANDLE directory) {
    size_t size = stateFileSize(pass);
    unsigned char *bytes = static_cast<unsigned char *>(allocate(size + 1));
    HANDLE file =
        bytes == nullptr || size > MAXDWORD - 1 ? nullptr : openStateFile(directory, FILE_READ_DATA, FILE_OPEN);
    bool whole = false;
    if (file != nullptr) {
        // One byte more than expected shows a longer file.
        DWORD read = 0;
        DWORD wanted = static_cast<DWORD>(size + 1);
        whole = ReadFile(file, bytes, wanted, &read, nullptr) && read == size &&
                memcmp(bytes, kStateMagic, sizeof kStateMagic) == 0 &&
                cacheIndexNumber(bytes + 4, 4) == kStateVersion && cacheIndexNumber(bytes + 8, 4) == pass->count &&
                memcmp(bytes + 16, pass->run->header.digest, kCacheDigestSize) == 0;
        CloseHandle(file);  // read only; a failed close changes nothing
    }
    for (uint32_t i = 0; whole && i < pass->count; ++i) {
        const unsigned char *record = bytes + kStateHeaderSize + static_cast<size_t>(i) * kStateRecordSize;
        pass->states[i] = {cacheIndexNumber(record, 8), cacheIndexNumber(record + 8, 8),
                           cacheIndexNumber(record + 16, 8)};
    }
    release(bytes);
    return whole;
}

}  // namespace

uint32_t openForListing(void *parent, const wchar_t *name, size_t length, void **opened) {
    NativeOpen request = {static_cast<HANDLE>(parent),
                          name,
                          length,
                          FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                          nullptr,
                          false};
    HANDLE handle = nullptr;
    uint32_t error = nativeOpen(request, &handle);
    *opened = handle;
    return error;
}

bool indexTakesStateName(const CacheRun *run) {
    size_t offset = run->header.headerSize;
    size_t length = wcslen(kVersionStateName);
    CacheIndexEntry entry = {};
    for (uint32_t i = 0; i < run->header.entryCount; ++i) {
        readCacheIndexEntry(run->index, run->header.indexSize, offset, entry);
        if (entry.nameLength != length) {
            continue;
        }
        bool same = true;
        for (size_t unit = 0; unit < length && same; ++unit) {
            wchar_t c = static_cast<wchar_t>(cacheIndexNumber(entry.name + 2 * unit, 2));
            // Windows compares names without case.
            same = (c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c) == kVersionStateName[unit];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

bool recordVersionState(const CacheRun *run, void *directory) {
    Pass *pass = startPass(run, true);
    if (pass == nullptr) {
        return false;
    }
    HANDLE handle = static_cast<HANDLE>(directory);
    bool recorded = walk(pass, handle, 0, 0) && pass->matched == pass->count && writeStateFile(pass, handle);
    endPass(pass);
    return recorded;
}

bool versionMatchesState(const CacheRun *run, void *directory) {
    Pass *pass = startPass(run, false);
    if (pass == nullptr) {
        return false;
    }
    HANDLE handle = static_cast<HANDLE>(directory);
    bool matches = readStateFile(pass, handle) && walk(pass, handle, 0, 0) && pass->matched == pass->count;
    endPass(pass);
    return matches;
}
