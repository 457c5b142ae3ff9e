#pragma once
// Reads a payload container back the way the launcher does, for --list and
// for checking a packed executable: every record, to the end of the stream.
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/sha256.h"

struct ListedEntry {
    std::u16string name;
    uint64_t size;
    uint8_t digest[kSha256Size];  // of the data, when asked for
};

typedef void (*ListedEntryVisitor)(const ListedEntry &entry, void *context);

// Decodes the whole container (header, frames, trailer) and calls `visit`,
// unless it is null, for each entry as it is read; memory stays bounded
// whatever the container holds. False with `error` set when the header is
// wrong, the stream is damaged or ends early, a name is longer than the
// launcher takes, or bytes other than the trailer follow the end-of-list
// record. A caller that must not show a damaged payload's entries decodes
// twice: once without a visitor to check, then to visit. With `digests`
// each entry's data is hashed into its digest on the way. `firstEntry`,
// unless it is null, receives the first entry's data (nothing when there is
// none or when it is larger than kLargestFirstEntry).
bool listPayload(const std::vector<uint8_t> &container, ListedEntryVisitor visit, void *context,
                 std::string &error, bool digests, std::vector<uint8_t> *firstEntry = nullptr);

// No program or DLL an executable can carry is larger.
constexpr uint64_t kLargestFirstEntry = uint64_t{1} << 32;
