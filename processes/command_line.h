#pragma once
// The child's command line: every element quoted so that the standard Windows
// splitting rules give it back unchanged, an empty element as "".
#include <stddef.h>

// The system keeps a command line in at most 32767 characters.
constexpr size_t kChildCommandLineCapacity = 32768;

// Writes `elements` into `line`, separated by single blanks. A line that
// does not fit its 32768 characters is an internal-limit abort.
void composeCommandLine(int count, wchar_t *const *elements, wchar_t (&line)[kChildCommandLineCapacity]);
