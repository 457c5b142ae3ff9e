#include "packer/pe/program_face.h"

#include "packer/pe/application_manifest.h"
#include "packer/pe/execution_level.h"
#include "packer/pe/le_bytes.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/resource_tree.h"
#include "packer/pe/version_resource.h"

namespace {

constexpr size_t kGroupHeaderSize = 6;  // GRPICONDIR
constexpr size_t kGroupEntrySize = 14;  // GRPICONDIRENTRY, the RT_ICON id in its last two bytes
constexpr uint16_t kIconType = 1;

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

// The first resource of `typeId` (or the one with `id` when it is not 0), in
// its language `language` when it has that one and else in its first; nullptr
// when there is none.
const ResourceLanguage *findEntry(ResourceTree &tree, uint16_t typeId, uint16_t id, uint16_t language = 0) {
    ResourceType *type = findType(tree, integerId(typeId));
    ResourceName *name = nullptr;
    if (type && !type->names.empty()) {
        name = id == 0 ? &type->names[0] : findName(*type, integerId(id));
    }
    if (!name || name->languages.empty()) {
        return nullptr;
    }
    for (const ResourceLanguage &candidate : name->languages) {
        if (candidate.language == language) {
            return &candidate;
        }
    }
    return &name->languages[0];
}

bool readIcon(ResourceTree &tree, const ResourceLanguage &chosen, IconResources &icon, std::string &error) {
    const std::vector<uint8_t> &group = chosen.data;
    if (group.size() < kGroupHeaderSize || readU16(group, 0) != 0 || readU16(group, 2) != kIconType) {
        return fail(error, "its icon group is not an icon directory");
    }
    uint16_t count = readU16(group, 4);
    if (count == 0 || !fitsIn(group.size(), kGroupHeaderSize, size_t{count} * kGroupEntrySize)) {
        return fail(error, count == 0 ? "its icon group holds no image" : "its icon group runs past its end");
    }
    icon.group.assign(group.begin(), group.begin() + kGroupHeaderSize + size_t{count} * kGroupEntrySize);
    for (uint16_t i = 0; i < count; ++i) {
        size_t idAt = kGroupHeaderSize + size_t{i} * kGroupEntrySize + 12;
        uint16_t id = readU16(group, idAt);
        const ResourceLanguage *image = id == 0 ? nullptr : findEntry(tree, kResourceIcon, id, chosen.language);
        if (!image || image->data.empty()) {
            return fail(error, "its icon group names the image " + std::to_string(id) + ", which it lacks");
        }
        writeU16(icon.group, idAt, static_cast<uint16_t>(i + 1));
        icon.images.push_back(image->data);
    }
    return true;
}

}  // namespace

void readProgramFace(const std::vector<uint8_t> &image, ProgramFace &face, std::vector<std::string> &warnings) {
    face = ProgramFace();
    PeImage headers;
    ResourceTree tree;
    std::string error;
    if (!parsePeImage(image, headers, error)) {
        return;
    }
    face.subsystem = headers.subsystem;
    if (!parseResourceTree(image, headers, tree, error)) {
        warnings.push_back("its resources cannot be read (" + error + "): its icon, version resource and "
                           "execution level are not taken");
        return;
    }
    if (const ResourceLanguage *group = findEntry(tree, kResourceGroupIcon, 0)) {
        IconResources icon;
        if (readIcon(tree, *group, icon, error)) {
            face.icon = icon;
        } else {
            warnings.push_back(error + ": its icon is not taken");
        }
    }
    if (const ResourceLanguage *version = findEntry(tree, kResourceVersion, 1)) {
        VersionInfo info;
        if (parseVersionResource(version->data, info, error)) {
            face.version = version->data;
        } else {
            warnings.push_back("its version resource cannot be read (" + error + "): it is not taken");
        }
    }
    if (const ResourceLanguage *manifest = findEntry(tree, kResourceManifest, kProcessManifestId)) {
        if (!requestedExecutionLevel(manifest->data, face.executionLevel, error)) {
            face.executionLevel.clear();
            warnings.push_back("its manifest cannot be read (" + error + "): its execution level is not taken");
        }
    }
}
