#include "packer/cache_index.h"

#include <string.h>

#include "format/cache_index.h"
#include "packer/file_access.h"
#include "packer/payload_listing.h"
#include "packer/utf16_name.h"

namespace {

void putNumber(uint8_t *at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The entry's record, which is also its share of D's input.
void appendRecord(std::vector<uint8_t> &bytes, const std::u16string &name, uint64_t size,
                  const uint8_t (&digest)[kSha256Size]) {
    size_t at = bytes.size();
    bytes.resize(at + kCacheEntryFixedSize + 2 * name.size());
    putNumber(&bytes[at], name.size(), 2);
    for (size_t i = 0; i < name.size(); ++i) {
        putNumber(&bytes[at + 2 + 2 * i], name[i], 2);
    }
    at += 2 + 2 * name.size();
    putNumber(&bytes[at], size, 8);
    memcpy(&bytes[at + 8], digest, kSha256Size);
}

void startDigest(Sha256 &hash) {
    uint8_t version[4];
    putNumber(version, kCacheDigestVersion, 4);
    sha256Start(hash);
    sha256Add(hash, version, sizeof version);
}

std::string hexadecimal(const uint8_t *bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// Walks the index's entries beside the payload's, as the payload is listed.
struct IndexCheck {
    const std::vector<uint8_t> &index;
    const CacheIndexHeader &header;
    size_t offset;      // of the next index entry
    uint32_t compared;  // entries of the payload so far
    Sha256 digest;      // D over the payload's entries
    std::string problem;  // the first difference
};

void compareEntry(const ListedEntry &listed, void *context) {
    IndexCheck &check = *static_cast<IndexCheck *>(context);
    std::vector<uint8_t> record;
    appendRecord(record, listed.name, listed.size, listed.digest);
    sha256Add(check.digest, record.data(), record.size());
    uint32_t number = ++check.compared;
    CacheIndexEntry entry;
    if (!check.problem.empty() || number > check.header.entryCount ||
        !readCacheIndexEntry(check.index.data(), check.header.indexSize, check.offset, entry)) {
        return;
    }
    if (entry.recordSize == record.size() && memcmp(entry.record, record.data(), record.size()) == 0) {
        return;
    }
    std::string what = "entry " + std::to_string(number) + " (\"" + utf16ToUtf8(listed.name) + "\")";
    if (entry.nameLength != listed.name.size() || memcmp(entry.name, record.data() + 2, 2 * entry.nameLength) != 0) {
        check.problem = what + " has another name in the cache index";
    } else if (entry.size != listed.size) {
        check.problem = what + " has " + std::to_string(listed.size) + " bytes, the cache index says " +
                        std::to_string(entry.size);
    } else {
        check.problem = what + " has other data than its digest in the cache index";
    }
}

}  // namespace

std::string defaultCacheId(const std::string &outputPath) {
    std::string name = lastComponent(outputPath);
    size_t stem = name.size() >= 4 ? name.size() - 4 : 0;
    std::string extension = name.substr(stem);
    for (char &c : extension) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return extension == ".exe" ? name.substr(0, stem) : name;
}

bool parseCacheId(const std::string &id, std::u16string &units, std::string &problem) {
    if (!utf8ToUtf16(id, units) || !isCacheApplicationId(units.data(), units.size())) {
        problem = "the application id \"" + id + "\" is not a safe folder name: 1 to " +
                  std::to_string(kCacheIdUnitLimit) + " ASCII letters, digits, '.', '-', '_' or blanks, starting "
                  "with a letter or digit, not ending in '.' or a blank, no device name (CON, NUL, COM1, ...)";
        return false;
    }
    return true;
}

bool buildCacheIndex(const std::u16string &id, const std::vector<StoredEntry> &entries, std::vector<uint8_t> &index,
                     std::string &error) {
    if (entries.empty() || entries.size() > kCacheIndexEntryLimit) {
        error = "the cache index takes 1 to " + std::to_string(kCacheIndexEntryLimit) + " entries, not " +
                std::to_string(entries.size()) + " (pack without --cache)";
        return false;
    }
    index.assign(kCacheIndexHeaderSize, 0);
    uint64_t dataSize = 0;
    for (const StoredEntry &entry : entries) {
        appendRecord(index, entry.name, entry.size, entry.digest);
        dataSize += entry.size;
    }
    Sha256 hash;
    startDigest(hash);
    sha256Add(hash, index.data() + kCacheIndexHeaderSize, index.size() - kCacheIndexHeaderSize);
    uint8_t digest[kSha256Size];
    sha256Finish(hash, digest);
    memcpy(index.data(), kCacheIndexMagic, sizeof kCacheIndexMagic);
    putNumber(&index[kCacheVersionOffset], kCacheIndexVersion, 2);
    putNumber(&index[kCacheHeaderSizeOffset], kCacheIndexHeaderSize, 2);
    putNumber(&index[kCacheIndexSizeOffset], index.size(), 4);
    putNumber(&index[kCacheEntryCountOffset], entries.size(), 4);
    putNumber(&index[kCacheDataSizeOffset], dataSize, 8);
    memcpy(&index[kCacheDigestOffset], digest, kSha256Size);
    char versionName[kCacheVersionNameSize];
    cacheVersionName(digest, versionName);
    memcpy(&index[kCacheVersionNameOffset], versionName, kCacheVersionNameSize);
    putNumber(&index[kCacheIdLengthOffset], id.size(), 2);
    for (size_t i = 0; i < id.size() && i < kCacheIdUnitLimit; ++i) {
        putNumber(&index[kCacheIdOffset + 2 * i], id[i], 2);
    }
    // What the launcher will refuse must never be written.
    CacheIndexHeader header;
    if (!parseCacheIndex(index.data(), index.size(), header)) {
        error = "the cache index does not hold what was packed (an entry name or the id out of bounds)";
        return false;
    }
    return true;
}

bool checkCacheIndex(const std::vector<uint8_t> &index, const std::vector<uint8_t> &container, std::string &error) {
    CacheIndexHeader header;
    if (!parseCacheIndex(index.data(), index.size(), header)) {
        error = "the cache index is damaged";
        return false;
    }
    IndexCheck check = {index, header, header.headerSize, 0, {}, ""};
    startDigest(check.digest);
    if (!listPayload(container, compareEntry, &check, error, true)) {
        return false;
    }
    uint8_t digest[kSha256Size];
    sha256Finish(check.digest, digest);
    if (check.problem.empty() && check.compared != header.entryCount) {
        check.problem = "the payload has " + std::to_string(check.compared) + " entries, the cache index " +
                        std::to_string(header.entryCount);
    }
    if (check.problem.empty() && memcmp(digest, header.digest, kSha256Size) != 0) {
        check.problem = "the cache index's digest " + hexadecimal(header.digest, kSha256Size) +
                        " is not the payload's " + hexadecimal(digest, kSha256Size);
    }
    if (!check.problem.empty()) {
        error = "the cache index does not match the payload: " + check.problem;
        return false;
    }
    return true;
}

std::string describeCacheIndex(const std::vector<uint8_t> &index) {
    CacheIndexHeader header;
    if (!parseCacheIndex(index.data(), index.size(), header)) {
        return "damaged";
    }
    std::u16string id(header.id, header.id + header.idLength);
    return "application id " + utf16ToUtf8(id) + ", version " + header.versionName + ", digest " +
           hexadecimal(header.digest, kSha256Size);
}
