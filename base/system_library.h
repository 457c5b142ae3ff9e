#pragma once
// Functions of system DLLs that only some runs need, loaded when first asked
// for instead of imported: every DLL an executable imports is loaded and
// initialised at each start of the process, whichever role it takes.
// SHELL32, which brings the window system along, is loaded only for the home
// folder, which a run asks for only off its usual road; USER32 only to show
// a failure that no standard handle can carry.

enum class SystemLibrary { Shell32, User32 };

// The address of `function` in `library`, which is loaded from the system
// directory only, once per process. Null when the library cannot be loaded or
// lacks the function; the last error then says why, as that call left it, so
// the caller reports it as it would a failure of the function itself.
void *systemFunction(SystemLibrary library, const char *function);
