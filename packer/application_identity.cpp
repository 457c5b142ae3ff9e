#include "packer/application_identity.h"

#include <stdio.h>

#include <algorithm>

#include "format/cache_index.h"
#include "format/launcher_settings.h"
#include "packer/cache_index.h"
#include "packer/file_access.h"
#include "packer/pe/application_manifest.h"
#include "packer/pe/execution_level.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/program_face.h"
#include "packer/pe/resource_find.h"
#include "packer/utf16_name.h"

const IdentityOption kIdentityOptions[7] = {
    {"--product-name", "ProductName"},         {"--company-name", "CompanyName"},
    {"--file-description", "FileDescription"}, {"--file-version", "FileVersion"},
    {"--product-version", "ProductVersion"},   {"--copyright", "LegalCopyright"},
    {"--original-filename", "OriginalFilename"}};

namespace {

constexpr uint64_t kDefaultVersion = uint64_t{1} << 48;  // 1.0.0.0

std::string optionFor(const std::string &key) {
    for (const IdentityOption &identity : kIdentityOptions) {
        if (key == identity.key) {
            return identity.option;
        }
    }
    return key;
}

std::string withoutExtension(const std::string &name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string subsystemName(uint16_t subsystem) {
    switch (subsystem) {
    case kSubsystemGui:
        return "GUI";
    case kSubsystemConsole:
        return "console";
    default:
        return "other (" + std::to_string(subsystem) + ")";
    }
}

// The settings record's fields, or why the launcher runs with its defaults.
std::string describeSettings(const std::vector<uint8_t> &image, LauncherSettings &settings) {
    std::vector<uint8_t> record;
    std::string error;
    bool present = findResource(image, kSettingsResourceType, kSettingsResourceId, record, error);
    if (!parseLauncherSettings(record.data(), record.size(), settings)) {
        return std::string(present ? "unreadable" : "none") + " (the launcher's defaults: error dialog on)";
    }
    return "version " + std::to_string(settings.version) + ", error dialog " + (settings.errorDialog ? "on" : "off") +
           (settings.startProgram ? ", starts the program" : "");
}

// Whether a part of the packed image is the program's: "from the program",
// or why not; `programs` names the program's own where that helps.
std::string origin(bool same, bool programHasOne, const std::string &programs = "") {
    if (same) {
        return "from the program";
    }
    if (!programHasOne) {
        return "not the program's: it has none";
    }
    return programs.empty() ? "not the program's" : "not the program's, which is " + programs;
}

// What --list tells of each part's origin: after the subsystem's and the
// execution level's value, and as the whole line of the icon and the
// version resource.
struct Origins {
    std::string subsystem;
    std::string icon;
    std::string level;
    std::string version;
};

// False when `program` is no image whose face can be read.
bool compareWithProgram(const std::vector<uint8_t> &image, const std::vector<uint8_t> &program, Origins &origins) {
    ProgramFace packed, own;
    std::vector<std::string> unread;  // what cannot be read shows as not the program's
    readProgramFace(image, packed, unread);
    readProgramFace(program, own, unread);
    if (own.subsystem == 0) {
        return false;
    }
    origins.subsystem = " (" + origin(packed.subsystem == own.subsystem, true, subsystemName(own.subsystem)) + ")";
    bool sameIcon = packed.icon && own.icon && packed.icon->group == own.icon->group &&
                    packed.icon->images == own.icon->images;
    size_t images = packed.icon ? packed.icon->images.size() : 0;
    origins.icon = (images == 0 ? std::string("none") : std::to_string(images) + (images == 1 ? " image" : " images")) +
                   " (" + origin(sameIcon, own.icon.has_value()) + ")";
    bool sameLevel = packed.executionLevel == own.executionLevel && !own.executionLevel.empty();
    origins.level = " (" + origin(sameLevel, !own.executionLevel.empty(), own.executionLevel) + ")";
    origins.version = origin(packed.version && own.version && *packed.version == *own.version, own.version.has_value());
    return true;
}

// Whether the image carries a cache index, and what it says.
std::string describeCache(const std::vector<uint8_t> &image) {
    std::vector<uint8_t> index;
    std::string error;
    if (!findResource(image, kCacheIndexResourceType, kCacheIndexResourceId, index, error)) {
        return "none (extracted afresh for every run)";
    }
    return describeCacheIndex(index);
}

}  // namespace

bool applicationIdentity(const std::map<std::string, std::string> &given, const std::string &outputPath,
                         VersionInfo &info, std::string &error) {
    std::map<std::string, std::string> values = given;
    std::string fileName = lastComponent(outputPath);
    values.emplace("ProductName", withoutExtension(fileName));
    values.emplace("FileDescription", values["ProductName"]);
    values.emplace("OriginalFilename", fileName);
    values.emplace("InternalName", withoutExtension(values["OriginalFilename"]));
    info = VersionInfo();
    auto fileVersion = given.find("FileVersion");
    auto productVersion = given.find("ProductVersion");
    uint64_t productNumbers = 0;
    // A product version that is a version is written as one; any other text
    // as given, its leading numbers in the fixed part.
    bool productIsNumber = productVersion != given.end() &&
                           parseVersionNumber(productVersion->second, productNumbers, error);
    if (productVersion != given.end() && !productIsNumber) {
        productNumbers = leadingVersionNumber(productVersion->second);
    }
    info.fileVersion = productVersion != given.end() ? productNumbers : kDefaultVersion;
    if (fileVersion != given.end() && !parseVersionNumber(fileVersion->second, info.fileVersion, error)) {
        error = optionFor("FileVersion") + ": " + error;
        return false;
    }
    info.productVersion = productVersion != given.end() ? productNumbers : info.fileVersion;
    // Written as the numbers were read, so that the text and the fixed part agree.
    values["FileVersion"] = versionText(info.fileVersion);
    if (productVersion == given.end() || productIsNumber) {
        values["ProductVersion"] = versionText(info.productVersion);
    }
    // In name order, as resource compilers commonly list them.
    for (const auto &[key, value] : values) {
        std::u16string text;
        if (!utf8ToUtf16(value, text) || text.find(u'\0') != std::u16string::npos) {
            error = (given.count(key) ? optionFor(key) : "the output's name") + " is not valid UTF-8 text";
            return false;
        }
        info.strings.push_back({key, text});
    }
    return true;
}

bool overlayIdentity(const std::map<std::string, std::string> &given, VersionInfo &info, std::string &error) {
    for (const auto &[key, value] : given) {
        std::string text = value;
        std::string notANumber;
        if (key == "FileVersion") {
            if (!parseVersionNumber(value, info.fileVersion, error)) {
                error = optionFor(key) + ": " + error;
                return false;
            }
            text = versionText(info.fileVersion);
        } else if (key == "ProductVersion") {
            // A version is written as one; other text as given, its leading numbers in the fixed part.
            if (parseVersionNumber(value, info.productVersion, notANumber)) {
                text = versionText(info.productVersion);
            } else {
                info.productVersion = leadingVersionNumber(value);
            }
        }
        std::u16string units;
        if (!utf8ToUtf16(text, units) || units.find(u'\0') != std::u16string::npos) {
            error = optionFor(key) + " is not valid UTF-8 text";
            return false;
        }
        auto kept = std::find_if(info.strings.begin(), info.strings.end(),
                                 [&](const auto &string) { return string.first == key; });
        if (kept != info.strings.end()) {
            kept->second = units;
        } else {
            info.strings.push_back({key, units});
        }
    }
    return true;
}

void printIdentity(const std::vector<uint8_t> &image, const std::string &application,
                   const std::vector<uint8_t> &applicationBytes, FILE *stream) {
    LauncherSettings settings;
    std::string settingsText = describeSettings(image, settings);
    Origins origins;
    if (application.empty()) {
        fprintf(stream, "runs: nothing (the payload holds no file)\n");
    } else if (settings.startProgram) {
        bool compared = compareWithProgram(image, applicationBytes, origins);
        fprintf(stream, "runs: %s, a program the launcher starts%s\n", application.c_str(),
                compared ? "" : " (not an image that can be read)");
    } else {
        fprintf(stream, "runs: %s, a DLL whose run_code the launcher calls\n", application.c_str());
    }
    PeImage headers;
    std::string error;
    fprintf(stream, "subsystem: %s%s\n",
            parsePeImage(image, headers, error) ? subsystemName(headers.subsystem).c_str() : "unreadable",
            origins.subsystem.c_str());
    if (!origins.icon.empty()) {
        fprintf(stream, "icon: %s\n", origins.icon.c_str());
    }
    std::vector<uint8_t> data;
    std::string level;
    if (!findResource(image, kResourceManifest, kProcessManifestId, data, error) ||
        !readExecutionLevel(data, level, error)) {
        level = "none (" + error + ")";
    }
    fprintf(stream, "execution level: %s%s\n", level.c_str(), origins.level.c_str());
    std::string manifest;
    if (!findResource(image, kResourceManifest, kProcessManifestId, data, error) ||
        !describeManifest(data, manifest, error)) {
        manifest = "unreadable (" + error + ")";
    }
    fprintf(stream, "manifest: %s\n", manifest.c_str());
    fprintf(stream, "launcher settings: %s\n", settingsText.c_str());
    fprintf(stream, "cache: %s\n", describeCache(image).c_str());
    if (!origins.version.empty()) {
        fprintf(stream, "version resource: %s\n", origins.version.c_str());
    }
    VersionInfo version;
    if (!findResource(image, kResourceVersion, 1, data, error) || !parseVersionResource(data, version, error)) {
        fprintf(stream, "version: none (%s)\n", error.c_str());
        return;
    }
    fprintf(stream, "file version: %s\nproduct version: %s\n", versionText(version.fileVersion).c_str(),
            versionText(version.productVersion).c_str());
    for (const auto &[key, text] : version.strings) {
        fprintf(stream, "%s: %s\n", key.c_str(), utf16ToUtf8(text).c_str());
    }
}
