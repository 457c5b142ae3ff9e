#include "packer/pe/resource_tree.h"

#include <algorithm>
#include <map>
#include <set>

#include "packer/pe/le_bytes.h"

namespace {

constexpr size_t kTableHeaderSize = 16;
constexpr size_t kEntrySize = 8;
constexpr size_t kDataEntrySize = 16;
constexpr uint32_t kHighBit = 0x80000000u;

// What parsing needs at every level; offsets are relative to the root table.
struct ParseState {
    const std::vector<uint8_t> &bytes;
    const PeImage &image;
    size_t base;   // file offset of the root table
    size_t limit;  // file bytes available from `base`
    std::set<uint32_t> visited;
    uint64_t dataTotal;
    std::string &error;
};

struct RawEntry {
    uint32_t name;
    uint32_t target;
};

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

bool malformed(ParseState &state, const std::string &problem) {
    return fail(state.error, "malformed resource directory: " + problem);
}

// Each table and data entry may be reached once: shared ones would let a
// small file describe an enormous tree.
bool firstVisit(ParseState &state, uint32_t offset) {
    return state.visited.insert(offset).second || malformed(state, "an entry at " + hexNumber(offset) + " is shared");
}

bool readTable(ParseState &state, uint32_t offset, std::vector<RawEntry> &entries) {
    if (!firstVisit(state, offset)) {
        return false;
    }
    if (!fitsIn(state.limit, offset, kTableHeaderSize)) {
        return malformed(state, "table at " + hexNumber(offset) + " lies outside the section");
    }
    size_t at = state.base + offset;
    size_t count = size_t{readU16(state.bytes, at + 12)} + readU16(state.bytes, at + 14);
    if (!fitsIn(state.limit, uint64_t{offset} + kTableHeaderSize, count * kEntrySize)) {
        return malformed(state, "the entries of the table at " + hexNumber(offset) + " run past the section");
    }
    entries.clear();
    for (size_t i = 0; i < count; ++i) {
        size_t entry = at + kTableHeaderSize + i * kEntrySize;
        entries.push_back({readU32(state.bytes, entry), readU32(state.bytes, entry + 4)});
    }
    return true;
}

bool readId(ParseState &state, uint32_t field, ResourceId &id) {
    id = ResourceId();
    if ((field & kHighBit) == 0) {
        if (field > 0xFFFF) {
            return malformed(state, "id " + hexNumber(field) + " does not fit 16 bits");
        }
        id.id = static_cast<uint16_t>(field);
        return true;
    }
    uint32_t offset = field & ~kHighBit;
    if (!fitsIn(state.limit, offset, 2)) {
        return malformed(state, "name at " + hexNumber(offset) + " lies outside the section");
    }
    size_t length = readU16(state.bytes, state.base + offset);
    if (!fitsIn(state.limit, uint64_t{offset} + 2, length * 2)) {
        return malformed(state, "name at " + hexNumber(offset) + " runs past the section");
    }
    id.named = true;
    for (size_t i = 0; i < length; ++i) {
        id.name.push_back(static_cast<char16_t>(readU16(state.bytes, state.base + offset + 2 + i * 2)));
    }
    return true;
}

bool readData(ParseState &state, uint32_t offset, ResourceLanguage &language) {
    if (!firstVisit(state, offset)) {
        return false;
    }
    if (!fitsIn(state.limit, offset, kDataEntrySize)) {
        return malformed(state, "data entry at " + hexNumber(offset) + " lies outside the section");
    }
    size_t at = state.base + offset;
    uint32_t rva = readU32(state.bytes, at);
    uint32_t size = readU32(state.bytes, at + 4);
    language.codepage = readU32(state.bytes, at + 8);
    size_t file = 0;
    if (!mapRvaRange(state.image, rva, size, file)) {
        return malformed(state, "data at RVA " + hexNumber(rva) + " (" + std::to_string(size) +
                                    " bytes) is not inside the file's data");
    }
    // Real resources never overlap, so they cannot add up to more than the
    // file; the limit keeps overlapping entries from exhausting memory.
    state.dataTotal += size;
    if (state.dataTotal > state.bytes.size()) {
        return malformed(state, "the resource data blocks overlap");
    }
    language.data.assign(state.bytes.begin() + file, state.bytes.begin() + file + size);
    return true;
}

// Reads the subdirectory an entry points at; only the two upper levels have them.
bool readSubtable(ParseState &state, const RawEntry &entry, std::vector<RawEntry> &entries) {
    if ((entry.target & kHighBit) == 0) {
        return malformed(state, "an entry above the language level has data instead of a table");
    }
    return readTable(state, entry.target & ~kHighBit, entries);
}

bool readName(ParseState &state, const RawEntry &entry, ResourceName &name) {
    std::vector<RawEntry> languages;
    if (!readId(state, entry.name, name.id) || !readSubtable(state, entry, languages)) {
        return false;
    }
    for (const RawEntry &raw : languages) {
        ResourceLanguage language;
        if ((raw.name & kHighBit) != 0) {
            return malformed(state, "a language entry has a name instead of an id");
        }
        if (raw.name > 0xFFFF || (raw.target & kHighBit) != 0) {
            return malformed(state, "a language entry is not a 16-bit id with data");
        }
        language.language = static_cast<uint16_t>(raw.name);
        if (!readData(state, raw.target, language)) {
            return false;
        }
        name.languages.push_back(std::move(language));
    }
    return true;
}

bool idLess(const ResourceId &a, const ResourceId &b) {
    if (a.named != b.named) {
        return a.named;
    }
    return a.named ? a.name < b.name : a.id < b.id;
}

// The tree in the order it is written, as pointers into the caller's tree.
struct SortedName {
    const ResourceName *key;
    std::vector<const ResourceLanguage *> languages;
};

struct SortedType {
    const ResourceType *key;
    std::vector<SortedName> names;
};

std::string idText(const ResourceId &id) {
    if (!id.named) {
        return std::to_string(id.id);
    }
    std::string text;
    for (char16_t unit : id.name) {
        text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return "\"" + text + "\"";
}

template <typename T>
bool sortById(std::vector<T> &items, const std::string &what, std::string &error) {
    std::sort(items.begin(), items.end(), [](const T &a, const T &b) { return idLess(a.key->id, b.key->id); });
    for (size_t i = 1; i < items.size(); ++i) {
        if (sameId(items[i - 1].key->id, items[i].key->id)) {
            return fail(error, "duplicate resource " + what + idText(items[i].key->id));
        }
    }
    return true;
}

bool sortTree(const ResourceTree &tree, std::vector<SortedType> &types, std::string &error) {
    for (const ResourceType &type : tree.types) {
        SortedType sortedType{&type, {}};
        for (const ResourceName &name : type.names) {
            SortedName sortedName{&name, {}};
            for (const ResourceLanguage &language : name.languages) {
                sortedName.languages.push_back(&language);
            }
            auto &languages = sortedName.languages;
            std::sort(languages.begin(), languages.end(),
                      [](const ResourceLanguage *a, const ResourceLanguage *b) { return a->language < b->language; });
            if (languages.size() > 0xFFFF) {
                return fail(error, "too many languages of resource " + idText(type.id) + "/" + idText(name.id));
            }
            for (size_t i = 1; i < languages.size(); ++i) {
                if (languages[i - 1]->language == languages[i]->language) {
                    return fail(error, "duplicate language " + hexNumber(languages[i]->language) + " of resource " +
                                           idText(type.id) + "/" + idText(name.id));
                }
            }
            sortedType.names.push_back(std::move(sortedName));
        }
        if (!sortById(sortedType.names, "name " + idText(type.id) + "/", error)) {
            return false;
        }
        types.push_back(std::move(sortedType));
    }
    return sortById(types, "type ", error);
}

// Writes a table header for entries with the given ids; named ones come first.
template <typename T>
bool writeTableHeader(std::vector<uint8_t> &section, uint64_t at, const std::vector<T> &items, std::string &error) {
    size_t named = std::count_if(items.begin(), items.end(), [](const T &item) { return item.key->id.named; });
    size_t numbered = items.size() - named;
    if (named > 0xFFFF || numbered > 0xFFFF) {
        return fail(error, "too many resources in one table");
    }
    writeU16(section, at + 12, static_cast<uint16_t>(named));
    writeU16(section, at + 14, static_cast<uint16_t>(numbered));
    return true;
}

}  // namespace

ResourceId integerId(uint16_t id) {
    ResourceId result;
    result.id = id;
    return result;
}

bool sameId(const ResourceId &a, const ResourceId &b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

ResourceType *findType(ResourceTree &tree, const ResourceId &id) {
    for (ResourceType &type : tree.types) {
        if (sameId(type.id, id)) {
            return &type;
        }
    }
    return nullptr;
}

ResourceName *findName(ResourceType &type, const ResourceId &id) {
    for (ResourceName &name : type.names) {
        if (sameId(name.id, id)) {
            return &name;
        }
    }
    return nullptr;
}

bool parseResourceTree(const std::vector<uint8_t> &bytes, const PeImage &image, ResourceTree &tree,
                       std::string &error) {
    tree = ResourceTree();
    PeDataDirectory directory = dataDirectory(image, kResourceDirectory);
    if (directory.rva == 0) {
        return true;
    }
    ParseState state{bytes, image, 0, 0, {}, 0, error};
    if (!mapRva(image, directory.rva, state.base, state.limit)) {
        return malformed(state, "RVA " + hexNumber(directory.rva) + " is not inside the file's data");
    }
    std::vector<RawEntry> types;
    if (!readTable(state, 0, types)) {
        return false;
    }
    for (const RawEntry &rawType : types) {
        ResourceType type;
        std::vector<RawEntry> names;
        if (!readId(state, rawType.name, type.id) || !readSubtable(state, rawType, names)) {
            return false;
        }
        for (const RawEntry &rawName : names) {
            ResourceName name;
            if (!readName(state, rawName, name)) {
                return false;
            }
            type.names.push_back(std::move(name));
        }
        tree.types.push_back(std::move(type));
    }
    return true;
}

bool serializeResourceTree(const ResourceTree &tree, uint32_t sectionRva, std::vector<uint8_t> &section,
                           std::string &error) {
    std::vector<SortedType> types;
    if (!sortTree(tree, types, error)) {
        return false;
    }
    // Layout: every table, then the strings, then the data entries, then the data.
    uint64_t offset = kTableHeaderSize + types.size() * kEntrySize;
    std::vector<uint64_t> typeTables;
    for (const SortedType &type : types) {
        typeTables.push_back(offset);
        offset += kTableHeaderSize + type.names.size() * kEntrySize;
    }
    std::vector<uint64_t> languageTables;
    size_t dataCount = 0;
    for (const SortedType &type : types) {
        for (const SortedName &name : type.names) {
            languageTables.push_back(offset);
            offset += kTableHeaderSize + name.languages.size() * kEntrySize;
            dataCount += name.languages.size();
        }
    }
    std::map<std::u16string, uint64_t> strings;
    auto placeString = [&](const ResourceId &id) {
        if (id.named && strings.emplace(id.name, offset).second) {
            offset += 2 + id.name.size() * 2;
        }
    };
    for (const SortedType &type : types) {
        placeString(type.key->id);
        for (const SortedName &name : type.names) {
            placeString(name.key->id);
        }
    }
    for (const auto &string : strings) {
        if (string.first.size() > 0xFFFF) {
            return fail(error, "a resource name is longer than 65535 characters");
        }
    }
    uint64_t dataEntries = alignUp(offset, 8);
    offset = dataEntries + dataCount * kDataEntrySize;
    // Offsets of tables, strings and data entries leave the top bit for a flag.
    if (offset >= kHighBit) {
        return fail(error, "too many resources for one resource section");
    }
    std::vector<uint64_t> dataOffsets;
    for (const SortedType &type : types) {
        for (const SortedName &name : type.names) {
            for (const ResourceLanguage *language : name.languages) {
                offset = alignUp(offset, 8);
                dataOffsets.push_back(offset);
                offset += language->data.size();
            }
        }
    }
    if (uint64_t{sectionRva} + offset > 0xFFFFFFFFu) {
        return fail(error, "the resources (" + std::to_string(offset) + " bytes from address " +
                               hexNumber(sectionRva) + ") reach beyond the " + std::to_string(0xFFFFFFFFu) +
                               " bytes a PE image can hold (its addresses and sizes have 32 bits)");
    }

    section.assign(offset, 0);
    for (const auto &string : strings) {
        writeU16(section, string.second, static_cast<uint16_t>(string.first.size()));
        for (size_t i = 0; i < string.first.size(); ++i) {
            writeU16(section, string.second + 2 + i * 2, string.first[i]);
        }
    }
    auto nameField = [&](const ResourceId &id) {
        return id.named ? kHighBit | static_cast<uint32_t>(strings[id.name]) : uint32_t{id.id};
    };
    if (!writeTableHeader(section, 0, types, error)) {
        return false;
    }
    size_t languageTable = 0;
    size_t data = 0;
    for (size_t t = 0; t < types.size(); ++t) {
        const SortedType &type = types[t];
        uint64_t typeEntry = kTableHeaderSize + t * kEntrySize;
        writeU32(section, typeEntry, nameField(type.key->id));
        writeU32(section, typeEntry + 4, kHighBit | static_cast<uint32_t>(typeTables[t]));
        if (!writeTableHeader(section, typeTables[t], type.names, error)) {
            return false;
        }
        for (size_t n = 0; n < type.names.size(); ++n, ++languageTable) {
            const SortedName &name = type.names[n];
            uint64_t nameEntry = typeTables[t] + kTableHeaderSize + n * kEntrySize;
            uint64_t table = languageTables[languageTable];
            writeU32(section, nameEntry, nameField(name.key->id));
            writeU32(section, nameEntry + 4, kHighBit | static_cast<uint32_t>(table));
            writeU16(section, table + 14, static_cast<uint16_t>(name.languages.size()));
            for (size_t l = 0; l < name.languages.size(); ++l, ++data) {
                const ResourceLanguage &language = *name.languages[l];
                uint64_t languageEntry = table + kTableHeaderSize + l * kEntrySize;
                uint64_t dataEntry = dataEntries + data * kDataEntrySize;
                writeU32(section, languageEntry, language.language);
                writeU32(section, languageEntry + 4, static_cast<uint32_t>(dataEntry));
                writeU32(section, dataEntry, sectionRva + static_cast<uint32_t>(dataOffsets[data]));
                writeU32(section, dataEntry + 4, static_cast<uint32_t>(language.data.size()));
                writeU32(section, dataEntry + 8, language.codepage);
                std::copy(language.data.begin(), language.data.end(), section.begin() + dataOffsets[data]);
            }
        }
    }
    return true;
}
