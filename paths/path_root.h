#pragma once
// Where the root of a fully qualified Windows path ends. Free of Windows
// headers, so that it also builds for the host.
#include <stddef.h>

// The length of the root of `path` when the path is fully qualified: 3 for
// "C:\..." (any ASCII letter), and for "\\server\share\..." the server, the
// share and the separator after it when there is one; the same behind "\\?\"
// and "\\?\UNC\". 0 for every other path: relative ("x", "C:x"), rooted on
// the current drive ("\x"), a server without a share, a device ("\\.\x").
// "/" separates like "\" except behind "\\?\", where Windows takes it literally.
size_t qualifiedRootLength(const wchar_t *path);
