#pragma once
// What a program shows of itself before it runs, which the launcher that
// starts it takes for its own: its subsystem (a console program makes the
// shell wait), the icon Explorer shows, its version resource, and the
// execution level its manifest asks of User Account Control (a program that
// must run elevated cannot be started by a launcher that is not). Read from
// the program's untrusted image.
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "packer/pe/icon_file.h"

struct ProgramFace {
    uint16_t subsystem = 0;  // the header's; 0 when the image cannot be read
    // The first icon group, as Explorer picks it, its images renumbered 1..n
    // as a .ico file's would be.
    std::optional<IconResources> icon;
    std::optional<std::vector<uint8_t>> version;  // RT_VERSION 1 as it is
    std::string executionLevel;                   // asInvoker, highestAvailable, requireAdministrator or ""
};

// Reads the face of the image in `image`. What the program lacks stays
// empty; what it has but what cannot be read (a damaged resource tree, an
// icon group that names images it lacks, a version resource or manifest that
// does not parse, a level Windows does not know) stays empty too and adds a
// line to `warnings` saying which part and why. Of a resource present in
// several languages the first is read.
void readProgramFace(const std::vector<uint8_t> &image, ProgramFace &face, std::vector<std::string> &warnings);
