#pragma once
// Path specs: wide templates in which {NAME} stands for a value of the running
// system. Variables (names match ignoring ASCII case): TEMP, PROGRAM,
// PROGRAM_BASE, PROGRAM_DIR, PID, HOME, CACHE_DIR, VERSION, TIME.
// {PID} and {TIME} come from ZELMOR_ONEFILE_PARENT (when it holds a parent
// id, paths/parent_id.h) and ZELMOR_ONEFILE_START (when it holds digits), so
// a child expands the target directory to its parent's.
#include <stddef.h>

#include "format/version.h"

constexpr wchar_t kHomeSpec[] = L"{HOME}";
constexpr wchar_t kVersionText[] = L"" ZELMOR_VERSION_TEXT;

// Expands `spec` into `output` (`capacity` characters with the terminator).
// False for an unknown name, a literal that does not fit, a shell folder the
// system cannot give, or a temporary directory that is missing or not fully
// qualified; `output` then holds a partial text not to be used.
// A variable's value that does not fit is an internal-limit abort.
bool expandPathSpec(wchar_t *output, const wchar_t *spec, size_t capacity);

// Publishes a start time in ZELMOR_ONEFILE_START that differs from the one
// published before: the clock, or one more than that time when the clock has
// not passed it. The next expansion of {TIME} takes it.
void renewStartTime();

// Appends the path of shell folder `folderId` to the string in `output`;
// false, with `output` unchanged, when the system cannot give it.
bool appendKnownFolder(wchar_t *output, int folderId, size_t capacity);
