#pragma once
// The path of the launcher's own executable as the system reports it: the
// one place the launcher asks the system for it (paths/own_module.h derives
// the forms a run uses).
#include <stddef.h>

// Room for the path and its terminator.
constexpr size_t kOwnModulePathCapacity = 4096;

// Writes the own executable's path into `path`. False, with `path` empty,
// when the system gives none or one that does not fit: a path cut short
// would name another file.
bool readOwnModulePath(wchar_t (&path)[kOwnModulePathCapacity]);
