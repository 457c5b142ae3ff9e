// The parts of the file access that are the same on every system.
#include "packer/file_access.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <random>

std::string joinPath(const std::string &directory, const std::string &name) {
    if (!directory.empty() && strchr(kPathSeparators, directory.back()) != nullptr) {
        return directory + name;
    }
    return directory + kPathSeparator + name;
}

std::string lastComponent(const std::string &path) {
    size_t cut = path.find_last_of(kPathSeparators);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool isWithin(const std::string &inner, const std::string &outer) {
    if (inner.compare(0, outer.size(), outer) != 0) {
        return false;
    }
    // "/a/bc" is not below "/a/b"; a root such as "/" ends with its separator.
    return inner.size() == outer.size() || (!outer.empty() && strchr(kPathSeparators, outer.back()) != nullptr) ||
           strchr(kPathSeparators, inner[outer.size()]) != nullptr;
}

std::string parentDirectory(const std::string &path) {
    size_t cut = path.find_last_of(kPathSeparators);
    if (cut == std::string::npos) {
        return ".";
    }
    // A root keeps its separator: "/" of "/x", "C:\" of "C:\x".
    bool root = cut == 0 || (cut == 2 && path[1] == ':' && kPathSeparator == '\\');
    return path.substr(0, root ? cut + 1 : cut);
}

constexpr char kUniqueSuffix[] = ".zelmor-pack";
constexpr size_t kUniqueDigits = 16;

std::string uniqueNameBeside(const std::string &beside) {
    std::random_device source;
    uint64_t random = (uint64_t{source()} << 32) ^ source();
    const char digits[] = "0123456789abcdef";
    std::string name = beside + ".";
    for (int shift = 4 * static_cast<int>(kUniqueDigits) - 4; shift >= 0; shift -= 4) {
        name += digits[(random >> shift) & 0xF];
    }
    return name + kUniqueSuffix;
}

bool isNameBeside(const std::string &name, const std::string &besideName) {
    size_t suffix = sizeof kUniqueSuffix - 1;
    if (name.size() != besideName.size() + 1 + kUniqueDigits + suffix ||
        name.compare(0, besideName.size(), besideName) != 0 || name[besideName.size()] != '.' ||
        name.compare(name.size() - suffix, suffix, kUniqueSuffix) != 0) {
        return false;
    }
    return std::all_of(name.begin() + besideName.size() + 1, name.end() - suffix,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
    InputFile file;
    if (!openInput(path, file, error)) {
        return false;
    }
    bool done = true;
    if (file.facts.kind != PathKind::Regular) {
        error = "\"" + path + "\" is not a regular file";
        done = false;
    } else if (file.facts.size > SIZE_MAX) {
        error = "\"" + path + "\" is too large to read into memory";
        done = false;
    }
    size_t got = 0;
    if (done) {
        bytes.resize(static_cast<size_t>(file.facts.size));
        done = readInput(file, bytes.data(), bytes.size(), got, error);
    }
    // A file that grows meanwhile is read as far as it was long when opened.
    if (done && got != bytes.size()) {
        error = "\"" + path + "\" shrank while being read";
        done = false;
    }
    closeInput(file);
    return done;
}

// Pieces small enough for every C runtime's fread.
constexpr size_t kLargestScratchRead = size_t{1} << 30;

bool readScratchFile(FILE *file, uint64_t size, std::vector<uint8_t> &bytes, std::string &error) {
    if (size > SIZE_MAX) {
        error = "the scratch file is too large to read into memory";
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    if (fseek(file, 0, SEEK_SET) != 0) {
        error = std::string("cannot read back the scratch file: ") + strerror(errno);
        return false;
    }
    for (size_t done = 0; done < bytes.size();) {
        size_t wanted = bytes.size() - done < kLargestScratchRead ? bytes.size() - done : kLargestScratchRead;
        size_t got = fread(bytes.data() + done, 1, wanted, file);
        if (got == 0 && ferror(file)) {
            error = std::string("cannot read back the scratch file: ") + strerror(errno);
            return false;
        }
        if (got == 0) {
            error = "cannot read back the scratch file: it is shorter than was written";
            return false;
        }
        done += got;
    }
    return true;
}

