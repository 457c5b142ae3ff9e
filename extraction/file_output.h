#pragma once
// The file-system calls of extraction, apart from the entry loop so that the
// loop also builds on the host. Each returns what the loop needs to decide
// and report; error codes are read right after the failed call.
#include <stdint.h>

// Creates or truncates the file for writing; other processes may write to it
// but not read it while it is open. Null on failure.
void *createEntryFile(const wchar_t *path);

// Writes `count` bytes; on failure false, with the system's error in *errorCode.
// Success is the call's result alone: the count written is not compared.
bool writeEntryFile(void *file, const void *data, uint32_t count, uint32_t *errorCode);

void closeEntryFile(void *file);

// True when the directory was created or already exists.
bool createDirectory(const wchar_t *path);
