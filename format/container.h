#pragma once
// The attached payload container, as the packer writes it and the launcher
// reads it: the header "QJ" and the marker "Y", zstd frames holding the entry
// records, then a trailer. Each record is a name of UTF-16 units ending in a
// zero unit, then the data's size as 8 bytes little-endian, then the data; an
// empty name ends the list.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Where the container travels: the executable's resource of type RT_RCDATA
// (spelt as its number: with UNICODE the macro is a wide name) and this id.
constexpr uint16_t kPayloadResourceType = 10;
constexpr uint16_t kPayloadResourceId = 27;

constexpr unsigned char kContainerHeader[] = {'Q', 'J', 'Y'};
constexpr size_t kContainerHeaderSize = sizeof kContainerHeader;

// Whether `size` bytes at `bytes` begin with the header.
inline bool hasContainerHeader(const void *bytes, size_t size) {
    return size >= kContainerHeaderSize && memcmp(bytes, kContainerHeader, kContainerHeaderSize) == 0;
}

// Behind the frames: two zero bytes, then, as 8 bytes little-endian, the
// count of the container's bytes in front of those 8. The launcher never
// reads it; tools find the container's end by it.
constexpr size_t kTrailerZeroBytes = 2;
constexpr size_t kTrailerCountBytes = 8;
constexpr size_t kContainerTrailerSize = kTrailerZeroBytes + kTrailerCountBytes;

// The launcher's name buffer holds this many units with the terminator, so a
// name has at most one fewer.
constexpr size_t kEntryNameUnitLimit = 1024;

// The launcher's decoder keeps zstd's default limit: no frame's window may
// exceed 2^27 bytes.
constexpr int kMaxPayloadWindowLog = 27;
