#include "packer/application_identity.h"

#include <stdio.h>

#include "format/cache_index.h"
#include "format/launcher_settings.h"
#include "packer/cache_index.h"
#include "packer/file_access.h"
#include "packer/pe/application_manifest.h"
#include "packer/pe/execution_level.h"
#include "packer/pe/pe_image.h"
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
std::string describeSettings(const std::vector<uint8_t> &image) {
    std::vector<uint8_t> record;
    std::string error;
    LauncherSettings settings;
    bool present = findResource(image, kSettingsResourceType, kSettingsResourceId, record, error);
    if (!parseLauncherSettings(record.data(), record.size(), settings)) {
        return std::string(present ? "unreadable" : "none") + " (the launcher's defaults: error dialog on)";
    }
    return "version " + std::to_string(settings.version) + ", error dialog " + (settings.errorDialog ? "on" : "off");
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

void printIdentity(const std::vector<uint8_t> &image, FILE *stream) {
    PeImage headers;
    std::string error;
    fprintf(stream, "subsystem: %s\n",
            parsePeImage(image, headers, error) ? subsystemName(headers.subsystem).c_str() : "unreadable");
    std::vector<uint8_t> data;
    std::string level;
    if (!findResource(image, kResourceManifest, kProcessManifestId, data, error) ||
        !readExecutionLevel(data, level, error)) {
        level = "none (" + error + ")";
    }
    fprintf(stream, "execution level: %s\n", level.c_str());
    std::string manifest;
    if (!findResource(image, kResourceManifest, kProcessManifestId, data, error) ||
        !describeManifest(data, manifest, error)) {
        manifest = "unreadable (" + error + ")";
    }
    fprintf(stream, "manifest: %s\n", manifest.c_str());
    fprintf(stream, "launcher settings: %s\n", describeSettings(image).c_str());
    fprintf(stream, "cache: %s\n", describeCache(image).c_str());
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
