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

// Fills `entries` in payload order. False with `error` naming the path when a
// directory cannot be read or holds something that is not a regular file.
bool gatherEntries(const PackInputs &inputs, std::vector<PayloadEntry> &entries, std::string &error);

// Checks every name as Windows will see it beneath the target directory:
// forbidden forms and lengths, and names that would not become separate
// files (letters compared without case, a file used as a directory).
bool checkEntryNames(const std::vector<PayloadEntry> &entries, std::string &error);
