#pragma once
// What the packer accepts as an entry name: one that extracts to exactly one
// file inside the target directory on Windows. Names here are the stored
// UTF-16 form, components separated by '\'.
#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

// No Windows file system takes a longer file or directory name.
constexpr size_t kComponentUnitLimit = 255;

// Entries land beneath "%TEMP%\onefile_<pid>_<time>\", about this many
// units on a typical system.
constexpr size_t kTypicalTargetDirectoryUnits = 100;

// Programs that are not long-path aware cannot open a path this long.
constexpr size_t kMaxPathUnits = 260;

// The name with its letters folded as Windows folds them to compare names
// without case.
std::u16string foldedName(const std::u16string &name);

// An entry name given as UTF-8 ('/' or '\' between names) as Windows
// compares it: stored form, letters folded; empty when it is no entry name.
std::u16string comparableEntryName(const std::string &name);

// False with `problem` set when a component is empty, "." or "..", longer
// than kComponentUnitLimit, ends with a dot or a blank, holds a character
// Windows refuses in file names (< > : " | ? * or a control character) or is
// a reserved device name (format/name_rules.h, in any case), or has the form
// of an 8.3 short name with a tilde ("PROGRA~1", "app~12.dll"): on NTFS such
// a name can open another entry through its short alias and overwrite it.
bool checkEntryName(const std::u16string &name, std::string &problem);

// The length of the entry's path beneath a typical target directory, and
// whether it reaches kMaxPathUnits.
size_t typicalExtractedPathUnits(const std::u16string &name);
bool mayReachMaxPath(const std::u16string &name);

// The pairs of names that Windows would not extract as two files: the same
// name with letters compared without case, or one name used as a directory
// of the other. Each pair is (earlier index, later index); a name conflicts
// with at most one earlier name.
std::vector<std::pair<size_t, size_t>> findConflictingNames(const std::vector<std::u16string> &names);
