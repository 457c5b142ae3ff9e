#pragma once
// The PE image checksum the loader verifies for drivers and some system DLLs.
#include <stddef.h>
#include <stdint.h>

#include <vector>

// The checksum of `file` with the 4 bytes at `checksumOffset` (the CheckSum
// field) counted as zero: a 16-bit sum with end-around carry over the file's
// little-endian words (an odd last byte counts as a word), plus the length.
uint32_t peChecksum(const std::vector<uint8_t> &file, size_t checksumOffset);
