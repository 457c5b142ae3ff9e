// Files and bytes for the host tests: whole-file reads and writes, seeded
// random contents, and little-endian fields read back independently of the
// code under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

// The whole file; a file that cannot be opened fails the test and reads as empty.
template <typename Bytes = std::string> Bytes readWholeFile(const std::filesystem::path &path) {
    std::ifstream stream(path, std::ios::binary);
    EXPECT_TRUE(stream) << path;
    return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

// Replaces the file, making its missing parent directories first.
template <typename Bytes> void writeWholeFile(const std::filesystem::path &path, const Bytes &bytes) {
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path());
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

inline void writeWholeFile(const std::filesystem::path &path, const char *text) {
    writeWholeFile(path, std::string(text));
}

// The same bytes for the same seed, so a failure can be replayed.
inline std::string randomBytes(size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char &byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

template <typename Bytes> uint64_t littleEndian(const Bytes &bytes, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
    }
    return value;
}
