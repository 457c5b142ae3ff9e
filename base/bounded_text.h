#pragma once
// The one copy/append helper for every fixed wide buffer of the launcher.
// A capacity counts characters including the terminator. Text that does not
// fit together with its terminator ends the process with the internal-limit
// abort; callers never see a truncated string.
#include <stddef.h>

// Appends `count` units behind the first `length` units of `buffer` (which
// must be shorter than `capacity`), terminates it and returns the new length.
size_t appendUnits(wchar_t *buffer, size_t capacity, size_t length, const wchar_t *units, size_t count);

// Appends `text` behind the string already in `buffer`; returns the new length.
size_t appendText(wchar_t *buffer, size_t capacity, const wchar_t *text);

// Replaces the contents of `buffer` by `text`; returns its length.
size_t copyText(wchar_t *buffer, size_t capacity, const wchar_t *text);

// Length of the string in `buffer`; a buffer without a terminator within
// `capacity` is an internal-limit abort.
size_t boundedLength(const wchar_t *buffer, size_t capacity);

// Replaces the contents of `buffer` by the ASCII text `narrow`, widened byte
// by byte with the runtime's conversion in its default "C" locale. A byte
// that does not convert to exactly one wide character is an internal-limit
// abort, as is a text that does not fit.
size_t copyWidened(wchar_t *buffer, size_t capacity, const char *narrow);
