#pragma once
// SHA-256 (FIPS 180-4), for the extract-once cache's digests: fed piece by
// piece as the packer reads its inputs, so that every file is read once.
#include <stddef.h>
#include <stdint.h>

constexpr size_t kSha256Size = 32;

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes added so far
    uint8_t block[64];
    size_t held;  // bytes waiting in `block`
};

// Starts a digest; then sha256Add any number of times, and sha256Finish once.
void sha256Start(Sha256 &hash);
void sha256Add(Sha256 &hash, const void *data, size_t size);
void sha256Finish(Sha256 &hash, uint8_t (&digest)[kSha256Size]);
