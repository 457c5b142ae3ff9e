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

struct PayloadOptions {
    int level = 3;  // zstd's own default: quick, and a fair ratio
    int windowLog = kMaxPayloadWindowLog;
};

// Appends the container to `out`, entries in the given order. Checks every
// name and the options before writing anything. On failure returns false
// and sets `error` to a message naming the offending entry or file; `out`
// may then hold a partial container.
bool writePayload(FILE *out, const std::vector<PayloadEntry> &entries, const PayloadOptions &options,
                  std::string &error);
