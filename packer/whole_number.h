#pragma once
// Numbers given on the packer tools' command lines.

// True when `text` is a whole decimal number from `lowest` to `highest`.
bool parseWholeNumber(const char *text, int lowest, int highest, int &value);
