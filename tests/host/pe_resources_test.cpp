#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "format/launcher_settings.h"
#include "format/version.h"
#include "packer/pe/application_manifest.h"
#include "packer/pe/dll_check.h"
#include "packer/pe/execution_level.h"
#include "packer/pe/icon_file.h"
#include "packer/pe/manifest_xml.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/pe_imports.h"
#include "packer/pe/program_face.h"
#include "packer/pe/resource_find.h"
#include "packer/pe/resource_tree.h"
#include "packer/pe/resource_update.h"
#include "packer/pe/version_resource.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    EXPECT_TRUE(stream) << path;
    return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

Bytes windowsBinary(const std::string &name) {
    return readFile(std::string(ZELMOR_WINDOWS_BIN) + "/" + name);
}

const Bytes &stub() {
    static const Bytes bytes = windowsBinary("zelmor-launcher.exe");
    return bytes;
}

Bytes randomBytes(size_t count, uint64_t seed) {
    std::mt19937_64 generator(seed);
    Bytes bytes(count);
    for (size_t i = 0; i < count; i += 8) {
        uint64_t value = generator();
        for (size_t j = 0; j < 8 && i + j < count; ++j) {
            bytes[i + j] = static_cast<uint8_t>(value >> (8 * j));
        }
    }
    return bytes;
}

// Header access written here rather than taken from the library, so that the
// layout checks do not trust the code they check.
uint32_t u16(const Bytes &b, size_t at) {
    return b[at] | b[at + 1] << 8;
}

uint32_t u32(const Bytes &b, size_t at) {
    return u16(b, at) | u16(b, at + 2) << 16;
}

void put32(Bytes &b, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void put16(Bytes &b, size_t at, uint32_t value) {
    b[at] = static_cast<uint8_t>(value);
    b[at + 1] = static_cast<uint8_t>(value >> 8);
}

// A stub whose PE headers and section table lie inside its resource
// section's data, beyond SizeOfHeaders (0x200): e_lfanew 0x800, .text at raw
// 0x200, .rsrc at raw 0x400 of 0x1000 bytes holding an empty resource root.
// tests/fuzz/corpus/fuzz_pe_writer seeds the writer's fuzzer with it.
Bytes craftedStub() {
    Bytes b(0x1400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x800);
    put32(b, 0x800, 0x00004550);  // "PE\0\0"
    put16(b, 0x804, 0x8664);
    put16(b, 0x806, 2);       // sections
    put16(b, 0x814, 0xF0);    // optional header size
    put16(b, 0x816, 0x0022);  // executable, large-address aware
    size_t optional = 0x818;
    put16(b, optional, 0x20B);
    put32(b, optional + 16, 0x1000);  // entry point
    put32(b, optional + 24, 0x40000000);
    put32(b, optional + 32, 0x1000);  // section alignment
    put32(b, optional + 36, 0x200);   // file alignment
    put16(b, optional + 48, 6);       // subsystem version
    put32(b, optional + 56, 0x3000);  // SizeOfImage
    put32(b, optional + 60, 0x200);   // SizeOfHeaders
    put16(b, optional + 68, 2);       // GUI
    put32(b, optional + 108, 16);     // data directories
    put32(b, optional + 112 + 2 * 8, 0x2000);
    put32(b, optional + 112 + 2 * 8 + 4, 0x10);
    const struct {
        const char *name;
        uint32_t address, raw, size, flags;
    } sections[] = {{".text", 0x1000, 0x200, 0x200, 0x60000020}, {".rsrc", 0x2000, 0x400, 0x1000, 0x40000040}};
    for (size_t i = 0; i < 2; ++i) {
        size_t at = optional + 0xF0 + 40 * i;
        std::copy(sections[i].name, sections[i].name + strlen(sections[i].name), b.begin() + at);
        put32(b, at + 8, sections[i].size);
        put32(b, at + 12, sections[i].address);
        put32(b, at + 16, sections[i].size);
        put32(b, at + 20, sections[i].raw);
        put32(b, at + 36, sections[i].flags);
    }
    return b;
}

uint64_t roundUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

struct Headers {
    size_t optional;
    size_t sections;
    unsigned count;
};

Headers headersOf(const Bytes &image) {
    size_t pe = u32(image, 0x3C);
    return {pe + 24, pe + 24 + u16(image, pe + 20), u16(image, pe + 6)};
}

size_t directoryAt(const Headers &headers, int index) {
    return headers.optional + 112 + 8 * index;
}

size_t sectionAt(const Headers &headers, unsigned index) {
    return headers.sections + 40 * index;
}

std::string sectionName(const Bytes &image, size_t header) {
    return std::string(reinterpret_cast<const char *>(&image[header]), 8).c_str();
}

uint32_t referenceChecksum(Bytes file, size_t field) {
    size_t length = file.size();
    std::fill(file.begin() + field, file.begin() + field + 4, 0);
    file.push_back(0);
    uint64_t sum = 0;
    for (size_t i = 0; i + 1 < file.size(); i += 2) {
        sum += u16(file, i);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint32_t>(sum + length);
}

// The packed image must look like a linker made it: sections contiguous and
// aligned, the resources last, no trailing bytes, and matching header fields.
void expectSaneLayout(const Bytes &image) {
    Headers headers = headersOf(image);
    uint32_t sectionAlignment = u32(image, headers.optional + 32);
    uint32_t fileAlignment = u32(image, headers.optional + 36);
    uint64_t nextAddress = roundUp(u32(image, headers.optional + 60), sectionAlignment);
    uint64_t nextRaw = 0;
    for (unsigned i = 0; i < headers.count; ++i) {
        size_t at = sectionAt(headers, i);
        uint32_t virtualSize = u32(image, at + 8), address = u32(image, at + 12);
        uint32_t rawSize = u32(image, at + 16), pointer = u32(image, at + 20);
        EXPECT_EQ(address, nextAddress) << sectionName(image, at) << " does not follow its predecessor";
        nextAddress = roundUp(address + std::max(virtualSize, rawSize), sectionAlignment);
        if (rawSize != 0) {
            EXPECT_EQ(pointer % fileAlignment, 0u) << sectionName(image, at);
            EXPECT_EQ(rawSize % fileAlignment, 0u) << sectionName(image, at);
            EXPECT_GE(pointer, nextRaw) << sectionName(image, at) << " overlaps its predecessor";
            nextRaw = uint64_t{pointer} + rawSize;
        }
    }
    EXPECT_EQ(image.size(), nextRaw) << "bytes after the last section";
    EXPECT_EQ(u32(image, headers.optional + 56), nextAddress) << "SizeOfImage";
    size_t last = sectionAt(headers, headers.count - 1);
    EXPECT_EQ(sectionName(image, last), ".rsrc");
    EXPECT_EQ(u32(image, directoryAt(headers, 2)), u32(image, last + 12));
    EXPECT_EQ(u32(image, directoryAt(headers, 2) + 4), u32(image, last + 8));
    uint32_t relocations = u32(image, directoryAt(headers, 5));
    for (unsigned i = 0; i < headers.count; ++i) {
        if (sectionName(image, sectionAt(headers, i)) == ".reloc") {
            EXPECT_EQ(relocations, u32(image, sectionAt(headers, i) + 12)) << "base relocations left behind";
        }
    }
    EXPECT_EQ(u32(image, headers.optional + 64), referenceChecksum(image, headers.optional + 64));
}

Bytes pack(const Bytes &base, const Bytes &payload) {
    ResourceChanges changes;
    changes.payload = payload;
    Bytes out;
    std::string error;
    EXPECT_TRUE(updateResources(base, changes, out, error)) << error;
    return out;
}

Bytes resourceOf(const Bytes &image, uint16_t type, uint16_t id) {
    Bytes data;
    std::string error;
    EXPECT_TRUE(findResource(image, type, id, data, error)) << error;
    return data;
}

ResourceTree treeOf(const Bytes &image) {
    PeImage headers;
    ResourceTree tree;
    std::string error;
    EXPECT_TRUE(parsePeImage(image, headers, error) && parseResourceTree(image, headers, tree, error)) << error;
    return tree;
}

std::string idText(const ResourceId &id) {
    return id.named ? "'" + std::string(id.name.begin(), id.name.end()) + "'" : std::to_string(id.id);
}

// "type/name/language" -> codepage and bytes, skipping the types given.
std::map<std::string, std::pair<uint32_t, Bytes>> flatten(const ResourceTree &tree, std::vector<int> skipTypes) {
    std::map<std::string, std::pair<uint32_t, Bytes>> flat;
    for (const ResourceType &type : tree.types) {
        if (!type.id.named && std::count(skipTypes.begin(), skipTypes.end(), type.id.id)) {
            continue;
        }
        for (const ResourceName &name : type.names) {
            for (const ResourceLanguage &language : name.languages) {
                std::string key = idText(type.id) + "/" + idText(name.id) + "/" + std::to_string(language.language);
                EXPECT_EQ(flat.count(key), 0u) << key;
                flat[key] = {language.codepage, language.data};
            }
        }
    }
    return flat;
}

// Replaces the resources of an image whose resource section is last, to make
// stubs the build does not produce (named entries, several languages).
Bytes withTree(Bytes image, const ResourceTree &tree) {
    Headers headers = headersOf(image);
    size_t last = sectionAt(headers, headers.count - 1);
    uint32_t address = u32(image, last + 12);
    Bytes section;
    std::string error;
    EXPECT_TRUE(serializeResourceTree(tree, address, section, error)) << error;
    uint32_t size = static_cast<uint32_t>(section.size());
    section.resize(roundUp(size, u32(image, headers.optional + 36)));
    image.resize(u32(image, last + 20));
    image.insert(image.end(), section.begin(), section.end());
    put32(image, last + 8, size);
    put32(image, last + 16, static_cast<uint32_t>(section.size()));
    put32(image, directoryAt(headers, 2) + 4, size);
    put32(image, headers.optional + 56,
          static_cast<uint32_t>(roundUp(address + size, u32(image, headers.optional + 32))));
    return image;
}

std::string commandOutput(const std::string &command, int &status) {
    FILE *pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    status = pipe ? pclose(pipe) : -1;
    return output;
}

std::string writeTemp(const std::string &name, const Bytes &bytes) {
    std::string path = testing::TempDir() + "pe_resources_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

std::string windresListing(const Bytes &image, const std::string &name) {
    std::string path = writeTemp(name, image);
    int status = 0;
    std::string listing = commandOutput("x86_64-w64-mingw32-windres -i '" + path + "' -O rc", status);
    EXPECT_EQ(status, 0) << listing;
    remove(path.c_str());
    return listing;
}

TEST(PeUpdate, PayloadReadsBackAndEveryOtherResourceKeepsItsBytes) {
    Bytes payload = randomBytes(5000, 1);
    Bytes packed = pack(stub(), payload);
    expectSaneLayout(packed);
    EXPECT_EQ(resourceOf(packed, 10, 27), payload);
    ResourceTree before = treeOf(stub());
    ResourceTree after = treeOf(packed);
    EXPECT_EQ(flatten(after, {10}), flatten(before, {10}));
    EXPECT_EQ(flatten(after, {}).count("10/27/1033"), 1u);
    for (const char *kept : {"24/1/1033", "16/1/1033", "14/1/1033", "3/1/1033"}) {
        EXPECT_EQ(flatten(before, {}).count(kept), 1u) << kept << " missing from the stub";
    }
    // The stub's own checksum comes from the linker: an outside reference.
    EXPECT_EQ(peChecksum(stub(), headersOf(stub()).optional + 64), u32(stub(), headersOf(stub()).optional + 64));
}

TEST(PeUpdate, PayloadsOfManySizesPackInPlaceAndDeterministically) {
    Bytes previous = stub();
    for (size_t size : {size_t{1}, size_t{3} << 20, size_t{60} << 20, size_t{7}}) {
        SCOPED_TRACE(size);
        Bytes payload = randomBytes(size, size);
        Bytes packed = pack(previous, payload);
        expectSaneLayout(packed);
        EXPECT_EQ(resourceOf(packed, 10, 27), payload);
        ResourceTree tree = treeOf(packed);
        const ResourceType *rcdata = findType(tree, integerId(10));
        ASSERT_NE(rcdata, nullptr);
        ASSERT_EQ(rcdata->names.size(), 1u) << "a repacked stub holds one payload";
        EXPECT_EQ(rcdata->names[0].languages.size(), 1u);
        EXPECT_EQ(flatten(tree, {10}), flatten(treeOf(stub()), {10}));
        EXPECT_TRUE(pack(previous, payload) == packed) << "same inputs, same bytes";
        previous = std::move(packed);
    }
}

TEST(PeUpdate, PayloadKeepsTheLanguageOfASingleEntryOnly) {
    Bytes packed = pack(stub(), {1});
    const std::pair<std::vector<uint16_t>, uint16_t> cases[] = {{{0x0407}, 0x0407}, {{0x0407, 0x040C}, 0x0409}};
    for (const auto &[languages, expected] : cases) {
        ResourceTree tree = treeOf(packed);
        ResourceName *payload = findName(*findType(tree, integerId(10)), integerId(27));
        payload->languages.clear();
        for (uint16_t language : languages) {
            payload->languages.push_back({language, 0, {2, 3}});
        }
        // Which of several the launcher reads depends on the user's language: a
        // listing could show another payload than the one that runs.
        Bytes data;
        std::string error;
        EXPECT_EQ(findResource(withTree(packed, tree), 10, 27, data, error), languages.size() == 1) << error;
        EXPECT_EQ(error.find("2 languages (0x407, 0x40c)") != std::string::npos, languages.size() == 2) << error;
        ResourceTree result = treeOf(pack(withTree(packed, tree), {4}));
        const ResourceName *repacked = findName(*findType(result, integerId(10)), integerId(27));
        ASSERT_EQ(repacked->languages.size(), 1u);
        EXPECT_EQ(repacked->languages[0].language, expected);
        EXPECT_EQ(repacked->languages[0].data, Bytes{4});
    }
}

// Walks a written table and the tables below it: named entries first, by
// name, then ids ascending; all tables before the data, data 8-byte aligned.
void expectSortedTable(const Bytes &image, size_t base, uint32_t address, uint32_t offset, int level,
                       uint32_t &tablesEnd) {
    size_t at = base + offset;
    unsigned named = u16(image, at + 12), count = named + u16(image, at + 14);
    tablesEnd = std::max(tablesEnd, offset + 16 + 8 * count);
    std::u16string previousName;
    uint32_t previousId = 0;
    for (unsigned i = 0; i < count; ++i) {
        uint32_t name = u32(image, at + 16 + 8 * i), target = u32(image, at + 20 + 8 * i);
        EXPECT_EQ((name >> 31) != 0, i < named);
        if (i < named) {
            size_t string = base + (name & 0x7FFFFFFF);
            std::u16string text;
            for (unsigned c = 0; c < u16(image, string); ++c) {
                text.push_back(static_cast<char16_t>(u16(image, string + 2 + 2 * c)));
            }
            EXPECT_TRUE(i == 0 || previousName < text);
            previousName = text;
        } else {
            EXPECT_TRUE(i == named || previousId < name);
            previousId = name;
        }
        if (level < 2) {
            expectSortedTable(image, base, address, target & 0x7FFFFFFF, level + 1, tablesEnd);
        } else {
            EXPECT_GE(target, tablesEnd) << "a data entry before the tables end";
            EXPECT_EQ((u32(image, base + target) - address) % 8, 0u) << "unaligned resource data";
        }
    }
}

TEST(PeUpdate, NamedResourcesSurviveAndTablesAreWrittenSorted) {
    Bytes packed = pack(stub(), {1});
    ResourceTree tree = treeOf(packed);
    auto named = [](const char16_t *text) {
        ResourceId id;
        id.named = true;
        id.name = text;
        return id;
    };
    tree.types.push_back({named(u"ZTYPE"), {{integerId(300), {{0x0409, 1252, {5}}}}, {named(u"B"), {{0, 0, {6}}}}}});
    tree.types.push_back({named(u"ATYPE"), {{named(u"LONGER NAME"), {{0x0409, 0, {7, 8}}}}}});
    tree.types.push_back({integerId(2), {{integerId(9), {{0x0409, 0, {}}, {0x0407, 0, {9}}}}}});
    Bytes repacked = pack(withTree(packed, tree), {1});
    expectSaneLayout(repacked);
    EXPECT_EQ(flatten(treeOf(repacked), {}), flatten(tree, {}));
    Headers headers = headersOf(repacked);
    size_t last = sectionAt(headers, headers.count - 1);
    uint32_t tablesEnd = 0;
    expectSortedTable(repacked, u32(repacked, last + 20), u32(repacked, last + 12), 0, 0, tablesEnd);
}

TEST(PeUpdate, StubWithoutResourceDirectoryGetsANewSection) {
    Bytes bare = stub();
    Headers headers = headersOf(bare);
    put32(bare, directoryAt(headers, 2), 0);
    put32(bare, directoryAt(headers, 2) + 4, 0);
    Bytes packed = pack(bare, {42});
    expectSaneLayout(packed);
    EXPECT_EQ(headersOf(packed).count, headers.count + 1);
    EXPECT_EQ(resourceOf(packed, 10, 27), Bytes{42});
    EXPECT_TRUE(std::equal(bare.begin() + 0x400, bare.end(), packed.begin() + 0x400)) << "old sections moved";
}

TEST(PeUpdate, UnsupportedStubsAreRefusedWithTheReason) {
    struct Case {
        const char *what;
        std::function<void(Bytes &, const Headers &)> change;
        const char *message;
    };
    const Case cases[] = {
        {"signed", [](Bytes &b, const Headers &h) { put32(b, directoryAt(h, 4) + 4, 0x100); }, "sign after packing"},
        {"overlay", [](Bytes &b, const Headers &) { b.push_back(1); }, "after its last section"},
        {"unknown section after .rsrc", [](Bytes &b, const Headers &h) { put32(b, directoryAt(h, 5), 0); },
         "section .reloc follows the resource section"},
        {"directory into .reloc",
         [](Bytes &b, const Headers &h) { put32(b, directoryAt(h, 6), u32(b, directoryAt(h, 5))); },
         "data directory 6 points into section .reloc"},
        {"no header room",
         [](Bytes &b, const Headers &h) {
             put32(b, directoryAt(h, 2), 0);
             b[sectionAt(h, h.count) + 5] = 1;
         },
         "no room"},
        {"image beyond 32 bits",
         [](Bytes &b, const Headers &h) {
             put32(b, directoryAt(h, 2), 0);
             put32(b, sectionAt(h, h.count - 1) + 8, 0xFFFF0000);
         },
         "beyond the 4294967295 a PE image can hold"},
        {"headers beyond SizeOfHeaders", [](Bytes &b, const Headers &h) { put32(b, h.optional + 60, 0x200); },
         "beyond SizeOfHeaders (0x200)"},
        {"32-bit", [](Bytes &b, const Headers &h) { b[h.optional - 19] = 0x01; }, "not an x86-64 image"},
        {"PE32", [](Bytes &b, const Headers &h) { b[h.optional + 1] = 0x01; }, "not a PE32+ image"},
        {"not PE", [](Bytes &b, const Headers &) { b.assign(100, 'x'); }, "not a PE32+ image"},
    };
    for (const Case &test : cases) {
        Bytes changed = stub();
        test.change(changed, headersOf(stub()));
        Bytes out;
        std::string error;
        ResourceChanges changes;
        EXPECT_FALSE(updateResources(changed, changes, out, error)) << test.what;
        EXPECT_NE(error.find(test.message), std::string::npos) << test.what << ": " << error;
    }
}

TEST(PeUpdate, MingwToolsStillReadThePackedImage) {
    Bytes packed = pack(stub(), randomBytes(300, 2));
    std::string listing = windresListing(packed, "packed.exe");
    EXPECT_NE(listing.find("\n27 RCDATA"), std::string::npos) << listing;
    size_t start = listing.find("\n/* Type: rcdata");
    ASSERT_NE(start, std::string::npos);
    listing.erase(start, listing.find("\n/* Type:", start + 1) - start);
    EXPECT_EQ(listing, windresListing(stub(), "stub.exe")) << "the other resources read differently";

    std::string path = writeTemp("objdump.exe", packed);
    int status = 0;
    std::string headers = commandOutput("x86_64-w64-mingw32-objdump -p '" + path + "'", status);
    remove(path.c_str());
    EXPECT_EQ(status, 0) << headers;
    EXPECT_NE(headers.find("Resource Directory [.rsrc]"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Base Relocation Directory [.reloc]"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Subsystem\t\t00000002\t(Windows GUI)"), std::string::npos) << headers;

    // A console program with its own identity reads as such too.
    ResourceChanges changes;
    changes.payload = randomBytes(300, 2);
    changes.subsystem = kSubsystemConsole;
    changes.executionLevel = "requireAdministrator";
    changes.version.emplace();
    changes.version->fileVersion = 0x0002000300040005;
    changes.version->productVersion = 0x0006000700080009;
    changes.version->strings = {{"CompanyName", u"Z\u00e9 Corp"}, {"ProductName", u"Tool"}};
    std::string error;
    ASSERT_TRUE(updateResources(stub(), changes, packed, error)) << error;
    path = writeTemp("console.exe", packed);
    headers = commandOutput("x86_64-w64-mingw32-objdump -p '" + path + "'", status);
    remove(path.c_str());
    EXPECT_NE(headers.find("Subsystem\t\t00000003\t(Windows CUI)"), std::string::npos) << headers;
    listing = windresListing(packed, "console.exe");
    for (const char *shown : {"FILEVERSION 2, 3, 4, 5", "PRODUCTVERSION 6, 7, 8, 9", "VALUE \"CompanyName\", L\"Z\\351 Corp\"",
                              "VALUE \"ProductName\", \"Tool\"", "VALUE \"Translation\", 0x409, 1200",
                              "level=\"\"requireAdministrator\"\""}) {
        EXPECT_NE(listing.find(shown), std::string::npos) << shown << " in " << listing;
    }
}

TEST(PeUpdate, SubsystemLevelAndVersionChangeNothingElse) {
    ResourceChanges changes;
    changes.payload = randomBytes(777, 12);
    changes.subsystem = kSubsystemConsole;
    changes.executionLevel = "requireAdministrator";
    changes.version.emplace();
    changes.version->strings = {{"ProductName", u"App"}};
    Bytes plain = pack(stub(), changes.payload);
    Bytes out;
    std::string error;
    ASSERT_TRUE(updateResources(stub(), changes, out, error)) << error;
    expectSaneLayout(out);  // the checksum included
    Headers headers = headersOf(out);
    EXPECT_EQ(u16(out, headers.optional + 68), 3u);
    EXPECT_EQ(flatten(treeOf(out), {16, 24}), flatten(treeOf(plain), {16, 24}));
    // The manifest keeps every byte but the level's.
    Bytes stubManifest = resourceOf(stub(), 24, 1);
    std::string manifest(stubManifest.begin(), stubManifest.end());
    const std::string level = "level=\"asInvoker\"";
    ASSERT_NE(manifest.find(level), std::string::npos);
    manifest.replace(manifest.find(level), level.size(), "level=\"requireAdministrator\"");
    EXPECT_EQ(resourceOf(out, 24, 1), Bytes(manifest.begin(), manifest.end()));
    // Outside the resource section, only Subsystem, CheckSum and the sizes that
    // follow the resources differ from a plain pack.
    size_t resources = u32(out, sectionAt(headers, headers.count - 1) + 20);
    for (size_t at = 0; at < resources; ++at) {
        size_t field = at - headers.optional;
        bool allowed = (field >= 8 && field < 12) || (field >= 56 && field < 60) || (field >= 64 && field < 70) ||
                       (at >= directoryAt(headers, 2) && at < directoryAt(headers, 2) + 8) ||
                       (at >= sectionAt(headers, headers.count - 1) && at < sectionAt(headers, headers.count));
        EXPECT_TRUE(allowed || out[at] == plain[at]) << "byte " << at;
    }

    // The new resource keeps the stub's resource language and translation.
    ResourceTree tree = treeOf(plain);
    ResourceName *version = findName(*findType(tree, integerId(16)), integerId(1));
    VersionInfo german;
    german.language = 0x0407;
    german.codepage = 1252;
    german.strings = {{"ProductName", u"Alt"}};
    ASSERT_TRUE(buildVersionResource(german, version->languages[0].data, error)) << error;
    version->languages[0].language = 0x0407;
    ASSERT_TRUE(updateResources(withTree(plain, tree), changes, out, error)) << error;
    auto flat = flatten(treeOf(out), {3, 10, 14, 24});
    ASSERT_EQ(flat.count("16/1/1031"), 1u);
    VersionInfo written;
    ASSERT_TRUE(parseVersionResource(flat["16/1/1031"].second, written, error)) << error;
    EXPECT_EQ(std::make_pair(written.language, written.codepage), std::make_pair(uint16_t{0x0407}, uint16_t{1252}));
    EXPECT_EQ(written.strings, changes.version->strings);
}

TEST(PeUpdate, ExecutionLevelIsSetOnlyWhereTheManifestNamesOne) {
    const std::pair<const char *, const char *> cases[] = {
        {"<a><trustInfo><x:requestedExecutionLevel uiAccess='false' level = 'asInvoker'/></trustInfo></a>",
         "<a><trustInfo><x:requestedExecutionLevel uiAccess='false' level = 'requireAdministrator'/></trustInfo></a>"},
        {"<!-- <requestedExecutionLevel level=\"x\"/> --><requestedExecutionLevel level=\"highestAvailable\">",
         "<!-- <requestedExecutionLevel level=\"x\"/> --><requestedExecutionLevel level=\"requireAdministrator\">"},
        {"<a><!-- <requestedExecutionLevel level=\"asInvoker\"/> --></a>", "no requestedExecutionLevel element"},
        {"<requestedExecutionLevel level=\"asInvoker\"/><requestedExecutionLevel level=\"asInvoker\"/>",
         "more than one"},
        {"<requestedExecutionLevel uiAccess=\"false\"/>", "no level attribute"},
        {"<requestedExecutionLevel level=\"asInvoker\"", "has no end"},
    };
    Bytes plain = pack(stub(), {1});
    for (const auto &[manifest, expected] : cases) {
        SCOPED_TRACE(manifest);
        ResourceTree tree = treeOf(plain);
        findName(*findType(tree, integerId(24)), integerId(1))->languages[0].data.assign(manifest,
                                                                                        manifest + strlen(manifest));
        ResourceChanges changes;
        changes.payload = {2};
        changes.executionLevel = "requireAdministrator";
        Bytes out;
        std::string error;
        bool accepted = updateResources(withTree(plain, tree), changes, out, error);
        bool refusal = std::string(expected).find('<') == std::string::npos;
        EXPECT_EQ(accepted, !refusal) << error;
        if (accepted) {
            EXPECT_EQ(resourceOf(out, 24, 1), Bytes(expected, expected + strlen(expected)));
        } else {
            EXPECT_NE(error.find(expected), std::string::npos) << error;
        }
    }
    // A stub without a manifest at all.
    ResourceTree tree = treeOf(plain);
    tree.types.erase(std::find_if(tree.types.begin(), tree.types.end(),
                                  [](const ResourceType &type) { return sameId(type.id, integerId(24)); }));
    ResourceChanges changes;
    changes.executionLevel = "requireAdministrator";
    Bytes out;
    std::string error;
    EXPECT_FALSE(updateResources(withTree(plain, tree), changes, out, error));
    EXPECT_NE(error.find("no manifest"), std::string::npos) << error;
}

TEST(VersionResource, MatchesWhatWindresBuiltFromTheSameValues) {
    // resources/launcher.rc, whose strings are in name order, with the build's version.
    VersionInfo info;
    const uint64_t parts[] = {ZELMOR_VERSION_NUMBERS};
    info.fileVersion = info.productVersion = parts[0] << 48 | parts[1] << 32 | parts[2] << 16 | parts[3];
    info.strings = {{"CompanyName", u"Zelmor"},
                    {"FileDescription", u"Zelmor onefile launcher"},
                    {"FileVersion", u"" ZELMOR_VERSION_TEXT},
                    {"InternalName", u"zelmor-launcher"},
                    {"OriginalFilename", u"zelmor-launcher.exe"},
                    {"ProductName", u"Zelmor onefile"},
                    {"ProductVersion", u"" ZELMOR_VERSION_TEXT}};
    Bytes built;
    std::string error;
    ASSERT_TRUE(buildVersionResource(info, built, error)) << error;
    EXPECT_EQ(built, resourceOf(stub(), 16, 1));
    VersionInfo read;
    ASSERT_TRUE(parseVersionResource(resourceOf(stub(), 16, 1), read, error)) << error;
    EXPECT_EQ(read.strings, info.strings);
    EXPECT_EQ(std::make_tuple(read.fileVersion, read.productVersion, read.language, read.codepage),
              std::make_tuple(info.fileVersion, info.productVersion, uint16_t{0x0409}, uint16_t{1200}));

    // Its lengths are 16-bit: a text too long for them is refused, not cut.
    info.strings.push_back({"Comments", std::u16string(33000, u'x')});
    EXPECT_FALSE(buildVersionResource(info, built, error));
    EXPECT_NE(error.find("65535"), std::string::npos) << error;
    // A truncated or inflated resource is refused when read, never read past.
    Bytes stubVersion = resourceOf(stub(), 16, 1);
    for (size_t length = 0; length < stubVersion.size(); ++length) {
        Bytes cut(stubVersion.begin(), stubVersion.begin() + length);
        EXPECT_FALSE(parseVersionResource(cut, read, error)) << length;
    }
    for (size_t at = 0; at + 1 < stubVersion.size(); at += 2) {
        Bytes damaged = stubVersion;
        put16(damaged, at, 0xFFFF);
        parseVersionResource(damaged, read, error);
    }
}

TEST(VersionResource, VersionNumbersAreOneToFourSixteenBitParts) {
    const std::pair<const char *, uint64_t> good[] = {{"1.2.3.4", 0x0001000200030004},
                                                      {"0.0.0.0", 0},
                                                      {"65535.65535.65535.65535", ~uint64_t{0}},
                                                      {"01.2.3.4", 0x0001000200030004},
                                                      {"1.2.3", 0x0001000200030000},
                                                      {"7", 0x0007000000000000}};
    for (const auto &[text, expected] : good) {
        uint64_t version = 0;
        std::string error;
        EXPECT_TRUE(parseVersionNumber(text, version, error)) << text << ": " << error;
        EXPECT_EQ(version, expected) << text;
    }
    EXPECT_EQ(versionText(0x0001000200030004), "1.2.3.4");
    for (const char *text : {"1.2.3.4.5", "1.2.3.65536", "1.2.3.100000000000", "1..2.3", "a.b.c.d", "",
                             " 1.2.3.4", "1.2.3.4 ", "+1.2.3.4", "1.2.3.-4", "1.2.3.4.", "1.2-beta"}) {
        uint64_t version = 0;
        std::string error;
        EXPECT_FALSE(parseVersionNumber(text, version, error)) << text;
        EXPECT_NE(error.find("one to four numbers from 0 to 65535"), std::string::npos) << error;
        EXPECT_EQ(version, 0u) << text;
    }
    // A product version's free text gives the numbers it starts with.
    const std::pair<const char *, uint64_t> leading[] = {
        {"1.2.3.4-beta", 0x0001000200030004}, {"v2.1 rc", 0x0002000100000000}, {"1.2.70000", 0x0001000200000000},
        {"1.2.3.4.5", 0x0001000200030004},    {"beta", 0},                      {"", 0}};
    for (const auto &[text, expected] : leading) {
        EXPECT_EQ(leadingVersionNumber(text), expected) << text;
    }
}

TEST(ApplicationManifest, MalformedXmlIsRefusedWithTheReason) {
    const std::pair<std::string, const char *> cases[] = {
        {"", "no root element"}, {"<a>", "<a> is never closed"}, {"<a></b>", "</b> does not close <a>"},
        {"<a/><b/>", "a second root element"}, {"x<a/>", "text outside the root element"},
        {"<a b='1' b='2'/>", "the attribute b twice"}, {"<a b=1/>", "b has no quoted value"},
        {"<a b='1'c='2'/>", "malformed attribute"}, {"<a b='<'/>", "has no end"}, {"<a>&nbsp</a>", "'&'"},
        {"<a><!-- x -- y --></a>", "\"--\" inside a comment"}, {"<!DOCTYPE a><a/>", "document type"},
        {"<a/><?xml version='1.0'?>", "an XML declaration after"}, {"<p:a/>", "the prefix p is not declared"},
        {std::string("<a>\0</a>", 8), "zero byte"}, {"<a><![CDATA[x</a>", "CDATA section without its end"}};
    for (const auto &[text, reason] : cases) {
        std::vector<XmlElement> elements;
        std::string error;
        EXPECT_FALSE(readXml(text, elements, error)) << text;
        EXPECT_NE(error.find(reason), std::string::npos) << text << ": " << error;
    }
    std::vector<XmlElement> elements;
    std::string error;
    std::string good = "\xEF\xBB\xBF<?xml version='1.0'?><!-- c --><p:a xmlns:p='u'><b x = \"&amp;&#x41;\"/>"
                       "<![CDATA[<x>]]></p:a>\n";
    ASSERT_TRUE(readXml(good, elements, error)) << error;
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(std::make_tuple(elements[0].localName, elements[0].namespaceUri, elements[1].parent),
              std::make_tuple(std::string("a"), std::string("u"), 0));
}

std::string manifestText(const Bytes &bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string described(const Bytes &manifest) {
    std::string description, error;
    EXPECT_TRUE(describeManifest(manifest, description, error)) << error;
    return description;
}

TEST(ApplicationManifest, AnApplicationsOwnIsCheckedAndCompleted) {
    const std::string assembly = "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\"";
    const std::string v3 = "xmlns=\"urn:schemas-microsoft-com:asm.v3\"";
    const std::string level = "<trustInfo " + v3 + "><security><requestedPrivileges><requestedExecutionLevel level=";
    // What the launcher needs is added where it is missing, in the element Windows reads.
    for (const std::string &given : {assembly + "/>", assembly + "><application " + v3 + "/></assembly>"}) {
        for (bool admin : {false, true}) {
            Bytes manifest(given.begin(), given.end());
            std::vector<std::string> warnings;
            std::string error, read;
            const char *wanted = admin ? "requireAdministrator" : "asInvoker";
            ASSERT_TRUE(completeManifest(manifest, wanted, admin, warnings, error)) << given << ": " << error;
            EXPECT_TRUE(readExecutionLevel(manifest, read, error) && read == wanted) << error;
            EXPECT_EQ(described(manifest), "long paths");
            std::string text = manifestText(manifest);
            EXPECT_EQ(text.find("<application"), text.rfind("<application")) << text;
            EXPECT_TRUE(warnings.empty());
        }
    }
    const std::pair<std::string, const char *> refused[] = {
        {"<foo/>", "root element must be an assembly"}, {"<assembly/>", "root element must be an assembly"},
        {assembly + "><assembly/></assembly>", "more than one assembly"},
        {assembly + ">" + level + "'asInvoker'/><requestedExecutionLevel level='asInvoker'/>"
                                  "</requestedPrivileges></security></trustInfo></assembly>",
         "more than one execution level"},
        {assembly + ">" + level + "'asAdmin'/></requestedPrivileges></security></trustInfo></assembly>",
         "\"asAdmin\" is none of"},
        {assembly + ">" + level + "'asInvoker'/></requestedPrivileges></security></trustInfo></assembly>",
         "requests the execution level asInvoker and --uac-admin requireAdministrator"},
        {assembly + "><trustInfo " + v3 + "/></assembly>", "trustInfo without an execution level"},
        {assembly + ">", "never closed"}};
    for (const auto &[given, reason] : refused) {
        Bytes manifest(given.begin(), given.end());
        std::vector<std::string> warnings;
        std::string error;
        EXPECT_FALSE(completeManifest(manifest, "requireAdministrator", true, warnings, error)) << given;
        EXPECT_NE(error.find(reason), std::string::npos) << given << ": " << error;
    }
    // Long paths turned off stay off, with a warning; a level named once stays.
    std::string off = assembly + ">" + level + "\"highestAvailable\"/></requestedPrivileges></security></trustInfo>" +
                      "<application " + v3 + "><windowsSettings><longPathAware>false</longPathAware>" +
                      "</windowsSettings></application></assembly>";
    Bytes manifest(off.begin(), off.end());
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(completeManifest(manifest, "asInvoker", false, warnings, error)) << error;
    EXPECT_EQ(manifestText(manifest), off);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("turns long paths off"), std::string::npos) << warnings[0];
}

TEST(ApplicationManifest, VisualStylesAndDpiAwarenessAreAddedOnce) {
    Bytes stubManifest = resourceOf(stub(), 24, 1);
    EXPECT_EQ(described(stubManifest), "long paths");
    const std::pair<DpiAwareness, const char *> modes[] = {
        {DpiAwareness::System, "long paths, visual styles, DPI awareness true"},
        {DpiAwareness::PerMonitor, "long paths, visual styles, DPI awareness PerMonitor"},
        {DpiAwareness::PerMonitorV2, "long paths, visual styles, DPI awareness PerMonitorV2, PerMonitor"}};
    for (const auto &[mode, expected] : modes) {
        Bytes manifest = stubManifest;
        std::string error;
        ASSERT_TRUE(addManifestSettings(manifest, {true, mode}, error)) << error;
        EXPECT_EQ(described(manifest), expected);
        std::string text = manifestText(manifest);
        EXPECT_EQ(text.find("<windowsSettings"), text.rfind("<windowsSettings")) << "a second windowsSettings";
        // The stub's text stays as it was around what was added.
        EXPECT_EQ(text.substr(0, text.find("<dpiAware")), manifestText(stubManifest).substr(0, text.find("<dpiAware")));
        for (ManifestSettings again : {ManifestSettings{true, DpiAwareness::None}, ManifestSettings{false, mode}}) {
            Bytes twice = manifest;
            EXPECT_FALSE(addManifestSettings(twice, again, error));
            EXPECT_NE(error.find("already"), std::string::npos) << error;
        }
    }
}

TEST(LauncherSettingsRecord, ReadsWhatItsSizeCoversAndTakesTheDefaultsForAnythingElse) {
    LauncherSettings settings;
    uint8_t record[kSettingsSize];
    LauncherSettings silent;
    silent.errorDialog = false;
    writeLauncherSettings(silent, record);
    ASSERT_TRUE(parseLauncherSettings(record, sizeof record, settings));
    EXPECT_EQ(std::make_pair(settings.version, settings.errorDialog), std::make_pair(uint16_t{1}, false));
    // A later version's longer record, with flags this one does not know.
    const uint8_t later[] = {2, 0, 12, 0, 0xFE, 0xFF, 0xFF, 0xFF, 9, 9, 9, 9};
    ASSERT_TRUE(parseLauncherSettings(later, sizeof later, settings));
    EXPECT_EQ(std::make_pair(settings.version, settings.errorDialog), std::make_pair(uint16_t{2}, true));
    for (const Bytes &bad : {Bytes{1, 0, 8, 0, 1, 0, 0}, Bytes{0, 0, 8, 0, 1, 0, 0, 0}, Bytes{1, 0, 6, 0, 1, 0, 0, 0},
                             Bytes{1, 0, 9, 0, 1, 0, 0, 0}, Bytes{1, 0}}) {
        EXPECT_FALSE(parseLauncherSettings(bad.data(), bad.size(), settings));
        EXPECT_EQ(std::make_pair(settings.version, settings.errorDialog), std::make_pair(uint16_t{0}, true));
    }
}

Bytes iconFile(const std::vector<Bytes> &images) {
    Bytes ico = {0, 0, 1, 0, static_cast<uint8_t>(images.size()), 0};
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        uint8_t side = static_cast<uint8_t>(16 * (i + 1));
        Bytes entry = {side, side, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        put32(entry, 8, static_cast<uint32_t>(images[i].size()));
        put32(entry, 12, offset);
        offset += static_cast<uint32_t>(images[i].size());
        ico.insert(ico.end(), entry.begin(), entry.end());
    }
    for (const Bytes &image : images) {
        ico.insert(ico.end(), image.begin(), image.end());
    }
    return ico;
}

TEST(IconFile, GroupMatchesWhatWindresBuiltFromTheSameFile) {
    IconResources icon;
    std::string error;
    ASSERT_TRUE(parseIconFile(readFile(ZELMOR_LAUNCHER_ICON), icon, error)) << error;
    EXPECT_EQ(icon.group, resourceOf(stub(), 14, 1));
    for (size_t i = 0; i < icon.images.size(); ++i) {
        EXPECT_EQ(icon.images[i], resourceOf(stub(), 3, static_cast<uint16_t>(i + 1))) << i;
    }
}

TEST(IconFile, ReplacementLeavesOnlyTheNewGroupAndImages) {
    std::vector<Bytes> images = {randomBytes(40, 3), randomBytes(1000, 4), randomBytes(77, 5)};
    Bytes packed = stub();
    for (size_t count : {3, 1}) {
        ResourceChanges changes;
        changes.payload = {1};
        std::string error;
        changes.icon.emplace();
        std::vector<Bytes> chosen(images.begin(), images.begin() + count);
        ASSERT_TRUE(parseIconFile(iconFile(chosen), *changes.icon, error)) << error;
        Bytes out;
        ASSERT_TRUE(updateResources(packed, changes, out, error)) << error;
        packed = out;
        expectSaneLayout(packed);
        Bytes group = {0, 0, 1, 0, static_cast<uint8_t>(count), 0};
        for (size_t i = 0; i < count; ++i) {
            uint8_t side = static_cast<uint8_t>(16 * (i + 1));
            uint32_t size = static_cast<uint32_t>(images[i].size());
            group.insert(group.end(), {side, side, 0, 0, 1, 0, 32, 0, static_cast<uint8_t>(size),
                                       static_cast<uint8_t>(size >> 8), 0, 0, static_cast<uint8_t>(i + 1), 0});
        }
        std::map<std::string, std::pair<uint32_t, Bytes>> expected = {{"14/1/1033", {0, group}}};
        for (size_t i = 0; i < count; ++i) {
            expected["3/" + std::to_string(i + 1) + "/1033"] = {0, images[i]};
        }
        auto all = flatten(treeOf(packed), {});
        auto icons = flatten(treeOf(packed), {10, 16, 24});
        EXPECT_EQ(icons, expected);
        EXPECT_EQ(flatten(treeOf(packed), {3, 10, 14}), flatten(treeOf(stub()), {3, 10, 14}));
        EXPECT_EQ(all.size(), expected.size() + 3) << "manifest, version and payload remain";
    }
}

TEST(IconFile, MalformedFilesAreRefused) {
    Bytes good = iconFile({randomBytes(50, 6)});
    Bytes cursor = good;
    cursor[2] = 2;
    Bytes empty = {0, 0, 1, 0, 0, 0};
    Bytes outside = good;
    put32(outside, 6 + 12, static_cast<uint32_t>(good.size()) - 10);
    Bytes shortDirectory = {0, 0, 1, 0, 2, 0, 16, 16};
    const std::pair<Bytes, const char *> cases[] = {{Bytes{}, "not an icon file"}, {cursor, "not an icon file"},
                                                    {empty, "no images"}, {outside, "image 1 runs past"},
                                                    {shortDirectory, "truncated"}};
    for (const auto &[bytes, message] : cases) {
        IconResources icon;
        std::string error;
        EXPECT_FALSE(parseIconFile(bytes, icon, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
}

TEST(DllCheck, AcceptsOnlyADllThatExportsRunCode) {
    Bytes probe = windowsBinary("zelmor-probe.dll");
    Bytes notDll = probe;
    notDll[headersOf(probe).optional - 1] &= ~0x20;  // IMAGE_FILE_DLL, in Characteristics' high byte
    Bytes renamed = probe;
    const std::string name("run_code", 9);
    auto found = std::search(renamed.begin(), renamed.end(), name.begin(), name.end());
    ASSERT_NE(found, renamed.end());
    found[7] = 'f';
    const std::pair<Bytes, const char *> cases[] = {
        {probe, nullptr},
        {windowsBinary("zelmor-no-entry.dll"), "does not export run_code"},
        {windowsBinary("zelmor-helper.dll"), "does not export run_code"},
        {renamed, "does not export run_code"},
        {stub(), "is not a DLL"},
        {notDll, "is not a DLL"},
        {readFile(ZELMOR_LAUNCHER_ICON), "not a PE32+ image"},
    };
    for (const auto &[bytes, message] : cases) {
        std::string error;
        EXPECT_EQ(checkApplicationDll(bytes, error), message == nullptr) << error;
        EXPECT_NE(error.find(message ? message : ""), std::string::npos) << error;
    }
    // A program to start: linked to run, for a subsystem that Windows starts.
    Bytes console = stub(), native = stub(), unlinked = stub();
    put16(console, headersOf(stub()).optional + 68, 3);
    put16(native, headersOf(stub()).optional + 68, 1);
    unlinked[headersOf(stub()).optional - 2] &= ~0x02;  // IMAGE_FILE_EXECUTABLE_IMAGE
    const std::pair<Bytes, const char *> programs[] = {
        {stub(), nullptr},
        {console, nullptr},
        {probe, "is a DLL, not a program"},
        {native, "its subsystem is 1, neither GUI (2) nor console (3)"},
        {unlinked, "is not an executable image"},
        {readFile(ZELMOR_LAUNCHER_ICON), "not a PE32+ image"},
    };
    for (const auto &[bytes, message] : programs) {
        std::string error;
        EXPECT_EQ(checkProgram(bytes, error), message == nullptr) << error;
        EXPECT_NE(error.find(message ? message : ""), std::string::npos) << error;
    }
}

TEST(PeRobustness, TruncatedFilesAreRefused) {
    Bytes probe = windowsBinary("zelmor-probe.dll");
    Bytes packed = pack(stub(), randomBytes(100, 7));
    for (const Bytes *file : {&probe, &packed}) {
        PeImage image;
        std::string error;
        ASSERT_TRUE(parsePeImage(*file, image, error));
        uint64_t end = endOfSectionData(image);
        for (size_t length = 0; length < end; length += length < 0x800 ? 1 : 397) {
            Bytes cut(file->begin(), file->begin() + length);
            Bytes out;
            error.clear();
            ASSERT_FALSE(checkApplicationDll(cut, error)) << length;
            ASSERT_FALSE(error.empty());
            ASSERT_FALSE(updateResources(cut, ResourceChanges(), out, error)) << length;
            ASSERT_FALSE(findResource(cut, 10, 27, out, error)) << length;
        }
    }
}

// What every stub the writer accepts must give: an image that parses again,
// carries the payload byte for byte and keeps every other resource.
void expectWrittenWell(const Bytes &stub, const ResourceChanges &changes, const Bytes &out) {
    PeImage image;
    std::string error;
    ASSERT_TRUE(parsePeImage(out, image, error)) << error;
    Bytes payload;
    ASSERT_TRUE(findResource(out, 10, 27, payload, error)) << error;
    EXPECT_TRUE(payload == changes.payload);
    std::vector<int> replaced = changes.icon ? std::vector<int>{3, 10, 14} : std::vector<int>{10};
    EXPECT_EQ(flatten(treeOf(out), replaced), flatten(treeOf(stub), replaced));
}

TEST(PeRobustness, HeadersInsideASectionAreRefused) {
    // The writer used to copy these headers from the section it rewrites and
    // patch them past its buffer, or over the new payload.
    Bytes crafted = craftedStub();
    Bytes taller = crafted;
    put32(taller, 0x818 + 60, 0x1000);  // SizeOfHeaders covers the table, which .text's data overlaps
    const std::pair<const Bytes *, const char *> cases[] = {
        {&crafted, "end at 0x958, beyond SizeOfHeaders (0x200)"},
        {&taller, "end at 0x958, inside the data of section .text (from 0x200)"}};
    for (size_t size : {size_t{2}, size_t{300000}}) {
        for (const auto &[stubBytes, message] : cases) {
            SCOPED_TRACE(size);
            ResourceChanges changes;
            changes.payload = randomBytes(size, 10);
            Bytes out;
            std::string error;
            EXPECT_FALSE(updateResources(*stubBytes, changes, out, error));
            EXPECT_NE(error.find(message), std::string::npos) << error;
        }
    }
}

TEST(PeRobustness, CorruptedHeadersAndDirectoriesNeverCrash) {
    Bytes probe = windowsBinary("zelmor-probe.dll");
    Bytes packed = pack(stub(), randomBytes(100, 8));
    Bytes crafted = craftedStub();
    PeImage image;
    std::string error;
    ASSERT_TRUE(parsePeImage(probe, image, error));
    size_t exports = 0, imports = 0;
    ASSERT_TRUE(mapRvaRange(image, dataDirectory(image, kExportDirectory).rva, 1, exports));
    ASSERT_TRUE(mapRvaRange(image, dataDirectory(image, kImportDirectory).rva, 1, imports));
    ASSERT_LT(imports - exports, 0x400u) << "the import descriptors lie beyond the region flipped";
    ASSERT_TRUE(parsePeImage(packed, image, error));
    size_t resources = image.sections.back().pointerToRawData;
    Bytes *const bases[] = {&probe, &packed, &crafted};
    const size_t regions[][2] = {{0, exports}, {0, resources}, {0x800, 0x400}};
    ResourceChanges changes;
    changes.payload = randomBytes(3000, 11);
    std::mt19937 random(9);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes &bytes = *bases[round % 3];
        size_t region = regions[round % 3][(round / 3) % 2];
        std::vector<std::pair<size_t, uint8_t>> flipped;
        for (int flips = 1 + random() % 4; flips > 0; --flips) {
            size_t at = region + random() % 0x400;
            flipped.emplace_back(at, bytes[at]);
            bytes[at] ^= static_cast<uint8_t>(1 + random() % 255);
        }
        // Whatever the outcome, a refusal must say why.
        auto expectReason = [&](const std::function<bool(std::string &)> &call) {
            std::string reason;
            EXPECT_TRUE(call(reason) || !reason.empty()) << round;
        };
        Bytes out;
        expectReason([&](std::string &e) { return checkApplicationDll(bytes, e); });
        expectReason([&](std::string &e) {
            PeImage parsed;
            std::vector<std::string> dlls;
            return parsePeImage(bytes, parsed, e) && readImportedDlls(bytes, parsed, dlls, e);
        });
        expectReason([&](std::string &e) { return findResource(bytes, 10, 27, out, e); });
        // A program's face is read as far as it can be; an icon taken is
        // one the writer can put in place: a group naming images 1..n.
        ProgramFace face;
        std::vector<std::string> unread;
        readProgramFace(bytes, face, unread);
        if (face.icon) {
            const Bytes &group = face.icon->group;
            ASSERT_EQ(group.size(), 6 + 14 * face.icon->images.size()) << round;
            for (size_t i = 0; i < face.icon->images.size(); ++i) {
                EXPECT_EQ(u16(group, 6 + 14 * i + 12), i + 1) << round;
                EXPECT_FALSE(face.icon->images[i].empty()) << round;
            }
        }
        std::string reason;
        if (updateResources(bytes, changes, out, reason)) {
            SCOPED_TRACE(round);
            ++accepted;
            expectWrittenWell(bytes, changes, out);
        } else {
            EXPECT_FALSE(reason.empty()) << round;
        }
        for (auto undo = flipped.rbegin(); undo != flipped.rend(); ++undo) {
            bytes[undo->first] = undo->second;
        }
    }
    // Flips that leave a stub usable must be common enough for the oracle to matter.
    EXPECT_GT(accepted, 300);
}

}  // namespace
