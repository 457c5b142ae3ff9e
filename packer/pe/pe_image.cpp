#include "packer/pe/pe_image.h"

#include <algorithm>

#include "packer/pe/le_bytes.h"

namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kMaxDataDirectories = 16;
constexpr uint32_t kMaxFileAlignment = 0x10000;  // the loader's limit

bool isPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

void readSection(const std::vector<uint8_t> &bytes, size_t offset, PeSection &section) {
    size_t length = 0;
    while (length < 8 && bytes[offset + length] != 0) {
        ++length;
    }
    section.name.assign(reinterpret_cast<const char *>(&bytes[offset]), length);
    section.virtualSize = readU32(bytes, offset + 8);
    section.virtualAddress = readU32(bytes, offset + 12);
    section.sizeOfRawData = readU32(bytes, offset + 16);
    section.pointerToRawData = readU32(bytes, offset + 20);
    section.characteristics = readU32(bytes, offset + 36);
}

// The loader maps SizeOfHeaders bytes as the headers, and writers copy and
// patch them there: headers that reach beyond, or into a section's data,
// would be read from, and written over, bytes that belong to that section.
bool checkHeadersApart(const PeImage &image, std::string &error) {
    uint64_t headersEnd = image.sectionTableOffset + uint64_t{image.sections.size()} * kSectionHeaderSize;
    if (headersEnd > image.sizeOfHeaders) {
        return fail(error, "malformed: the headers and section table end at " + hexNumber(headersEnd) +
                               ", beyond SizeOfHeaders (" + hexNumber(image.sizeOfHeaders) + ")");
    }
    for (const PeSection &section : image.sections) {
        if (section.sizeOfRawData != 0 && section.pointerToRawData < headersEnd) {
            return fail(error, "malformed: the headers and section table end at " + hexNumber(headersEnd) +
                                   ", inside the data of section " + section.name + " (from " +
                                   hexNumber(section.pointerToRawData) + ")");
        }
    }
    return true;
}

}  // namespace

bool parsePeImage(const std::vector<uint8_t> &bytes, PeImage &image, std::string &error) {
    image = PeImage();
    if (bytes.size() < kDosHeaderSize) {
        return fail(error, "not a PE32+ image: too short for a DOS header");
    }
    if (bytes[0] != 'M' || bytes[1] != 'Z') {
        return fail(error, "not a PE32+ image: no MZ signature");
    }
    uint32_t peOffset = readU32(bytes, kLfanewOffset);
    if (!fitsIn(bytes.size(), peOffset, 4 + kCoffHeaderSize)) {
        return fail(error, "truncated: the PE header at " + hexNumber(peOffset) + " lies beyond the end of the file");
    }
    if (readU32(bytes, peOffset) != 0x00004550) {
        return fail(error, "not a PE32+ image: no PE signature");
    }
    size_t coff = peOffset + 4;
    uint16_t machine = readU16(bytes, coff);
    if (machine != kMachineAmd64) {
        return fail(error, "not an x86-64 image (machine " + hexNumber(machine) + ")");
    }
    uint16_t sectionCount = readU16(bytes, coff + 2);
    uint16_t optionalSize = readU16(bytes, coff + 16);
    image.characteristics = readU16(bytes, coff + 18);
    image.coffHeaderOffset = coff;
    size_t optional = coff + kCoffHeaderSize;
    image.optionalHeaderOffset = optional;
    if (!fitsIn(bytes.size(), optional, optionalSize)) {
        return fail(error, "truncated: the optional header runs past the end of the file");
    }
    if (optionalSize < 2 || readU16(bytes, optional) != kPe32PlusMagic) {
        return fail(error, optionalSize < 2 ? std::string("not a PE32+ image: no optional header")
                                            : "not a PE32+ image (optional header magic " +
                                                  hexNumber(readU16(bytes, optional)) + ")");
    }
    if (optionalSize < kOptDataDirectories) {
        return fail(error, "malformed: the optional header is too small for PE32+");
    }
    image.sizeOfInitializedData = readU32(bytes, optional + kOptSizeOfInitializedData);
    image.sectionAlignment = readU32(bytes, optional + 32);
    image.fileAlignment = readU32(bytes, optional + 36);
    image.sizeOfImage = readU32(bytes, optional + kOptSizeOfImage);
    image.sizeOfHeaders = readU32(bytes, optional + 60);
    image.subsystem = readU16(bytes, optional + kOptSubsystem);
    size_t directoryCount = std::min<size_t>(readU32(bytes, optional + 108), kMaxDataDirectories);
    if (kOptDataDirectories + directoryCount * kDataDirectorySize > optionalSize) {
        return fail(error, "malformed: the data directories run past the optional header");
    }
    if (!isPowerOfTwo(image.fileAlignment) || image.fileAlignment > kMaxFileAlignment ||
        !isPowerOfTwo(image.sectionAlignment) || image.fileAlignment > image.sectionAlignment) {
        return fail(error, "malformed: file alignment " + hexNumber(image.fileAlignment) + " and section alignment " +
                               hexNumber(image.sectionAlignment) + " are not valid");
    }
    if (image.sizeOfHeaders > bytes.size()) {
        return fail(error, "truncated: the file is shorter than its headers");
    }
    image.dataDirectoryOffset = optional + kOptDataDirectories;
    for (size_t i = 0; i < directoryCount; ++i) {
        size_t at = image.dataDirectoryOffset + i * kDataDirectorySize;
        image.dataDirectories.push_back({readU32(bytes, at), readU32(bytes, at + 4)});
    }
    image.sectionTableOffset = optional + optionalSize;
    if (!fitsIn(bytes.size(), image.sectionTableOffset, uint64_t{sectionCount} * kSectionHeaderSize)) {
        return fail(error, "truncated: the section table runs past the end of the file");
    }
    for (size_t i = 0; i < sectionCount; ++i) {
        PeSection section;
        readSection(bytes, image.sectionTableOffset + i * kSectionHeaderSize, section);
        if (section.sizeOfRawData != 0 &&
            !fitsIn(bytes.size(), section.pointerToRawData, section.sizeOfRawData)) {
            return fail(error, "section " + section.name + " extends beyond the end of the file");
        }
        image.sections.push_back(section);
    }
    return checkHeadersApart(image, error);
}

PeDataDirectory dataDirectory(const PeImage &image, size_t index) {
    return index < image.dataDirectories.size() ? image.dataDirectories[index] : PeDataDirectory();
}

uint32_t virtualExtent(const PeSection &section) {
    return std::max(section.virtualSize, section.sizeOfRawData);
}

int sectionContaining(const PeImage &image, uint32_t rva) {
    for (size_t i = 0; i < image.sections.size(); ++i) {
        const PeSection &section = image.sections[i];
        if (rva >= section.virtualAddress && rva - section.virtualAddress < virtualExtent(section)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool mapRva(const PeImage &image, uint32_t rva, size_t &offset, size_t &available) {
    if (rva < image.sizeOfHeaders) {
        offset = rva;
        available = image.sizeOfHeaders - rva;
        return true;
    }
    int index = sectionContaining(image, rva);
    if (index < 0) {
        return false;
    }
    const PeSection &section = image.sections[index];
    // Bytes past VirtualSize are not loaded, so they cannot back an address.
    uint32_t backed = section.virtualSize != 0 ? std::min(section.virtualSize, section.sizeOfRawData)
                                               : section.sizeOfRawData;
    uint32_t inside = rva - section.virtualAddress;
    if (inside >= backed) {
        return false;
    }
    offset = size_t{section.pointerToRawData} + inside;
    available = backed - inside;
    return true;
}

bool mapRvaRange(const PeImage &image, uint32_t rva, uint64_t length, size_t &offset) {
    size_t available = 0;
    if (length == 0) {
        offset = 0;
        return true;
    }
    return mapRva(image, rva, offset, available) && length <= available;
}

bool readNameAt(const std::vector<uint8_t> &bytes, const PeImage &image, uint32_t rva, size_t longest,
                std::string &name) {
    size_t offset = 0;
    size_t available = 0;
    if (!mapRva(image, rva, offset, available)) {
        return false;
    }
    available = longest < available ? longest + 1 : available;
    auto begin = bytes.begin() + offset;
    auto end = std::find(begin, begin + available, 0);
    if (end == begin + available) {
        return false;
    }
    name.assign(begin, end);
    return true;
}

uint64_t endOfSectionData(const PeImage &image) {
    uint64_t end = image.sizeOfHeaders;
    for (const PeSection &section : image.sections) {
        if (section.sizeOfRawData != 0) {
            end = std::max<uint64_t>(end, uint64_t{section.pointerToRawData} + section.sizeOfRawData);
        }
    }
    return end;
}

std::string hexNumber(uint64_t value) {
    const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}
