#pragma once
// The headers of a PE32+ x86-64 image, read from untrusted bytes, and the
// mapping from relative virtual addresses (RVAs) to file offsets.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint16_t kFileExecutableImage = 0x0002;  // COFF Characteristics: the image is linked, it can run
constexpr uint16_t kFileDll = 0x2000;              // COFF Characteristics: the image is a DLL
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint32_t kSectionInitializedData = 0x00000040;
constexpr uint32_t kSectionMemoryRead = 0x40000000;

constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kDataDirectorySize = 8;

// Field offsets inside the PE32+ optional header.
constexpr size_t kOptSizeOfInitializedData = 8;
constexpr size_t kOptSizeOfImage = 56;
constexpr size_t kOptCheckSum = 64;
constexpr size_t kOptSubsystem = 68;
constexpr size_t kOptDataDirectories = 112;

// Data directory indices.
constexpr size_t kExportDirectory = 0;
constexpr size_t kImportDirectory = 1;
constexpr size_t kResourceDirectory = 2;
constexpr size_t kSecurityDirectory = 4;  // its "RVA" is a file offset
constexpr size_t kBaseRelocationDirectory = 5;
constexpr size_t kDebugDirectory = 6;
constexpr size_t kDelayImportDirectory = 13;

struct PeSection {
    std::string name;  // up to 8 bytes, without trailing NULs
    uint32_t virtualSize = 0;
    uint32_t virtualAddress = 0;
    uint32_t sizeOfRawData = 0;
    uint32_t pointerToRawData = 0;
    uint32_t characteristics = 0;
};

struct PeDataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct PeImage {
    uint16_t characteristics = 0;  // from the COFF header
    size_t coffHeaderOffset = 0;
    size_t optionalHeaderOffset = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sizeOfInitializedData = 0;
    uint16_t subsystem = 0;  // 2 a GUI program, 3 a console one
    size_t dataDirectoryOffset = 0;                // file offset of data directory 0
    std::vector<PeDataDirectory> dataDirectories;  // as many as the header declares, at most 16
    size_t sectionTableOffset = 0;
    std::vector<PeSection> sections;  // in section-table order
};

// Reads and checks the headers, down to the section table lying within
// SizeOfHeaders and before every section's data. On failure returns false
// with `error` naming the problem ("not a PE32+ image ...", "truncated: ...",
// "section .x extends beyond the end of the file", ...); callers prefix the
// file's name.
bool parsePeImage(const std::vector<uint8_t> &bytes, PeImage &image, std::string &error);

// The directory at `index`, or an empty one when the header has fewer.
PeDataDirectory dataDirectory(const PeImage &image, size_t index);

// Bytes of address space a section covers (before alignment).
uint32_t virtualExtent(const PeSection &section);

// Index of the section whose address range holds `rva`, or -1.
int sectionContaining(const PeImage &image, uint32_t rva);

// Maps `rva` to a file offset inside a section's file data or the headers;
// `available` receives how many file bytes of that region follow it. False
// when the RVA is not backed by file data.
bool mapRva(const PeImage &image, uint32_t rva, size_t &offset, size_t &available);

// True when all `length` bytes at `rva` are backed by one region's file data.
bool mapRvaRange(const PeImage &image, uint32_t rva, uint64_t length, size_t &offset);

// Reads the NUL-terminated name at `rva`; false when it is not backed by
// file data, runs past its region or is longer than `longest` bytes.
bool readNameAt(const std::vector<uint8_t> &bytes, const PeImage &image, uint32_t rva, size_t longest,
                std::string &name);

// The end of the last section's file data (or of the headers).
uint64_t endOfSectionData(const PeImage &image);

// "0x" and lowercase hex digits, for messages.
std::string hexNumber(uint64_t value);
