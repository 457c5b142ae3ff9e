#pragma once
// The index of an executable packed for the extract-once cache
// (zelmor-pack --cache): a small uncompressed record beside the payload that
// says where the application lives in the per-user cache and what must be
// there, so that a start can find and check its files without decoding the
// payload. An executable without the index, or with one that parse rejects,
// extracts afresh for every run.
//
// Layout, little-endian, every field at a fixed offset of the header:
//   offset   0  4 bytes   magic "ZCIX"
//   offset   4  uint16    layout version (kCacheIndexVersion)
//   offset   6  uint16    header size in bytes: the first entry's offset
//   offset   8  uint32    index size in bytes, header and entries; the
//                         resource may be longer, never shorter
//   offset  12  uint32    entry count, 1 to kCacheIndexEntryLimit
//   offset  16  uint64    the entries' data sizes added up
//   offset  24  32 bytes  the content digest D (below)
//   offset  56  16 bytes  the version directory's name: ASCII, D's first 80
//                         bits in the lower-case base32 alphabet of RFC 4648
//                         ("abcdefghijklmnopqrstuvwxyz234567"), 5 bits per
//                         character from the most significant bit of D's
//                         first byte on; no letter case to confuse Windows'
//                         case-blind names
//   offset  72  uint16    application id length in UTF-16 units, 1 to
//                         kCacheIdUnitLimit
//   offset  74  64 units  the application id, UTF-16LE, zero after its length
//   offset 202  6 bytes   zero
//   offset 208  entries, one after another to the index size, in payload order
//
// An entry record, (42 + 2 * name units) bytes:
//   uint16    name length in UTF-16 units, 1 to kCacheNameUnitLimit
//   units     the entry's name, UTF-16LE, exactly as the payload stores it
//             ('\' between components, no terminator, no zero unit)
//   uint64    the entry's data size in bytes
//   32 bytes  SHA-256 (FIPS 180-4) of the entry's data
//
// The content digest D is SHA-256 over the 4 bytes of kCacheDigestVersion
// (uint32, little-endian), followed, for each entry in payload order, by its
// name length (uint16), its name units (UTF-16LE), its data size (uint64)
// and its data's SHA-256 (32 bytes): exactly the entry records, so D is
// recomputed from the index alone by hashing those 4 bytes and then the
// index's bytes from the header size to the index size. The data enters D
// through its own digest: equal names, sizes and contents give equal D, and
// any change to one of them another D, hence another version directory.
//
// Bounds, for readers with fixed buffers: names at most 1023 units (the
// launcher's own limit, format/container.h), at most 1048576 entries, so an
// index is at most 208 + 1048576 * (42 + 2046) bytes, below 2^32. A later
// layout raises the version, and a reader that does not know it uses no
// cache; D keeps its definition, or kCacheDigestVersion changes with it.
#include <stddef.h>
#include <stdint.h>

#include "format/container.h"
#include "format/name_rules.h"

// The index's resource: RT_RCDATA, next to the settings record's id 28.
constexpr uint16_t kCacheIndexResourceType = 10;
constexpr uint16_t kCacheIndexResourceId = 29;

constexpr unsigned char kCacheIndexMagic[] = {'Z', 'C', 'I', 'X'};
constexpr uint16_t kCacheIndexVersion = 1;
constexpr uint32_t kCacheDigestVersion = 1;

constexpr size_t kCacheIndexHeaderSize = 208;
constexpr size_t kCacheDigestSize = 32;
constexpr size_t kCacheVersionNameSize = 16;
constexpr size_t kCacheIdUnitLimit = 64;
constexpr size_t kCacheNameUnitLimit = kEntryNameUnitLimit - 1;
constexpr uint32_t kCacheIndexEntryLimit = uint32_t{1} << 20;
constexpr size_t kCacheEntryFixedSize = 2 + 8 + kCacheDigestSize;  // a record without its name units

// The header's fields.
constexpr size_t kCacheVersionOffset = 4;
constexpr size_t kCacheHeaderSizeOffset = 6;
constexpr size_t kCacheIndexSizeOffset = 8;
constexpr size_t kCacheEntryCountOffset = 12;
constexpr size_t kCacheDataSizeOffset = 16;
constexpr size_t kCacheDigestOffset = 24;
constexpr size_t kCacheVersionNameOffset = 56;
constexpr size_t kCacheIdLengthOffset = 72;
constexpr size_t kCacheIdOffset = 74;

constexpr char kCacheBase32Alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";

// The version directory's name for the digest D (kCacheDigestSize bytes at `digest`).
inline void cacheVersionName(const uint8_t *digest, char (&name)[kCacheVersionNameSize]) {
    for (size_t i = 0; i < kCacheVersionNameSize; ++i) {
        size_t bit = i * 5;
        unsigned pair = static_cast<unsigned>(digest[bit / 8] << 8 | digest[bit / 8 + 1]);
        name[i] = kCacheBase32Alphabet[(pair >> (11 - bit % 8)) & 31];
    }
}

// Whether the `length` units at `id` make an application id, the one folder
// name the id becomes on the user's machine: 1 to kCacheIdUnitLimit
// characters, the first an ASCII letter or digit, the others ASCII letters,
// digits, '.', '-', '_' or blanks, the last neither a dot nor a blank, and
// not a reserved device name (format/name_rules.h; "nul.txt" is one). Such a
// name is one path component that Windows takes as it is, with no tilde
// that could make it another folder's short name. Windows compares it
// without case: "MyApp" and "myapp" name the same folder.
template <typename Char> bool isCacheApplicationId(const Char *id, size_t length) {
    auto alphanumeric = [](Char c) {
        return (c >= Char('a') && c <= Char('z')) || (c >= Char('A') && c <= Char('Z')) ||
               (c >= Char('0') && c <= Char('9'));
    };
    if (length == 0 || length > kCacheIdUnitLimit || !alphanumeric(id[0]) || isTrimmedAtPartEnd(id[length - 1])) {
        return false;
    }
    for (size_t i = 1; i < length; ++i) {
        Char c = id[i];
        if (!alphanumeric(c) && c != Char('.') && c != Char('-') && c != Char('_') && c != Char(' ')) {
            return false;
        }
    }
    auto upper = [](Char c) { return c >= Char('a') && c <= Char('z') ? Char(c - Char('a') + Char('A')) : c; };
    return !isReservedDeviceName(id, length, upper);
}

// The unsigned little-endian number of `width` bytes at `bytes`.
inline uint64_t cacheIndexNumber(const uint8_t *bytes, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i > 0; --i) {
        value = value << 8 | bytes[i - 1];
    }
    return value;
}

struct CacheIndexHeader {
    uint16_t headerSize;
    uint32_t indexSize;
    uint32_t entryCount;
    uint64_t dataSize;
    uint8_t digest[kCacheDigestSize];
    char versionName[kCacheVersionNameSize + 1];  // zero-terminated
    uint16_t idLength;
    uint16_t id[kCacheIdUnitLimit + 1];  // zero-terminated
};

// One entry, pointing into the index's bytes.
struct CacheIndexEntry {
    const uint8_t *record;  // the whole record, (recordSize bytes): its share of D's input
    size_t recordSize;
    uint16_t nameLength;  // in units
    const uint8_t *name;  // nameLength UTF-16LE units, not terminated
    uint64_t size;
    const uint8_t *digest;  // kCacheDigestSize bytes
};

// Reads the entry record at `offset` of the `size` bytes at `index` and
// moves `offset` past it. False, with `offset` unchanged, when the record
// does not fit in the bytes or its name is empty, longer than
// kCacheNameUnitLimit or holds a zero unit.
inline bool readCacheIndexEntry(const uint8_t *index, size_t size, size_t &offset, CacheIndexEntry &entry) {
    if (offset > size || size - offset < kCacheEntryFixedSize) {
        return false;
    }
    const uint8_t *record = index + offset;
    size_t nameLength = static_cast<size_t>(cacheIndexNumber(record, 2));
    size_t recordSize = kCacheEntryFixedSize + 2 * nameLength;
    if (nameLength == 0 || nameLength > kCacheNameUnitLimit || size - offset < recordSize) {
        return false;
    }
    for (size_t i = 0; i < nameLength; ++i) {
        if (cacheIndexNumber(record + 2 + 2 * i, 2) == 0) {
            return false;
        }
    }
    entry.record = record;
    entry.recordSize = recordSize;
    entry.nameLength = static_cast<uint16_t>(nameLength);
    entry.name = record + 2;
    entry.size = cacheIndexNumber(record + 2 + 2 * nameLength, 8);
    entry.digest = record + 2 + 2 * nameLength + 8;
    offset += recordSize;
    return true;
}

// Checks the whole index in the `size` bytes at `index` (null with size 0
// when there is none) and fills `header`. False when the bytes are not an
// index of this version: magic, version, a header size below this
// version's or beyond the index, an index size beyond the bytes, an entry
// count of 0 or above the limit, an entry record that does not read, entries
// that do not end exactly at the index size or are not as many as counted,
// a data size that is not their sum, a version name that is not D's, or an
// id that is not an application id. The entries then read one after
// another from header.headerSize to header.indexSize. D itself is left to
// the caller, who hashes the entry records as said above.
inline bool parseCacheIndex(const uint8_t *index, size_t size, CacheIndexHeader &header) {
    if (index == nullptr || size < kCacheIndexHeaderSize) {
        return false;
    }
    for (size_t i = 0; i < sizeof kCacheIndexMagic; ++i) {
        if (index[i] != kCacheIndexMagic[i]) {
            return false;
        }
    }
    header.headerSize = static_cast<uint16_t>(cacheIndexNumber(index + kCacheHeaderSizeOffset, 2));
    header.indexSize = static_cast<uint32_t>(cacheIndexNumber(index + kCacheIndexSizeOffset, 4));
    header.entryCount = static_cast<uint32_t>(cacheIndexNumber(index + kCacheEntryCountOffset, 4));
    header.dataSize = cacheIndexNumber(index + kCacheDataSizeOffset, 8);
    header.idLength = static_cast<uint16_t>(cacheIndexNumber(index + kCacheIdLengthOffset, 2));
    if (cacheIndexNumber(index + kCacheVersionOffset, 2) != kCacheIndexVersion ||
        header.headerSize < kCacheIndexHeaderSize || header.indexSize > size || header.headerSize > header.indexSize ||
        header.entryCount == 0 || header.entryCount > kCacheIndexEntryLimit || header.idLength > kCacheIdUnitLimit) {
        return false;
    }
    for (size_t i = 0; i < kCacheDigestSize; ++i) {
        header.digest[i] = index[kCacheDigestOffset + i];
    }
    char versionName[kCacheVersionNameSize];
    cacheVersionName(header.digest, versionName);
    for (size_t i = 0; i < kCacheVersionNameSize; ++i) {
        if (index[kCacheVersionNameOffset + i] != static_cast<uint8_t>(versionName[i])) {
            return false;
        }
        header.versionName[i] = versionName[i];
    }
    header.versionName[kCacheVersionNameSize] = '\0';
    for (size_t i = 0; i <= kCacheIdUnitLimit; ++i) {
        header.id[i] = i < header.idLength ? static_cast<uint16_t>(cacheIndexNumber(index + kCacheIdOffset + 2 * i, 2))
                                           : 0;
    }
    if (!isCacheApplicationId(header.id, header.idLength)) {
        return false;
    }
    size_t offset = header.headerSize;
    uint64_t dataSize = 0;
    CacheIndexEntry entry;
    for (uint32_t i = 0; i < header.entryCount; ++i) {
        if (!readCacheIndexEntry(index, header.indexSize, offset, entry) || entry.size > header.dataSize - dataSize) {
            return false;
        }
        dataSize += entry.size;
    }
    return offset == header.indexSize && dataSize == header.dataSize;
}
