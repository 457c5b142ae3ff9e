#pragma once
// The long-path form of a fully qualified path ("\\?\C:\...",
// "\\?\UNC\server\share\..."), in which the system takes a path of up to
// 32767 characters as it stands.
#include <stddef.h>

// The longest path the system handles, room for "\*" behind it (a search)
// and the terminator.
constexpr size_t kLongPathCapacity = 32767 + 2 + 1;

// Writes the long-path form of `path` into `out` (kLongPathCapacity
// characters), normalised first, because the "\\?\" form hands "..", "/" and
// trailing dots to the file system as they stand; without a separator at
// the end. Returns its length; 0, with `out` not to be used, when `path` is
// empty, not fully qualified (paths/path_root.h), a root, or too long.
size_t writeLongPathForm(const wchar_t *path, wchar_t *out);

// The long-path form of `path` (as writeLongPathForm) split in two: the
// directory that holds it into `directory` (kLongPathCapacity characters),
// with a separator at its end only where it is a root, which needs one to
// name the root directory; and the last component into `name` (`capacity`
// characters). Returns the name's length; 0 when writeLongPathForm gives
// nothing or the name does not fit.
size_t splitLongPathForm(const wchar_t *path, wchar_t *directory, wchar_t *name, size_t capacity);
