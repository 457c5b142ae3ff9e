#pragma once
// Little-endian field access for PE structures. The readers do not check
// bounds: callers check a whole structure with `fitsIn` before reading it.
#include <stddef.h>
#include <stdint.h>

#include <vector>

// True when `length` bytes at `offset` lie inside a buffer of `size` bytes,
// without overflow for any operand values.
inline bool fitsIn(size_t size, uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
}

inline uint16_t readU16(const std::vector<uint8_t> &bytes, size_t offset) {
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

inline uint32_t readU32(const std::vector<uint8_t> &bytes, size_t offset) {
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

inline void writeU16(std::vector<uint8_t> &bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void writeU32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// `value` rounded up to a multiple of `alignment` (a power of two), in 64 bits
// so that callers can detect results beyond 32 bits.
inline uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}
