// The PE resource writer against its own reader: every stub it accepts must
// come out as an image that parses again, carries the payload byte for byte
// and keeps every other resource; a refusal must say why. Reads and writes
// outside the buffers are the sanitizers' to catch.
//
// Input: a flags byte (bit 0: also replace the icon; bit 1: also write a
// version resource, which reads the stub's, set the manifest's execution
// level, add visual styles and DPI awareness to it, write a settings record
// and set the console subsystem), the payload size as 3 little-endian bytes,
// then the stub.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "format/launcher_settings.h"
#include "packer/pe/application_manifest.h"
#include "packer/pe/execution_level.h"
#include "packer/pe/icon_file.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/resource_find.h"
#include "packer/pe/resource_tree.h"
#include "packer/pe/resource_update.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t npos = std::string::npos;

// Beyond the 300 KB whose write once landed on the image's own headers.
constexpr size_t kLargestPayload = 512 * 1024;
constexpr size_t kHeaderSize = 4;

[[noreturn]] void fail(const std::string &why) {
    fprintf(stderr, "fuzz_pe_writer: %s\n", why.c_str());
    abort();
}

std::string idKey(const ResourceId &id) {
    return id.named ? "\"" + std::string(id.name.begin(), id.name.end()) + "\"" : std::to_string(id.id);
}

// "type/name/language" -> codepage and data, without the resources the
// writer replaces.
std::map<std::string, std::pair<uint32_t, Bytes>> keptResources(const Bytes &image, bool iconReplaced,
                                                                bool identityReplaced) {
    PeImage headers;
    ResourceTree tree;
    std::string error;
    if (!parsePeImage(image, headers, error) || !parseResourceTree(image, headers, tree, error)) {
        fail("cannot read back the resources: " + error);
    }
    std::map<std::string, std::pair<uint32_t, Bytes>> kept;
    for (const ResourceType &type : tree.types) {
        bool icon = !type.id.named && (type.id.id == kResourceIcon || type.id.id == kResourceGroupIcon);
        bool identity = !type.id.named && (type.id.id == kResourceVersion || type.id.id == kResourceManifest);
        if ((icon && iconReplaced) || (identity && identityReplaced)) {
            continue;
        }
        for (const ResourceName &name : type.names) {
            bool written = sameId(name.id, integerId(kPayloadResourceId)) ||
                           (identityReplaced && sameId(name.id, integerId(kSettingsResourceId)));
            if (sameId(type.id, integerId(kPayloadResourceType)) && written) {
                continue;
            }
            for (const ResourceLanguage &language : name.languages) {
                kept[idKey(type.id) + "/" + idKey(name.id) + "/" + std::to_string(language.language)] = {
                    language.codepage, language.data};
            }
        }
    }
    return kept;
}

IconResources smallIcon() {
    Bytes ico = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 40, 0, 0, 0, 22, 0, 0, 0};
    for (uint8_t i = 0; i < 40; ++i) {
        ico.push_back(i);
    }
    IconResources icon;
    std::string error;
    if (!parseIconFile(ico, icon, error)) {
        fail("the harness's icon is refused: " + error);
    }
    return icon;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeaderSize) {
        return 0;
    }
    bool withIcon = (data[0] & 1) != 0;
    bool withIdentity = (data[0] & 2) != 0;
    size_t payloadSize = (size_t{data[1]} | size_t{data[2]} << 8 | size_t{data[3]} << 16) % (kLargestPayload + 1);
    Bytes stub(data + kHeaderSize, data + size);
    ResourceChanges changes;
    changes.payload.resize(payloadSize);
    for (size_t i = 0; i < payloadSize; ++i) {
        changes.payload[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    }
    if (withIcon) {
        static const IconResources icon = smallIcon();
        changes.icon = icon;
    }
    if (withIdentity) {
        changes.version.emplace();
        changes.version->strings = {{"ProductName", u"fuzz"}};
        changes.executionLevel = "requireAdministrator";
        changes.manifestSettings = {true, DpiAwareness::PerMonitorV2};
        changes.settings = {1, 0, 8, 0, 1, 0, 0, 0};
        changes.subsystem = kSubsystemConsole;
    }
    Bytes out;
    std::string error;
    if (!updateResources(stub, changes, out, error)) {
        if (error.empty()) {
            fail("a refusal without a reason");
        }
        return 0;
    }
    Bytes payload;
    if (!findResource(out, kPayloadResourceType, kPayloadResourceId, payload, error)) {
        fail("the written image does not give its payload back: " + error);
    }
    if (payload != changes.payload) {
        fail("the payload read back differs from the one written");
    }
    if (keptResources(out, withIcon, withIdentity) != keptResources(stub, withIcon, withIdentity)) {
        fail("a resource besides the payload, icon, version and manifest changed");
    }
    if (withIdentity) {
        Bytes version;
        VersionInfo written;
        PeImage headers;
        if (!findResource(out, kResourceVersion, 1, version, error) ||
            !parseVersionResource(version, written, error) || written.strings != changes.version->strings) {
            fail("the version resource does not read back: " + error);
        }
        if (!parsePeImage(out, headers, error) || headers.subsystem != kSubsystemConsole) {
            fail("the subsystem was not set");
        }
        Bytes manifest, record;
        std::string shown;
        if (!findResource(out, kResourceManifest, kProcessManifestId, manifest, error) ||
            !describeManifest(manifest, shown, error) || shown.find("visual styles, DPI awareness") == npos) {
            fail("the manifest's settings do not read back: " + error + shown);
        }
        LauncherSettings settings;
        if (!findResource(out, kSettingsResourceType, kSettingsResourceId, record, error) ||
            !parseLauncherSettings(record.data(), record.size(), settings) || settings.errorDialog) {
            fail("the settings record does not read back: " + error);
        }
    }
    return 0;
}
