#pragma once
// Functions of system DLLs that only some runs need, loaded when first asked
// for instead of imported: every DLL an executable imports is loaded and
// initialised at each start of the process, whichever role it takes. The
// parent calls into SHELL32, which brings the window system along, and
// ADVAPI32, for the access list of the directory it makes; USER32 is loaded
// only to show a failure that no standard handle can carry.

enum class SystemLibrary { Shell32, Advapi32, User32 };

// The address of `function` in `library`, which is loaded from the system
// directory only, once per process. Null when the library cannot be loaded or
// lacks the function; the last error then says why, as that call left it, so
// the caller reports it as it would a failure of the function itself.
void *systemFunction(SystemLibrary library, const char *function);
