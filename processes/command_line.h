#pragma once
// The child's command line: every element quoted so that the standard Windows
// splitting rules give it back unchanged, an empty element as "".

// Writes `elements` into launcherState.childCommandLine, separated by single
// blanks. A line that does not fit its 32768 characters is an internal-limit abort.
void composeCommandLine(int count, wchar_t *const *elements);
