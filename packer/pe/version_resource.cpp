#include "packer/pe/version_resource.h"

#include <stdio.h>

#include <algorithm>

#include "packer/pe/le_bytes.h"
#include "packer/pe/pe_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr uint32_t kFixedStructVersion = 0x00010000;
constexpr uint32_t kFileFlagsMask = 0x3F;      // VS_FFI_FILEFLAGSMASK
constexpr uint32_t kFileOsNtWindows = 0x40004;  // VOS_NT_WINDOWS32
constexpr uint32_t kFileTypeApplication = 1;    // VFT_APP
constexpr size_t kFixedSize = 52;               // VS_FIXEDFILEINFO
constexpr size_t kBlockHeaderSize = 6;          // wLength, wValueLength, wType
constexpr uint16_t kBinary = 0;
constexpr uint16_t kText = 1;

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

void appendText(Bytes &out, const std::u16string &text) {
    for (char16_t unit : text) {
        out.push_back(static_cast<uint8_t>(unit));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

void appendU32(Bytes &out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void padToFour(Bytes &out) {
    out.resize(alignUp(out.size(), 4), 0);
}

std::u16string ascii(const std::string &text) {
    return std::u16string(text.begin(), text.end());
}

// One node of the version tree: header, key, value, then its children, each
// starting on a 4-byte boundary. Its length covers no padding after the last
// child, as the resource compilers write it.
bool appendBlock(Bytes &out, const std::string &key, uint16_t valueLength, uint16_t type, const Bytes &value,
                 const std::vector<Bytes> &children, std::string &error) {
    Bytes block(kBlockHeaderSize, 0);
    appendText(block, ascii(key));
    padToFour(block);
    block.insert(block.end(), value.begin(), value.end());
    for (const Bytes &child : children) {
        padToFour(block);
        block.insert(block.end(), child.begin(), child.end());
    }
    if (block.size() > 0xFFFF) {
        return fail(error, "the version resource would take " + std::to_string(block.size()) +
                               " bytes in its block " + key + ", more than the 65535 its length field counts; "
                               "shorten the texts");
    }
    writeU16(block, 0, static_cast<uint16_t>(block.size()));
    writeU16(block, 2, valueLength);
    writeU16(block, 4, type);
    out = std::move(block);
    return true;
}

std::string translationKey(uint16_t language, uint16_t codepage) {
    char key[9];
    snprintf(key, sizeof key, "%04x%04x", language, codepage);
    return key;
}

// A node read back: where its value and children lie inside the data.
struct Block {
    std::u16string key;
    uint16_t valueLength = 0;
    uint16_t type = 0;
    size_t value = 0;     // offset of the value
    size_t children = 0;  // offset of the first child
    size_t end = 0;       // offset just past the node
};

bool readBlock(const Bytes &data, size_t at, size_t limit, Block &block, std::string &error) {
    if (!fitsIn(limit, at, kBlockHeaderSize)) {
        return fail(error, "a block of the version resource is cut off at " + hexNumber(at));
    }
    uint16_t length = readU16(data, at);
    if (length < kBlockHeaderSize || !fitsIn(limit, at, length)) {
        return fail(error, "a block of the version resource at " + hexNumber(at) + " claims " +
                               std::to_string(length) + " bytes, beyond its parent");
    }
    block.end = at + length;
    block.valueLength = readU16(data, at + 2);
    block.type = readU16(data, at + 4);
    block.key.clear();
    size_t cursor = at + kBlockHeaderSize;
    for (;; cursor += 2) {
        if (cursor + 2 > block.end) {
            return fail(error, "a key of the version resource at " + hexNumber(at) + " has no end");
        }
        char16_t unit = static_cast<char16_t>(readU16(data, cursor));
        if (unit == 0) {
            break;
        }
        block.key.push_back(unit);
    }
    block.value = std::min<size_t>(alignUp(cursor + 2, 4), block.end);
    // Text values count characters, binary ones bytes.
    uint64_t valueBytes = block.type == kText ? uint64_t{block.valueLength} * 2 : block.valueLength;
    if (valueBytes > block.end - block.value) {
        return fail(error, "the value of " + std::string(block.key.begin(), block.key.end()) +
                               " in the version resource runs past its block");
    }
    block.children = std::min<size_t>(alignUp(block.value + valueBytes, 4), block.end);
    return true;
}

// The first child of `parent` whose key is `key`, if any.
bool findChild(const Bytes &data, const Block &parent, const std::u16string &key, Block &found, bool &present,
               std::string &error) {
    present = false;
    for (size_t at = parent.children; at < parent.end; at = alignUp(found.end, 4)) {
        if (!readBlock(data, at, parent.end, found, error)) {
            return false;
        }
        if (found.key == key) {
            present = true;
            return true;
        }
    }
    return true;
}

bool readStringTable(const Bytes &data, const Block &table, VersionInfo &info, std::string &error) {
    std::string key(table.key.begin(), table.key.end());
    bool hex = key.size() == 8 && key.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!hex) {
        return fail(error, "the version resource's string table has the key \"" + key +
                               "\", not a language and code page");
    }
    info.language = static_cast<uint16_t>(std::stoul(key.substr(0, 4), nullptr, 16));
    info.codepage = static_cast<uint16_t>(std::stoul(key.substr(4), nullptr, 16));
    Block entry;
    for (size_t at = table.children; at < table.end; at = alignUp(entry.end, 4)) {
        if (!readBlock(data, at, table.end, entry, error)) {
            return false;
        }
        std::u16string text;
        for (size_t unit = entry.value; unit + 2 <= entry.children && readU16(data, unit) != 0; unit += 2) {
            text.push_back(static_cast<char16_t>(readU16(data, unit)));
        }
        info.strings.push_back({std::string(entry.key.begin(), entry.key.end()), text});
    }
    return true;
}

// Reads up to four numbers separated by dots from `start` on; returns how
// many, with `version` holding them (the parts not read 0) and `end` just
// past the last. A number beyond 65535 ends the reading before it.
int scanVersion(const std::string &text, size_t start, uint64_t &version, size_t &end) {
    version = 0;
    end = start;
    int parts = 0;
    for (size_t at = start; parts < 4; ++at) {
        size_t first = at;
        uint32_t number = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 6) {
            number = number * 10 + static_cast<uint32_t>(text[at] - '0');
            ++at;
        }
        bool moreDigits = at < text.size() && text[at] >= '0' && text[at] <= '9';
        if (at == first || number > 0xFFFF || moreDigits) {
            break;
        }
        version |= uint64_t{number} << (16 * (3 - parts));
        ++parts;
        end = at;
        if (at >= text.size() || text[at] != '.') {
            break;
        }
    }
    return parts;
}

}  // namespace

bool parseVersionNumber(const std::string &text, uint64_t &version, std::string &error) {
    size_t end = 0;
    if (scanVersion(text, 0, version, end) == 0 || end != text.size()) {
        version = 0;
        return fail(error, "\"" + text + "\" is not a version: it needs one to four numbers from 0 to 65535 "
                                         "separated by dots, such as 1.2.0");
    }
    return true;
}

uint64_t leadingVersionNumber(const std::string &text) {
    uint64_t version = 0;
    size_t end = 0;
    scanVersion(text, !text.empty() && (text[0] == 'v' || text[0] == 'V') ? 1 : 0, version, end);
    return version;
}

std::string versionText(uint64_t version) {
    return std::to_string(version >> 48) + "." + std::to_string((version >> 32) & 0xFFFF) + "." +
           std::to_string((version >> 16) & 0xFFFF) + "." + std::to_string(version & 0xFFFF);
}

bool buildVersionResource(const VersionInfo &info, std::vector<uint8_t> &data, std::string &error) {
    Bytes fixed;
    for (uint32_t field : {kFixedSignature, kFixedStructVersion, static_cast<uint32_t>(info.fileVersion >> 32),
                           static_cast<uint32_t>(info.fileVersion), static_cast<uint32_t>(info.productVersion >> 32),
                           static_cast<uint32_t>(info.productVersion), kFileFlagsMask, 0u, kFileOsNtWindows,
                           kFileTypeApplication, 0u, 0u, 0u}) {
        appendU32(fixed, field);
    }
    std::vector<Bytes> strings;
    for (const auto &[key, text] : info.strings) {
        Bytes value;
        appendText(value, text);
        strings.emplace_back();
        if (!appendBlock(strings.back(), key, static_cast<uint16_t>(std::min<size_t>(text.size() + 1, 0xFFFF)),
                         kText, value, {}, error)) {
            return false;
        }
    }
    Bytes table, stringFileInfo, translation, varFileInfo;
    Bytes pair;
    appendU32(pair, uint32_t{info.codepage} << 16 | info.language);
    return appendBlock(table, translationKey(info.language, info.codepage), 0, kText, {}, strings, error) &&
           appendBlock(stringFileInfo, "StringFileInfo", 0, kText, {}, {table}, error) &&
           appendBlock(translation, "Translation", 4, kBinary, pair, {}, error) &&
           appendBlock(varFileInfo, "VarFileInfo", 0, kText, {}, {translation}, error) &&
           appendBlock(data, "VS_VERSION_INFO", kFixedSize, kBinary, fixed, {stringFileInfo, varFileInfo}, error);
}

bool parseVersionResource(const std::vector<uint8_t> &data, VersionInfo &info, std::string &error) {
    info = VersionInfo();
    Block root;
    if (!readBlock(data, 0, data.size(), root, error)) {
        return false;
    }
    if (root.key != u"VS_VERSION_INFO" || root.valueLength < kFixedSize ||
        readU32(data, root.value) != kFixedSignature) {
        return fail(error, "the version resource does not start with VS_VERSION_INFO and its fixed part");
    }
    info.fileVersion = uint64_t{readU32(data, root.value + 8)} << 32 | readU32(data, root.value + 12);
    info.productVersion = uint64_t{readU32(data, root.value + 16)} << 32 | readU32(data, root.value + 20);
    Block stringFileInfo, table;
    bool present = false;
    if (!findChild(data, root, u"StringFileInfo", stringFileInfo, present, error)) {
        return false;
    }
    if (!present || stringFileInfo.children >= stringFileInfo.end) {
        return true;
    }
    return readBlock(data, stringFileInfo.children, stringFileInfo.end, table, error) &&
           readStringTable(data, table, info, error);
}
