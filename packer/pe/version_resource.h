#pragma once
// The version resource (RT_VERSION 1): what Explorer's Details tab and
// GetFileVersionInfoW/VerQueryValueW show of an executable. Built from the
// packer's identity options, and read back for --list.
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

constexpr uint16_t kResourceVersion = 16;  // RT_VERSION
constexpr uint16_t kCodePageUnicode = 1200;

struct VersionInfo {
    // Four 16-bit parts, the first in the highest bits: 1.2.3.4 is 0x0001000200030004.
    uint64_t fileVersion = 0;
    uint64_t productVersion = 0;
    // The string table's translation, as in its key "040904b0".
    uint16_t language = 0x0409;
    uint16_t codepage = kCodePageUnicode;
    // StringFileInfo values in the order written: a name such as "ProductName"
    // (ASCII) and its text.
    std::vector<std::pair<std::string, std::u16string>> strings;
};

// Reads a version of one to four decimal numbers from 0 to 65535 separated
// by dots, nothing else; the parts not given are 0, so "1.2.3" is 1.2.3.0.
// False with `error` saying what is wrong.
bool parseVersionNumber(const std::string &text, uint64_t &version, std::string &error);

// The numbers a version text of free form starts with ("1.2.3.4-beta" gives
// 1.2.3.4, "v2.1 rc" 2.1.0.0): as many as parseVersionNumber would take, up
// to the first character that is not part of them, after one leading 'v' or
// 'V'; 0.0.0.0 when there are none.
uint64_t leadingVersionNumber(const std::string &text);

// "A.B.C.D".
std::string versionText(uint64_t version);

// The resource's bytes: VS_VERSIONINFO with its fixed part (an application
// for Windows NT, no flags), one string table under `language` and
// `codepage`, and the same pair as the only translation. False when the
// whole would exceed the 65535 bytes its 16-bit length can count.
bool buildVersionResource(const VersionInfo &info, std::vector<uint8_t> &data, std::string &error);

// The fixed part's two versions, the first string table's translation and
// its strings. Every length is checked against the data; false with `error`
// saying what is malformed.
bool parseVersionResource(const std::vector<uint8_t> &data, VersionInfo &info, std::string &error);
