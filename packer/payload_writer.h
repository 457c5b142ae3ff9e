#pragma once
// Writes the attached payload container the launcher unpacks
// (format/container.h), its entry records in one zstd frame.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "format/container.h"
#include "packer/sha256.h"

struct PayloadEntry {
    std::string name;        // UTF-8, relative to the extraction directory; '/' or '\' separated
    std::string sourcePath;  // the file whose bytes become the entry's data
};

// The container travels as one PE resource, whose size field has 32 bits.
constexpr uint64_t kMaxContainerSize = 0xFFFFFFFFu;

// Called as compression goes on, also while the frame is being finished,
// with the stream bytes compressed so far, the stream's whole size, and the
// compressed bytes produced so far.
typedef void (*PayloadProgress)(uint64_t read, uint64_t total, uint64_t written, void *context);

struct PayloadOptions {
    int level = 3;  // zstd's own default: quick, and a fair ratio
    int windowLog = kMaxPayloadWindowLog;
    // A content checksum lets the launcher refuse a damaged download instead
    // of running damaged code.
    bool checksum = false;
    // Declaring the stream's size in the frame also fits the window to the
    // payload, so a small application costs the launcher little memory.
    bool recordContentSize = false;
    int workers = 0;  // compression threads; 0 compresses on the calling thread
    // Each entry's data hashed as it is read, for the cache index: the
    // summary then lists every entry as stored.
    bool digests = false;
    PayloadProgress progress = nullptr;
    void *progressContext = nullptr;
};

// An entry as the container stores it, and its data's SHA-256.
struct StoredEntry {
    std::u16string name;
    uint64_t size;
    uint8_t digest[kSha256Size];
};

struct PayloadSummary {
    uint64_t containerSize = 0;  // bytes written
    uint64_t inputSize = 0;      // the entries' data
    std::vector<StoredEntry> entries;  // with PayloadOptions::digests, in payload order
};

// Appends the container to `out`, entries in the given order. Checks every
// name and the options, and measures every file, before writing anything; a
// file that is not a regular file, that changes size after it was measured,
// or a container beyond kMaxContainerSize fails the write. On failure
// returns false and sets `error` to a message naming the offending entry or
// file; `out` may then hold a partial container.
bool writePayload(FILE *out, const std::vector<PayloadEntry> &entries, const PayloadOptions &options,
                  PayloadSummary &summary, std::string &error);

// Writes the container into a scratch file beside `beside` (see
// openScratchFile) and reads it back into `container`.
bool compressPayload(const std::string &beside, const std::vector<PayloadEntry> &entries,
                     const PayloadOptions &options, std::vector<uint8_t> &container, PayloadSummary &summary,
                     std::string &error);
