#include "packer/pe/pe_imports.h"

#include <set>

#include "packer/pe/le_bytes.h"

namespace {

// A table of descriptors, each naming one DLL; the first whose name field is
// 0 ends it.
struct ImportTable {
    const char *what;
    size_t directory;       // data directory index
    size_t descriptorSize;  // bytes
    size_t nameField;       // offset of the name's RVA inside a descriptor
};

const ImportTable kImportTables[] = {
    {"import directory", kImportDirectory, 20, 12},
    {"delay-load import directory", kDelayImportDirectory, 32, 4},
};

// Far more than any image imports; bounds the walk over a table that never ends.
constexpr uint32_t kMostDescriptors = 65536;

// No file system takes a longer file name.
constexpr size_t kLongestName = 255;

std::string lowerCase(std::string name) {
    for (char &c : name) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return name;
}

bool readTable(const std::vector<uint8_t> &bytes, const PeImage &image, const ImportTable &table,
               std::vector<std::string> &dlls, std::set<std::string> &seen, std::string &error) {
    PeDataDirectory directory = dataDirectory(image, table.directory);
    if (directory.rva == 0) {
        return true;
    }
    for (uint32_t i = 0; i < kMostDescriptors; ++i) {
        uint64_t rva = directory.rva + uint64_t{i} * table.descriptorSize;
        size_t descriptor = 0;
        if (rva > UINT32_MAX || !mapRvaRange(image, static_cast<uint32_t>(rva), table.descriptorSize, descriptor)) {
            error = std::string("has a malformed ") + table.what + " (descriptor " + std::to_string(i) +
                    " is not inside the file's data)";
            return false;
        }
        uint32_t nameRva = readU32(bytes, descriptor + table.nameField);
        if (nameRva == 0) {
            return true;
        }
        std::string name;
        if (!readNameAt(bytes, image, nameRva, kLongestName, name)) {
            error = std::string("has a malformed ") + table.what + " (the name of descriptor " + std::to_string(i) +
                    " is not inside the file's data)";
            return false;
        }
        if (seen.insert(lowerCase(name)).second) {
            dlls.push_back(name);
        }
    }
    error = std::string("has a malformed ") + table.what + " (it does not end)";
    return false;
}

}  // namespace

bool readImportedDlls(const std::vector<uint8_t> &bytes, const PeImage &image, std::vector<std::string> &dlls,
                      std::string &error) {
    dlls.clear();
    std::set<std::string> seen;
    for (const ImportTable &table : kImportTables) {
        if (!readTable(bytes, image, table, dlls, seen, error)) {
            return false;
        }
    }
    return true;
}
