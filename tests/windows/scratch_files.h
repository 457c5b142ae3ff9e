#pragma once
// Files and directories the Windows unit tests make for themselves.
#include <string>

// Removes `path` with everything below it, whether a directory or a file.
void removeTree(const std::wstring &path);
