#pragma once
// The launcher's own process environment, addressed by ASCII names of at most
// 39 characters (a longer name is an internal-limit abort). A change is
// inherited by every process started afterwards, which is how the parent
// hands values to its child. Main thread only.
#include <stddef.h>

// Capacities with the terminator: a name's, and the longest value the
// system gives (32767 characters).
constexpr size_t kEnvNameCapacity = 40;
constexpr size_t kEnvValueCapacity = 32768;

// The variables a parent publishes for its child (and the application).
constexpr char kParentVariable[] = "ZELMOR_ONEFILE_PARENT";
constexpr char kStartVariable[] = "ZELMOR_ONEFILE_START";
constexpr char kDirectoryVariable[] = "ZELMOR_ONEFILE_DIRECTORY";
constexpr char kArgv0Variable[] = "ZELMOR_ORIGINAL_ARGV0";

// A heap copy of the value, which the caller owns; null when the variable is
// unset, empty, longer than 32767 characters or cannot be copied.
wchar_t *getEnvVar(const char *name);

// The system's success flag; the launcher's callers do not examine it.
bool setEnvVar(const char *name, const wchar_t *value);

// Removes the variable from the system's block and from the C runtime's copy
// that the runtime built at start-up, which an application sharing the
// system's runtime hands on (_wenviron, _wspawnve). True when both removals
// report success.
bool unsetEnvVar(const char *name);
