#pragma once
// Canonical forms of executable paths, so that two names of one file compare
// equal character by character: the final path the file system reports, then
// the directory part in its short form. Both rewrite the buffer in place.
#include <stddef.h>

// Room for a canonical path and its terminator.
constexpr size_t kCanonicalPathCapacity = 4097;

// Replaces `path` by the final path of the file it names, in drive-letter or
// plain UNC form. False, with `path` unchanged, when the file cannot be opened
// or its final path needs `capacity` characters or more; the last error then
// says which (ERROR_INSUFFICIENT_BUFFER for the second).
bool finalPathOf(wchar_t *path, size_t capacity);

// The drive-letter or plain UNC form of a final path as the system gives it:
// "\\?\C:\..." becomes "C:\..." and "\\?\UNC\server\share\..." becomes
// "\\server\share\..."; other "\\?\" paths (volumes without a letter) keep it.
void dropLongPathPrefix(wchar_t *path);

// finalPathOf for paths that must resolve: any failure is an internal-limit abort.
void resolveFinalPath(wchar_t *path, size_t capacity);

// Replaces the directory part by its short form and keeps the file name; the
// path stays as it is when the system has no short form for the directory.
void shortenDirectoryPart(wchar_t *path, size_t capacity);
