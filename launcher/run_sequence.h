#pragma once
// The launcher's run from entry to exit, in both roles. Returns the process
// exit code; every failure ends the process inside instead.
int runLauncher(int argumentCount, wchar_t **arguments);
