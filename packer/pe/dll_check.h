#pragma once
// Checks that a file can be the packed application: a DLL the launcher loads
// and whose exported run_code it calls, or a program it starts.
#include <stdint.h>

#include <string>
#include <vector>

// True when `bytes` is a PE32+ x86-64 DLL whose export directory names
// run_code. Otherwise false with `error` saying why ("not a DLL ...",
// "does not export run_code", "not a PE32+ image ...", ...); callers prefix
// the file's name.
bool checkApplicationDll(const std::vector<uint8_t> &bytes, std::string &error);

// True when `bytes` is a PE32+ x86-64 image linked as a program, not a DLL,
// for the GUI or the console subsystem: what CreateProcessW starts.
// Otherwise false with `error` saying why; callers prefix the file's name.
bool checkProgram(const std::vector<uint8_t> &bytes, std::string &error);
