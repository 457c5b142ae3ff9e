#pragma once
// The execution level an application manifest (RT_MANIFEST) asks of User
// Account Control: the level attribute of its requestedExecutionLevel element.
#include <stdint.h>

#include <string>
#include <vector>

constexpr uint16_t kResourceManifest = 24;  // RT_MANIFEST
constexpr uint16_t kProcessManifestId = 1;  // the manifest the loader reads for an executable

// The value of `level` in the manifest's one requestedExecutionLevel element
// (comments, processing instructions and CDATA skipped; any namespace
// prefix). False with `error` when there is none, several, or one without a
// level.
bool readExecutionLevel(const std::vector<uint8_t> &manifest, std::string &level, std::string &error);

// Puts `level` in place of that value; every other byte stays as it was.
bool setExecutionLevel(std::vector<uint8_t> &manifest, const std::string &level, std::string &error);
