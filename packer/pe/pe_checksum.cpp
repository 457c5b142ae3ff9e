#include "packer/pe/pe_checksum.h"

uint32_t peChecksum(const std::vector<uint8_t> &file, size_t checksumOffset) {
    size_t size = file.size();
    // Works for any field position, even one that is not word-aligned.
    auto byteAt = [&](size_t at) -> uint64_t { return at - checksumOffset < 4 ? 0 : file[at]; };
    uint64_t sum = 0;
    for (size_t at = 0; at < size; at += 2) {
        sum += byteAt(at) | (at + 1 < size ? byteAt(at + 1) << 8 : 0);
        // The end-around carry can be folded in at any time; doing it only
        // now and then keeps the loop fast without overflowing 64 bits.
        if (sum > 0xFFFFFFFFu) {
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum + size);
}
