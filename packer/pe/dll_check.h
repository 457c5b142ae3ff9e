#pragma once
// Checks that a file can be the packed application: the launcher loads it as
// a DLL and calls its exported run_code.
#include <stdint.h>

#include <string>
#include <vector>

// True when `bytes` is a PE32+ x86-64 DLL whose export directory names
// run_code. Otherwise false with `error` saying why ("not a DLL ...",
// "does not export run_code", "not a PE32+ image ...", ...); callers prefix
// the file's name.
bool checkApplicationDll(const std::vector<uint8_t> &bytes, std::string &error);
