#include "packer/pe/icon_file.h"

#include <algorithm>

#include "packer/pe/le_bytes.h"

namespace {

constexpr size_t kIconDirSize = 6;
constexpr size_t kIconDirEntrySize = 16;
constexpr size_t kGroupEntrySize = 14;
constexpr uint16_t kIconType = 1;  // 2 would be a cursor

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

}  // namespace

bool parseIconFile(const std::vector<uint8_t> &bytes, IconResources &icon, std::string &error) {
    icon = IconResources();
    if (bytes.size() < kIconDirSize || readU16(bytes, 0) != 0 || readU16(bytes, 2) != kIconType) {
        return fail(error, "not an icon file (no icon directory header)");
    }
    uint16_t count = readU16(bytes, 4);
    if (count == 0) {
        return fail(error, "the icon file holds no images");
    }
    if (!fitsIn(bytes.size(), kIconDirSize, size_t{count} * kIconDirEntrySize)) {
        return fail(error, "truncated: the icon directory runs past the end of the file");
    }
    icon.group.assign(kIconDirSize + size_t{count} * kGroupEntrySize, 0);
    writeU16(icon.group, 2, kIconType);
    writeU16(icon.group, 4, count);
    for (uint16_t i = 0; i < count; ++i) {
        size_t entry = kIconDirSize + size_t{i} * kIconDirEntrySize;
        uint32_t size = readU32(bytes, entry + 8);
        uint32_t offset = readU32(bytes, entry + 12);
        if (size == 0 || !fitsIn(bytes.size(), offset, size)) {
            return fail(error, "icon image " + std::to_string(i + 1) + " runs past the end of the file");
        }
        // Width, height, colours, reserved, planes, bit count and byte count
        // carry over unchanged; the file offset becomes the RT_ICON id.
        size_t group = kIconDirSize + size_t{i} * kGroupEntrySize;
        std::copy(bytes.begin() + entry, bytes.begin() + entry + 12, icon.group.begin() + group);
        writeU16(icon.group, group + 12, static_cast<uint16_t>(i + 1));
        icon.images.emplace_back(bytes.begin() + offset, bytes.begin() + offset + size);
    }
    return true;
}
