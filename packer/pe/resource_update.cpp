#include "packer/pe/resource_update.h"

#include <algorithm>

#include "format/cache_index.h"
#include "format/launcher_settings.h"
#include "packer/pe/execution_level.h"
#include "packer/pe/le_bytes.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/resource_tree.h"

namespace {

constexpr size_t kNoSection = static_cast<size_t>(-1);
constexpr size_t kDebugEntrySize = 28;
constexpr uint32_t kMaxImageAddress = 0xFFFFFFFFu;
const char kNewSectionName[] = ".rsrc";

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

// Which sections keep their place, which move, and where the resources are.
struct Layout {
    size_t keptCount = 0;           // sections [0, keptCount) stay where they are
    std::vector<size_t> moved;      // sections that move to just after the kept ones
    size_t resources = kNoSection;  // the existing resource section, or kNoSection to add one
};

// A section header as it will be written, and the header it starts from.
struct PlacedSection {
    size_t source;  // index in the stub, or kNoSection for a new one
    PeSection header;
};

ResourceType &typeWithId(ResourceTree &tree, uint16_t id) {
    if (ResourceType *type = findType(tree, integerId(id))) {
        return *type;
    }
    tree.types.push_back(ResourceType{integerId(id), {}});
    return tree.types.back();
}

void removeType(ResourceTree &tree, uint16_t id) {
    tree.types.erase(std::remove_if(tree.types.begin(), tree.types.end(),
                                    [&](const ResourceType &type) { return sameId(type.id, integerId(id)); }),
                     tree.types.end());
}

// Makes `data` the one entry of `type`/`id`, replacing all its languages: it
// keeps the language of a single existing entry and gets 0x0409 otherwise.
void replaceResource(ResourceTree &tree, uint16_t typeId, uint16_t id, const std::vector<uint8_t> &data) {
    ResourceType &type = typeWithId(tree, typeId);
    uint16_t language = kLanguageEnglishUs;
    auto existing = std::find_if(type.names.begin(), type.names.end(),
                                 [&](const ResourceName &name) { return sameId(name.id, integerId(id)); });
    if (existing != type.names.end()) {
        if (existing->languages.size() == 1) {
            language = existing->languages[0].language;
        }
        type.names.erase(existing);
    }
    type.names.push_back(ResourceName{integerId(id), {ResourceLanguage{language, 0, data}}});
}

// The application's version resource takes the stub's translation, so that
// it reads the same wherever the stub's did; one the stub lacks, or that
// cannot be read, gets the resource's language and UTF-16.
bool replaceVersion(ResourceTree &tree, VersionInfo info, std::string &error) {
    info.language = kLanguageEnglishUs;
    info.codepage = kCodePageUnicode;
    ResourceType *type = findType(tree, integerId(kResourceVersion));
    ResourceName *name = type ? findName(*type, integerId(1)) : nullptr;
    if (name && name->languages.size() == 1) {
        info.language = name->languages[0].language;
        VersionInfo stubs;
        std::string unreadable;  // replaced all the same
        if (parseVersionResource(name->languages[0].data, stubs, unreadable) && !stubs.strings.empty()) {
            info.language = stubs.language;
            info.codepage = stubs.codepage;
        }
    }
    std::vector<uint8_t> data;
    if (!buildVersionResource(info, data, error)) {
        return false;
    }
    replaceResource(tree, kResourceVersion, 1, data);
    return true;
}

// The languages of the manifest, or nullptr when the stub has none.
std::vector<ResourceLanguage> *manifests(ResourceTree &tree) {
    ResourceType *type = findType(tree, integerId(kResourceManifest));
    ResourceName *name = type ? findName(*type, integerId(kProcessManifestId)) : nullptr;
    return name && !name->languages.empty() ? &name->languages : nullptr;
}

bool setManifestLevel(ResourceTree &tree, const std::string &level, std::string &error) {
    std::vector<ResourceLanguage> *languages = manifests(tree);
    if (!languages) {
        return fail(error, "the stub has no manifest (RT_MANIFEST 1) whose execution level could be set");
    }
    for (ResourceLanguage &manifest : *languages) {
        if (!setExecutionLevel(manifest.data, level, error)) {
            return fail(error, error + "; the stub's manifest must name the level to change");
        }
    }
    return true;
}

bool setManifestSettings(ResourceTree &tree, const ManifestSettings &settings, std::string &error) {
    std::vector<ResourceLanguage> *languages = manifests(tree);
    if (!languages) {
        return fail(error, "the stub has no manifest (RT_MANIFEST 1) to add settings to");
    }
    for (ResourceLanguage &manifest : *languages) {
        if (!addManifestSettings(manifest.data, settings, error)) {
            return false;
        }
    }
    return true;
}

bool applyChanges(ResourceTree &tree, const ResourceChanges &changes, std::string &error) {
    if (changes.icon) {
        removeType(tree, kResourceGroupIcon);
        removeType(tree, kResourceIcon);
        typeWithId(tree, kResourceGroupIcon)
            .names.push_back(ResourceName{integerId(1), {ResourceLanguage{kLanguageEnglishUs, 0, changes.icon->group}}});
        ResourceType &icons = typeWithId(tree, kResourceIcon);
        for (size_t i = 0; i < changes.icon->images.size(); ++i) {
            icons.names.push_back(ResourceName{integerId(static_cast<uint16_t>(i + 1)),
                                               {ResourceLanguage{kLanguageEnglishUs, 0, changes.icon->images[i]}}});
        }
    }
    if (changes.version && !replaceVersion(tree, *changes.version, error)) {
        return false;
    }
    if (changes.versionResource) {
        replaceResource(tree, kResourceVersion, 1, *changes.versionResource);
    }
    if (changes.manifest) {
        replaceResource(tree, kResourceManifest, kProcessManifestId, *changes.manifest);
    }
    if (!changes.executionLevel.empty() && !setManifestLevel(tree, changes.executionLevel, error)) {
        return false;
    }
    bool settingsAsked = changes.manifestSettings.visualStyles ||
                         changes.manifestSettings.dpiAwareness != DpiAwareness::None;
    if (settingsAsked && !setManifestSettings(tree, changes.manifestSettings, error)) {
        return false;
    }
    if (!changes.settings.empty()) {
        replaceResource(tree, kSettingsResourceType, kSettingsResourceId, changes.settings);
    }
    if (!changes.cacheIndex.empty()) {
        replaceResource(tree, kCacheIndexResourceType, kCacheIndexResourceId, changes.cacheIndex);
    } else if (ResourceType *type = findType(tree, integerId(kCacheIndexResourceType))) {
        type->names.erase(std::remove_if(type->names.begin(), type->names.end(),
                                         [](const ResourceName &name) {
                                             return sameId(name.id, integerId(kCacheIndexResourceId));
                                         }),
                          type->names.end());
    }
    replaceResource(tree, kPayloadResourceType, kPayloadResourceId, changes.payload);
    return true;
}

// A section can move when it holds nothing but base relocations: they name
// addresses in other sections, never their own.
bool isBaseRelocationSection(const PeImage &image, size_t index) {
    PeDataDirectory relocations = dataDirectory(image, kBaseRelocationDirectory);
    const PeSection &section = image.sections[index];
    return relocations.rva != 0 && relocations.rva == section.virtualAddress &&
           relocations.size >= section.virtualSize && relocations.size <= virtualExtent(section);
}

bool inTail(const PeImage &image, size_t tailStart, uint32_t rva) {
    int index = sectionContaining(image, rva);
    return index >= 0 && static_cast<size_t>(index) >= tailStart;
}

// Nothing may refer to the sections that are rewritten or moved, except the
// resource and base-relocation directories the update rewrites.
bool checkTailUnreferenced(const std::vector<uint8_t> &stub, const PeImage &image, size_t tailStart,
                           std::string &error) {
    for (size_t i = 0; i < image.dataDirectories.size(); ++i) {
        const PeDataDirectory &directory = image.dataDirectories[i];
        if (i == kSecurityDirectory || directory.rva == 0) {
            continue;
        }
        // A directory that starts before the tail may still reach into it.
        uint32_t last = directory.rva + (directory.size != 0 ? directory.size - 1 : 0);
        int index = std::max(sectionContaining(image, directory.rva),
                             last >= directory.rva ? sectionContaining(image, last) : -1);
        if (index < 0 || static_cast<size_t>(index) < tailStart) {
            continue;
        }
        bool rewritten = i == kResourceDirectory && static_cast<size_t>(index) == tailStart;
        bool relocations = i == kBaseRelocationDirectory && static_cast<size_t>(index) > tailStart;
        if (!rewritten && !relocations) {
            return fail(error, "data directory " + std::to_string(i) + " points into section " +
                                   image.sections[index].name + ", which the update would rewrite or move");
        }
    }
    PeDataDirectory debug = dataDirectory(image, kDebugDirectory);
    size_t at = 0;
    if (debug.rva != 0 && !mapRvaRange(image, debug.rva, debug.size, at)) {
        return fail(error, "the debug directory is not inside the file's data");
    }
    for (size_t entry = 0; debug.rva != 0 && entry + kDebugEntrySize <= debug.size; entry += kDebugEntrySize) {
        uint32_t address = readU32(stub, at + entry + 20);
        uint32_t pointer = readU32(stub, at + entry + 24);
        bool tailFile = false;
        for (size_t s = tailStart; s < image.sections.size(); ++s) {
            const PeSection &section = image.sections[s];
            tailFile = tailFile || (pointer >= section.pointerToRawData &&
                                    pointer - section.pointerToRawData < section.sizeOfRawData);
        }
        if ((address != 0 && inTail(image, tailStart, address)) || (pointer != 0 && tailFile)) {
            return fail(error, "debug data lies in a section the update would rewrite or move");
        }
    }
    PeDataDirectory relocations = dataDirectory(image, kBaseRelocationDirectory);
    if (relocations.rva == 0) {
        return true;
    }
    if (!mapRvaRange(image, relocations.rva, relocations.size, at)) {
        return fail(error, "the base relocations are not inside the file's data");
    }
    for (size_t block = 0; block + 8 <= relocations.size;) {
        uint32_t page = readU32(stub, at + block);
        uint32_t blockSize = readU32(stub, at + block + 4);
        if (blockSize < 8 || blockSize > relocations.size - block) {
            return fail(error, "malformed base relocations (block at " + hexNumber(block) + ")");
        }
        for (size_t entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
            uint16_t value = readU16(stub, at + entry);
            // Type 0 entries only pad a block to a 4-byte boundary.
            if ((value >> 12) != 0 && inTail(image, tailStart, page + (value & 0xFFF))) {
                return fail(error, "base relocations patch a section the update would rewrite or move");
            }
        }
        block += blockSize;
    }
    return true;
}

bool planLayout(const std::vector<uint8_t> &stub, const PeImage &image, Layout &layout, std::string &error) {
    const std::vector<PeSection> &sections = image.sections;
    for (size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].virtualAddress < uint64_t{sections[i - 1].virtualAddress} + virtualExtent(sections[i - 1])) {
            return fail(error, "the section headers are not in ascending address order");
        }
    }
    PeDataDirectory resources = dataDirectory(image, kResourceDirectory);
    if (resources.rva == 0) {
        layout.keptCount = sections.size();
        return true;
    }
    int index = sectionContaining(image, resources.rva);
    if (index < 0) {
        return fail(error, "the resource directory is not inside any section");
    }
    if (sections[index].virtualAddress != resources.rva) {
        return fail(error, "the resource directory does not start section " + sections[index].name +
                               ", so the section holds other data");
    }
    layout.keptCount = static_cast<size_t>(index);
    layout.resources = static_cast<size_t>(index);
    for (size_t i = layout.keptCount + 1; i < sections.size(); ++i) {
        if (!isBaseRelocationSection(image, i)) {
            return fail(error, "section " + sections[i].name +
                                   " follows the resource section; only a base-relocation section can be moved");
        }
        layout.moved.push_back(i);
    }
    return checkTailUnreferenced(stub, image, layout.keptCount, error);
}

// The new section header goes right after the table, in space the headers
// already have and that nothing uses.
bool checkRoomForHeader(const std::vector<uint8_t> &stub, const PeImage &image, std::string &error) {
    size_t slot = image.sectionTableOffset + image.sections.size() * kSectionHeaderSize;
    uint64_t limit = image.sizeOfHeaders;
    for (const PeSection &section : image.sections) {
        if (section.sizeOfRawData != 0) {
            limit = std::min<uint64_t>(limit, section.pointerToRawData);
        }
    }
    if (image.sections.size() >= 0xFFFF || slot + kSectionHeaderSize > limit ||
        std::any_of(stub.begin() + slot, stub.begin() + slot + kSectionHeaderSize, [](uint8_t b) { return b != 0; })) {
        return fail(error, "the stub has no resources and no room in its headers for another section header");
    }
    return true;
}

// The image being written and where its next section goes.
struct Output {
    std::vector<uint8_t> &bytes;
    uint64_t raw;      // file offset
    uint64_t address;  // RVA
    int64_t initializedData;
    std::vector<PlacedSection> placed;  // headers after the kept ones
};

// Copies the headers and the kept sections byte for byte.
void startOutput(const std::vector<uint8_t> &stub, const PeImage &image, const Layout &layout, Output &output) {
    for (size_t i = 0; i < layout.keptCount; ++i) {
        const PeSection &section = image.sections[i];
        if (section.sizeOfRawData != 0) {
            output.raw = std::max<uint64_t>(output.raw, uint64_t{section.pointerToRawData} + section.sizeOfRawData);
        }
        output.address = std::max<uint64_t>(output.address, uint64_t{section.virtualAddress} + virtualExtent(section));
    }
    output.raw = alignUp(output.raw, image.fileAlignment);
    output.address = alignUp(output.address, image.sectionAlignment);
    output.bytes.assign(stub.begin(), stub.begin() + std::min<uint64_t>(output.raw, stub.size()));
    output.bytes.resize(output.raw, 0);
}

// Appends a section unchanged at the next free place; returns how far its
// address moved.
uint32_t moveSection(const std::vector<uint8_t> &stub, const PeImage &image, size_t index, Output &output) {
    const PeSection &source = image.sections[index];
    PeSection header = source;
    header.virtualAddress = static_cast<uint32_t>(output.address);
    header.pointerToRawData = source.sizeOfRawData != 0 ? static_cast<uint32_t>(output.raw) : 0;
    header.sizeOfRawData = static_cast<uint32_t>(alignUp(source.sizeOfRawData, image.fileAlignment));
    output.bytes.insert(output.bytes.end(), stub.begin() + source.pointerToRawData,
                        stub.begin() + source.pointerToRawData + source.sizeOfRawData);
    output.bytes.resize(output.bytes.size() + (header.sizeOfRawData - source.sizeOfRawData), 0);
    if (source.characteristics & kSectionInitializedData) {
        output.initializedData += int64_t{header.sizeOfRawData} - source.sizeOfRawData;
    }
    output.raw += header.sizeOfRawData;
    output.address = alignUp(output.address + virtualExtent(header), image.sectionAlignment);
    output.placed.push_back({index, header});
    return header.virtualAddress - source.virtualAddress;
}

// Rewrites the headers after the kept ones: moved sections keep their other
// fields, and a new section gets its name, flags and a count that includes it.
void writeSectionTable(const std::vector<uint8_t> &stub, const PeImage &image, size_t keptCount,
                       const std::vector<PlacedSection> &placed, std::vector<uint8_t> &out) {
    for (size_t i = 0; i < placed.size(); ++i) {
        size_t at = image.sectionTableOffset + (keptCount + i) * kSectionHeaderSize;
        const PeSection &header = placed[i].header;
        if (placed[i].source != kNoSection) {
            size_t from = image.sectionTableOffset + placed[i].source * kSectionHeaderSize;
            std::copy(stub.begin() + from, stub.begin() + from + kSectionHeaderSize, out.begin() + at);
        } else {
            std::fill(out.begin() + at, out.begin() + at + kSectionHeaderSize, 0);
            std::copy(header.name.begin(), header.name.end(), out.begin() + at);
            writeU32(out, at + 36, header.characteristics);
            writeU16(out, image.coffHeaderOffset + 2, static_cast<uint16_t>(image.sections.size() + 1));
        }
        writeU32(out, at + 8, header.virtualSize);
        writeU32(out, at + 12, header.virtualAddress);
        writeU32(out, at + 16, header.sizeOfRawData);
        writeU32(out, at + 20, header.pointerToRawData);
    }
}

// SizeOfImage, addresses and file offsets of a PE image are 32-bit fields.
std::string tooLarge(uint64_t end, const ResourceChanges &changes) {
    return "with a payload of " + std::to_string(changes.payload.size()) + " bytes the image would reach " +
           std::to_string(end) + " bytes, beyond the " + std::to_string(kMaxImageAddress) +
           " a PE image can hold (its sizes and addresses have 32 bits)";
}

}  // namespace

bool updateResources(const std::vector<uint8_t> &stub, const ResourceChanges &changes, std::vector<uint8_t> &out,
                     std::string &error) {
    out.clear();
    PeImage image;
    if (!parsePeImage(stub, image, error)) {
        return false;
    }
    if (dataDirectory(image, kSecurityDirectory).size != 0) {
        return fail(error, "the stub carries an Authenticode signature; use an unsigned stub and sign after packing");
    }
    uint64_t dataEnd = endOfSectionData(image);
    if (dataEnd < stub.size()) {
        return fail(error, "the stub has " + std::to_string(stub.size() - dataEnd) +
                               " bytes after its last section (overlay data such as a symbol table), which the "
                               "update would not keep; use a stripped stub without appended data");
    }
    if (image.dataDirectories.size() <= kResourceDirectory) {
        return fail(error, "the stub's optional header has no resource data directory");
    }
    ResourceTree tree;
    Layout layout;
    if (!parseResourceTree(stub, image, tree, error) || !planLayout(stub, image, layout, error)) {
        return false;
    }
    if (layout.resources == kNoSection && !checkRoomForHeader(stub, image, error)) {
        return false;
    }
    if (!applyChanges(tree, changes, error)) {
        return false;
    }

    Output output{out, image.sizeOfHeaders, image.sizeOfHeaders, image.sizeOfInitializedData, {}};
    startOutput(stub, image, layout, output);
    uint32_t relocationShift = 0;
    for (size_t index : layout.moved) {
        relocationShift = moveSection(stub, image, index, output);
    }
    PeSection resources;
    if (layout.resources != kNoSection) {
        resources = image.sections[layout.resources];
        if (resources.characteristics & kSectionInitializedData) {
            output.initializedData -= resources.sizeOfRawData;
        }
    } else {
        resources.name = kNewSectionName;
        resources.characteristics = kSectionInitializedData | kSectionMemoryRead;
    }
    std::vector<uint8_t> section;
    if (output.address > kMaxImageAddress) {
        return fail(error, tooLarge(output.address, changes));
    }
    if (!serializeResourceTree(tree, static_cast<uint32_t>(output.address), section, error)) {
        return false;
    }
    uint64_t imageEnd = alignUp(output.address + section.size(), image.sectionAlignment);
    uint64_t rawSize = alignUp(section.size(), image.fileAlignment);
    if (imageEnd > kMaxImageAddress || output.raw + rawSize > kMaxImageAddress) {
        return fail(error, tooLarge(std::max(imageEnd, output.raw + rawSize), changes));
    }
    resources.virtualAddress = static_cast<uint32_t>(output.address);
    resources.virtualSize = static_cast<uint32_t>(section.size());
    resources.pointerToRawData = static_cast<uint32_t>(output.raw);
    resources.sizeOfRawData = static_cast<uint32_t>(rawSize);
    if (resources.characteristics & kSectionInitializedData) {
        output.initializedData += resources.sizeOfRawData;
    }
    out.insert(out.end(), section.begin(), section.end());
    out.resize(output.raw + rawSize, 0);
    output.placed.push_back({layout.resources, resources});
    writeSectionTable(stub, image, layout.keptCount, output.placed, out);

    size_t directories = image.dataDirectoryOffset;
    writeU32(out, directories + kResourceDirectory * kDataDirectorySize, resources.virtualAddress);
    writeU32(out, directories + kResourceDirectory * kDataDirectorySize + 4, resources.virtualSize);
    if (!layout.moved.empty()) {
        size_t at = directories + kBaseRelocationDirectory * kDataDirectorySize;
        writeU32(out, at, readU32(out, at) + relocationShift);
    }
    size_t optional = image.optionalHeaderOffset;
    writeU32(out, optional + kOptSizeOfImage, static_cast<uint32_t>(imageEnd));
    writeU32(out, optional + kOptSizeOfInitializedData,
             static_cast<uint32_t>(std::clamp<int64_t>(output.initializedData, 0, kMaxImageAddress)));
    if (changes.subsystem) {
        writeU16(out, optional + kOptSubsystem, *changes.subsystem);
    }
    writeU32(out, optional + kOptCheckSum, peChecksum(out, optional + kOptCheckSum));
    return true;
}
