#pragma once
// The values of the running system that path-spec variables insert. They sit
// apart from the expansion so that its logic also builds on the host.
#include <stddef.h>
#include <stdint.h>

constexpr size_t kShellFolderCapacity = 260;  // MAX_PATH, what the shell call fills
constexpr int kFolderProfile = 40;            // CSIDL_PROFILE, for {HOME}
constexpr int kFolderLocalAppData = 28;       // CSIDL_LOCAL_APPDATA, for {CACHE_DIR}

// Writes the temporary directory (with its final backslash) into `buffer`,
// or leaves it empty when the system gives none that fits in `capacity`.
void writeTemporaryDirectory(wchar_t *buffer, size_t capacity);

// The current path of a shell folder (CSIDL_PROFILE, CSIDL_LOCAL_APPDATA);
// false when the system cannot give it.
bool getShellFolder(int folderId, wchar_t (&path)[kShellFolderCapacity]);

// argv[0] as the runtime parsed it from the command line; null when missing.
const wchar_t *programName();

unsigned long currentProcessId();

// 100-nanosecond intervals since 1 January 1601 UTC, as one signed number.
int64_t currentSystemTime();
