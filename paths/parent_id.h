#pragma once
// The one rule for the process id in ZELMOR_ONEFILE_PARENT, shared by the
// role decision and {PID}: only the canonical decimal text of a process id
// counts. This file is free of Windows headers so that it also builds for
// the host.
#include <stddef.h>

// Room for the decimal text of any unsigned long and its terminator.
constexpr size_t kProcessIdTextCapacity = 24;

// True, with the id in *id, when `text` is ASCII digits only, without sign,
// blank or leading zero, and the number fits 32 bits and is not 0 (no
// process has that id). Anything else, null included, counts as no id.
bool parseParentId(const wchar_t *text, unsigned long *id);

// The canonical decimal text of `id`, the form parseParentId accepts.
void formatProcessId(unsigned long id, wchar_t (&text)[kProcessIdTextCapacity]);
