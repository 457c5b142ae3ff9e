#pragma once
// Gathering what goes into the payload: the application first (the DLL, or
// the program named among the other files), then the files of the given
// directories and single files, sorted by entry name.
#include <string>
#include <vector>

#include "packer/payload_writer.h"

// A --dir: every file below `path`, under its relative path, below `prefix`
// in the payload ("" for the top).
struct DirectoryInput {
    std::string prefix;
    std::string path;
};

struct PackInputs {
    std::string applicationDll;
    // When not empty, the application is instead the program of this entry
    // name (UTF-8, '/' or '\' between names), among the files below.
    std::string program;
    std::vector<DirectoryInput> directories;
    std::vector<PayloadEntry> singleFiles;  // entry name (UTF-8, '/' or '\') and source
    std::vector<std::string> excludes;      // --exclude patterns (packer/exclude_patterns.h), for the directories
    // The file the pack writes: never packed from a directory, and refused
    // where a directory holds another name for it.
    std::string output;
};

// Fills `entries` in payload order. Links below a directory are packed as
// what they point to, files and directories alike; each link that leads
// outside its directory's tree adds a line to `warnings` naming it and its
// target, so that nothing from elsewhere ships unnoticed. The output and the
// packer's unfinished files beside it are left out of a directory that holds
// them, with a warning. False with `error` naming the path when a directory
// cannot be read or holds a dangling link, a loop of links, something that
// is not a regular file, or the output under another name, and when no file
// has the program's name (letters compared without case).
bool gatherEntries(const PackInputs &inputs, std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                   std::string &error);

// False with `error` when the existing file `output` is one of `inputs`,
// however each is spelled or linked: writing it would destroy that input.
bool checkOutputApart(const std::string &output, const std::vector<std::string> &inputs, std::string &error);

// Checks every name as Windows will see it beneath the target directory:
// forbidden forms and lengths, and names that would not become separate
// files (letters compared without case, a file used as a directory). Each
// refused name or pair adds a line to `problems`; names whose extracted path
// may reach MAX_PATH add a line to `warnings`. True when nothing is refused.
bool checkEntryNames(const std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                     std::vector<std::string> &problems);
