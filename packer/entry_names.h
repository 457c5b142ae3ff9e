#pragma once
// What the packer accepts as an entry name: one that extracts to exactly one
// file inside the target directory on Windows. Names here are the stored
// UTF-16 form, components separated by '\'.
#include <stddef.h>

#include <string>
#include <vector>

// No Windows file system takes a longer file or directory name.
constexpr size_t kComponentUnitLimit = 255;

// False with `problem` set when a component is empty, "." or "..", longer
// than kComponentUnitLimit, ends with a dot or a blank, holds a character
// Windows refuses in file names (< > : " | ? * or a control character) or is
// a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without
// an extension, in any case).
bool checkEntryName(const std::u16string &name, std::string &problem);

// Two names that Windows would not extract as two files: the same name with
// letters compared without case, or one name used as a directory of the
// other. Returns the index of the later one of the first such pair, or -1.
long findConflictingName(const std::vector<std::u16string> &names, size_t *earlier);
