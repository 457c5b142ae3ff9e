#pragma once
// Turns a .ico file into the resources an executable's icon is made of: one
// RT_GROUP_ICON directory and one RT_ICON resource per image.
#include <stdint.h>

#include <string>
#include <vector>

struct IconResources {
    // GRPICONDIR and its 14-byte GRPICONDIRENTRYs; entry i names RT_ICON id i + 1.
    std::vector<uint8_t> group;
    std::vector<std::vector<uint8_t>> images;  // images[i] becomes RT_ICON id i + 1
};

// Parses the ICONDIR and its ICONDIRENTRYs, checking every image against the
// file. Fails with a message ("not an icon file ...", "icon image 2 runs past
// the end of the file", ...) that callers prefix with the file's name.
bool parseIconFile(const std::vector<uint8_t> &bytes, IconResources &icon, std::string &error);
