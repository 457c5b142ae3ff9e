#include "paths/environment.h"

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include "base/bounded_text.h"

wchar_t *getEnvVar(const char *name) {
    wchar_t wideName[kEnvNameCapacity];
    copyWidened(wideName, kEnvNameCapacity, name);
    wchar_t value[kEnvValueCapacity];
    DWORD length = GetEnvironmentVariableW(wideName, value, static_cast<DWORD>(kEnvValueCapacity));
    // 0 is both "unset" and "empty"; more than the capacity is the size a
    // value too long for the buffer would need.
    if (length == 0 || length > kEnvValueCapacity) {
        return nullptr;
    }
    return wcsdup(value);
}

bool setEnvVar(const char *name, const wchar_t *value) {
    wchar_t wideName[kEnvNameCapacity];
    copyWidened(wideName, kEnvNameCapacity, name);
    return SetEnvironmentVariableW(wideName, value) != 0;
}

bool unsetEnvVar(const char *name) {
    wchar_t wideName[kEnvNameCapacity];
    copyWidened(wideName, kEnvNameCapacity, name);
    const bool removed = SetEnvironmentVariableW(wideName, nullptr) != 0;
    // "NAME=" removes the runtime's entry; one unit more than a name takes
    // holds the "=".
    wchar_t assignment[kEnvNameCapacity + 1];
    size_t length = copyText(assignment, kEnvNameCapacity + 1, wideName);
    appendUnits(assignment, kEnvNameCapacity + 1, length, L"=", 1);
    return _wputenv(assignment) == 0 && removed;
}
