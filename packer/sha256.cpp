#include "packer/sha256.h"

#include <string.h>

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotateRight(uint32_t value, int count) {
    return value >> count | value << (32 - count);
}

void compressBlock(uint32_t (&state)[8], const uint8_t *block) {
    uint32_t schedule[64];
    for (int i = 0; i < 16; ++i) {
        schedule[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
                      static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        uint32_t w15 = schedule[i - 15], w2 = schedule[i - 2];
        uint32_t sigma0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
        uint32_t sigma1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
        schedule[i] = schedule[i - 16] + sigma0 + schedule[i - 7] + sigma1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        uint32_t choice = (e & f) ^ (~e & g);
        uint32_t first = h + sum1 + choice + kRoundConstants[i] + schedule[i];
        uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + first;
        d = c;
        c = b;
        b = a;
        a = first + sum0 + majority;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void sha256Start(Sha256 &hash) {
    // The first 32 bits of the fractional parts of the square roots of the first 8 primes.
    const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(hash.state, initial, sizeof initial);
    hash.length = 0;
    hash.held = 0;
}

void sha256Add(Sha256 &hash, const void *data, size_t size) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    hash.length += size;
    if (hash.held > 0) {
        size_t taken = size < sizeof hash.block - hash.held ? size : sizeof hash.block - hash.held;
        memcpy(hash.block + hash.held, bytes, taken);
        hash.held += taken;
        bytes += taken;
        size -= taken;
        if (hash.held < sizeof hash.block) {
            return;
        }
        compressBlock(hash.state, hash.block);
        hash.held = 0;
    }
    // Whole blocks straight from the caller's bytes, without a copy.
    for (; size >= sizeof hash.block; bytes += sizeof hash.block, size -= sizeof hash.block) {
        compressBlock(hash.state, bytes);
    }
    memcpy(hash.block, bytes, size);
    hash.held = size;
}

void sha256Finish(Sha256 &hash, uint8_t (&digest)[kSha256Size]) {
    // A one bit, zeros up to 8 bytes short of a block's end, and the length in bits, big-endian.
    uint64_t bits = hash.length * 8;
    uint8_t padding[sizeof hash.block + 8] = {0x80};
    size_t zeros = (hash.held < 56 ? 56 : 120) - hash.held;
    for (int i = 0; i < 8; ++i) {
        padding[zeros + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    sha256Add(hash, padding, zeros + 8);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<uint8_t>(hash.state[i] >> (24 - 8 * j));
        }
    }
}
