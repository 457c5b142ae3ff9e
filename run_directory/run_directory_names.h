#pragma once
// The names a run's directory has in the temporary directory: the one
// kTargetDirectorySpec gives ("onefile_<process id>_<start time>"), and the
// tombstone a directory is renamed to when a run takes it for removal. Only
// names of exactly these forms are ever taken or removed. Free of Windows
// headers.
#include <stddef.h>
#include <stdint.h>

// How every such name begins; written here alone.
#define ZELMOR_RUN_DIRECTORY_PREFIX L"onefile_"
constexpr wchar_t kRunDirectoryPrefix[] = ZELMOR_RUN_DIRECTORY_PREFIX;

// The path template (paths/path_template.h) of a run's directory: in the
// temporary directory, named from the run's parent id and start time, which
// a child inherits, so that it names its parent's directory.
constexpr wchar_t kTargetDirectorySpec[] = L"{TEMP}\\" ZELMOR_RUN_DIRECTORY_PREFIX L"{PID}_{TIME}";

// What a listing of the temporary directory asks for: every name that may
// be a run directory or a tombstone, and more (isRunDirectoryName decides).
constexpr wchar_t kRunDirectoryPattern[] = ZELMOR_RUN_DIRECTORY_PREFIX L"*";
#undef ZELMOR_RUN_DIRECTORY_PREFIX

// What a tombstone's name adds to a run directory's name.
constexpr wchar_t kTombstoneSuffix[] = L".removing";

// Room for "onefile_", two numbers of up to 20 digits, "_", the tombstone
// suffix and the terminator.
constexpr size_t kTombstoneNameCapacity = 64;

// True for exactly "onefile_", one or more ASCII digits, "_", one or more
// ASCII digits: what a run's directory is called while the run may live.
bool isRunDirectoryName(const wchar_t *name);

// True for a run directory name whose numbers fit 32 and 64 bits, with the
// process id and the start time it holds in *processId and *startTime.
bool parseRunDirectoryName(const wchar_t *name, unsigned long *processId, uint64_t *startTime);

// True for a run directory name followed by exactly ".removing": a
// directory that a run has taken and is removing, or left half removed.
// No live run's directory is ever called so.
bool isTombstoneName(const wchar_t *name);

// "onefile_<processId>_<serial>.removing". The taker's own process id keeps
// its names apart from those of every other live process.
void formatTombstoneName(unsigned long processId, uint64_t serial, wchar_t (&name)[kTombstoneNameCapacity]);
