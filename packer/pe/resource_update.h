#pragma once
// Puts the payload (and optionally a new icon, version resource, manifest,
// execution level, manifest settings, launcher settings, cache index and
// subsystem) into a copy of the launcher stub, rewriting its resource section as the last
// section of the image.
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "format/container.h"
#include "packer/pe/application_manifest.h"
#include "packer/pe/icon_file.h"
#include "packer/pe/version_resource.h"

struct ResourceChanges {
    // Becomes the payload resource, replacing all its languages: it keeps the language
    // of a single existing entry and gets 0x0409 otherwise.
    std::vector<uint8_t> payload;
    // When set, replaces every RT_GROUP_ICON and RT_ICON: the group becomes
    // RT_GROUP_ICON 1 and the images RT_ICON 1..n, all in language 0x0409.
    std::optional<IconResources> icon;
    // When set, becomes RT_VERSION 1, its language handled as the payload's.
    // Its `language` and `codepage` are replaced by the translation of the
    // stub's version resource, or by the resource's language and 1200.
    std::optional<VersionInfo> version;
    // Or, when set, the bytes of RT_VERSION 1 as they are (a program's own),
    // its language handled as the payload's.
    std::optional<std::vector<uint8_t>> versionResource;
    // When set, replaces the manifest (RT_MANIFEST 1), its language handled
    // as the payload's; the changes below then apply to it.
    std::optional<std::vector<uint8_t>> manifest;
    // When not empty, the level the manifest (RT_MANIFEST 1, in each of its
    // languages) requests; refused when the stub's manifest names none.
    std::string executionLevel;
    // Added to the manifest in each of its languages.
    ManifestSettings manifestSettings;
    // When not empty, the launcher's settings record (format/launcher_settings.h),
    // its language handled as the payload's.
    std::vector<uint8_t> settings;
    // When not empty, the cache index (format/cache_index.h), its language
    // handled as the payload's; when empty, an index the stub carries goes,
    // since it would describe another payload.
    std::vector<uint8_t> cacheIndex;
    // When set, the image's Subsystem field (2 a GUI program, 3 a console one).
    std::optional<uint16_t> subsystem;
};

// Writes to `out` the stub with the changed resources; every other resource
// keeps its bytes. The resource section becomes the last section: it is
// rewritten in place when it is last, a base-relocation section that follows
// it moves in front of it, and a stub without resources gets a new section.
// Refuses, with `error` naming the problem, stubs that are signed ("sign
// after packing"), that carry data after their last section, or whose layout
// would need moving anything else. The output depends only on the inputs;
// `out` must be a different vector from `stub`.
bool updateResources(const std::vector<uint8_t> &stub, const ResourceChanges &changes, std::vector<uint8_t> &out,
                     std::string &error);
