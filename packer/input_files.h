#pragma once
// Gathering what goes into the payload: the application DLL first, then the
// files of the given directories and single files, sorted by entry name.
#include <string>
#include <vector>

#include "packer/payload_writer.h"

struct PackInputs {
    std::string applicationDll;
    std::vector<std::string> directories;
    std::vector<PayloadEntry> singleFiles;  // entry name (UTF-8, '/' or '\') and source
};

// Fills `entries` in payload order. Links below a directory are packed as
// what they point to, files and directories alike; each link that leads
// outside its directory's tree adds a line to `warnings` naming it and its
// target, so that nothing from elsewhere ships unnoticed. False with `error`
// naming the path when a directory cannot be read or holds a dangling link,
// a loop of links, or something that is not a regular file.
bool gatherEntries(const PackInputs &inputs, std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                   std::string &error);

// Checks every name as Windows will see it beneath the target directory:
// forbidden forms and lengths, and names that would not become separate
// files (letters compared without case, a file used as a directory). Names
// whose extracted path may reach MAX_PATH add a line to `warnings`.
bool checkEntryNames(const std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                     std::string &error);
