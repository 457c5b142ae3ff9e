#pragma once
// Frames made with the real zstd library, for reader tests.
#include <stddef.h>

#include <string>

struct FrameOptions {
    int windowLog = 27;
    bool checksum = false;
    bool contentSize = false;
    size_t blockEndAfter = 0;  // when set, ends a block after this many bytes
};

std::string compressFrame(const std::string &raw, const FrameOptions &options);

// "QJY", the frames, and the 10-byte trailer the writer puts behind them.
std::string container(const std::string &frames);
