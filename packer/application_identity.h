#pragma once
// The packed application's own identity: the version resource built from the
// packer's identity options, and what --list shows of an executable's
// subsystem, manifest, launcher settings, cache and version.
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "packer/pe/version_resource.h"

// An identity option and the version string it sets.
struct IdentityOption {
    const char *option;
    const char *key;
};

extern const IdentityOption kIdentityOptions[7];

// The version resource for the options given (`given` maps version string
// names such as "ProductName" to UTF-8 values; none given is the default
// identity). What is not given follows from the output's file name:
// ProductName is that name without its last extension, FileDescription the
// product name, OriginalFilename the file name, InternalName the original
// file name without its extension. FileVersion takes one to four numbers
// (written as four); ProductVersion may be any text, whose leading numbers
// fill the fixed part's product version (a version is written as four
// numbers, other text as given). Without them, FileVersion is the product
// version's numbers or 1.0.0.0, and ProductVersion the file version.
// CompanyName and LegalCopyright appear only when given. False with `error`
// naming the option whose value is not a version or not valid UTF-8.
bool applicationIdentity(const std::map<std::string, std::string> &given, const std::string &outputPath,
                         VersionInfo &info, std::string &error);

// A program's own version values with the identity options given laid over
// them (`given` as above): each value given replaces the program's, the
// others stay. A file version given sets the fixed file version too; a
// product version the fixed product version (its leading numbers when it is
// other text). False with `error` naming the option whose value is not a
// version or not valid UTF-8.
bool overlayIdentity(const std::map<std::string, std::string> &given, VersionInfo &info, std::string &error);

// Prints what a packed image tells of its identity, one "name: value" line
// each: what it runs (`application`, the payload's first entry, whose bytes
// are `applicationBytes`: a DLL or a program), the subsystem, the execution
// level its manifest requests and the settings it makes, the launcher's
// settings record, its cache index, the fixed file and product version, and the strings of
// its version resource. Where it runs a program, also its icon, and for the
// subsystem, icon, execution level and version resource whether they are
// the program's. Unreadable parts are shown as such, never fatal.
void printIdentity(const std::vector<uint8_t> &image, const std::string &application,
                   const std::vector<uint8_t> &applicationBytes, FILE *stream);
