#pragma once
// Reads a payload container back the way the launcher does, for --list and
// for checking a packed executable: every record, to the end of the stream.
#include <stdint.h>

#include <string>
#include <vector>

struct ListedEntry {
    std::u16string name;
    uint64_t size;
};

// Decodes the whole container (header, frames, trailer) and fills `entries`.
// False with `error` set when the header is wrong, the stream is damaged or
// ends early, or bytes other than the trailer follow the end-of-list record.
bool listPayload(const std::vector<uint8_t> &container, std::vector<ListedEntry> &entries, std::string &error);
