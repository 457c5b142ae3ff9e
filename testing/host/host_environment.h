#pragma once
// The in-memory process environment behind paths/environment.h on the host.
#include <string>
#include <vector>

// Empties the environment and frees every copy getEnvVar handed out.
void resetHostEnvironment();

// Sets a variable directly, without the launcher's name checks.
void putHostVariable(const std::string &name, const std::wstring &value);

// The current value; false when unset.
bool readHostVariable(const std::string &name, std::wstring *value);

// Every value the launcher set for `name` through setEnvVar, in order.
const std::vector<std::wstring> &hostVariableWrites(const std::string &name);
