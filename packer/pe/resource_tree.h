#pragma once
// The resources of an image as a plain three-level tree (type, name, language),
// read from a resource directory and written back as a new resource section.
#include <stdint.h>

#include <string>
#include <vector>

#include "packer/pe/pe_image.h"

constexpr uint16_t kResourceIcon = 3;        // RT_ICON
constexpr uint16_t kResourceGroupIcon = 14;  // RT_GROUP_ICON
constexpr uint16_t kLanguageEnglishUs = 0x0409;

// A type or a name: an integer id, or a UTF-16 string when `named`.
struct ResourceId {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;
};

struct ResourceLanguage {
    uint16_t language = 0;
    uint32_t codepage = 0;
    std::vector<uint8_t> data;
};

struct ResourceName {
    ResourceId id;
    std::vector<ResourceLanguage> languages;
};

struct ResourceType {
    ResourceId id;
    std::vector<ResourceName> names;
};

// Entries keep the order of the source; writing sorts them.
struct ResourceTree {
    std::vector<ResourceType> types;
};

ResourceId integerId(uint16_t id);
bool sameId(const ResourceId &a, const ResourceId &b);

// The entry with that id, or nullptr.
ResourceType *findType(ResourceTree &tree, const ResourceId &id);
ResourceName *findName(ResourceType &type, const ResourceId &id);

// Reads the tree under the image's resource data directory; an image without
// one gives an empty tree. Every table, string and data block is checked
// against the file, and tables may not be shared between entries.
bool parseResourceTree(const std::vector<uint8_t> &bytes, const PeImage &image, ResourceTree &tree,
                       std::string &error);

// Writes `tree` as the contents of a resource section that will be loaded at
// `sectionRva`: all directory tables (named entries first, by name, then ids
// ascending), then the name strings, then the data entries, then the data,
// each block 8-byte aligned. Fails on duplicate ids or languages, on more
// entries than a table can count, or on a section that would not fit in the
// 32-bit address space.
bool serializeResourceTree(const ResourceTree &tree, uint32_t sectionRva, std::vector<uint8_t> &section,
                           std::string &error);
