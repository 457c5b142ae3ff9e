#pragma once
// What the packer accepts as an entry name: one that extracts to exactly one
// file inside the target directory on Windows. Names here are the stored
// UTF-16 form, components separated by '\'.
#include <stddef.h>

#include <string>
#include <vector>

// The launcher joins names to "<temp>\onefile_<pid>_<time>\" in a buffer of
// this many units; a temp directory of this length is about the longest a
// real profile gives.
constexpr size_t kTargetPathUnitLimit = 4096;
constexpr size_t kLongestPlausibleTargetDirectory = 260 + 40;

// False with `problem` set when a component is empty, "." or "..", ends with
// a dot or a blank, holds a character Windows refuses in file names (< > : "
// | ? * or a control character) or is a reserved device name (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, with or without an extension, in any case).
bool checkEntryName(const std::u16string &name, std::string &problem);

// True when the name might not fit the launcher's path buffer beneath a long
// temp directory: worth a warning, not a refusal.
bool entryPathMayNotFit(const std::u16string &name);

// Names that Windows would treat as the same file (letters compared without
// case); returns the index of the later one of the first such pair, or -1.
long findDuplicateName(const std::vector<std::u16string> &names, size_t *earlier);
