#pragma once
// Entry names arrive as UTF-8 and are stored as the UTF-16 the launcher hands
// to the Windows file API.
#include <stddef.h>

#include <string>

#include "format/container.h"

// Strict: refuses overlong forms, encoded surrogates, code points above
// U+10FFFF and cut-off sequences, so no two inputs map to the same name.
bool utf8ToUtf16(const std::string &utf8, std::u16string &utf16);

// The name as stored: UTF-16, '/' turned into '\'. Refuses empty names, U+0000
// (it would end the name early) and names of kEntryNameUnitLimit units or more.
bool entryNameToUtf16(const std::string &name, std::u16string &units, std::string &error);

// The reverse, for showing stored names; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(const std::u16string &utf16);
