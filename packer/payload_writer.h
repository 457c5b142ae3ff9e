#pragma once
// Writes the attached payload container the launcher unpacks: "QJ", the marker
// "Y", one zstd frame holding the entry records, then a 10-byte trailer.
#include <stdio.h>

#include <string>
#include <vector>

struct PayloadEntry {
    std::string name;        // UTF-8, relative to the extraction directory; '/' or '\' separated
    std::string sourcePath;  // the file whose bytes become the entry's data
};

// The launcher's decoder accepts no larger window.
constexpr int kMaxPayloadWindowLog = 27;

// Called after each piece of input with the bytes consumed so far and the
// stream's whole size.
typedef void (*PayloadProgress)(unsigned long long consumed, unsigned long long total, void *context);

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
    PayloadProgress progress = nullptr;
    void *progressContext = nullptr;
};

// Appends the container to `out`, entries in the given order. Checks every
// name and the options before writing anything. On failure returns false
// and sets `error` to a message naming the offending entry or file; `out`
// may then hold a partial container.
bool writePayload(FILE *out, const std::vector<PayloadEntry> &entries, const PayloadOptions &options,
                  std::string &error);
