#include "paths/environment.h"

#include <windows.h>

#include <wchar.h>

#include "base/bounded_text.h"

namespace {

constexpr size_t kNameCapacity = 40;
constexpr DWORD kValueCapacity = 32768;

}  // namespace

wchar_t *getEnvVar(const char *name) {
    wchar_t wideName[kNameCapacity];
    copyWidened(wideName, kNameCapacity, name);
    wchar_t value[kValueCapacity];
    DWORD length = GetEnvironmentVariableW(wideName, value, kValueCapacity);
    // 0 is both "unset" and "empty"; more than the capacity is the size a
    // value too long for the buffer would need.
    if (length == 0 || length > kValueCapacity) {
        return nullptr;
    }
    return wcsdup(value);
}

bool setEnvVar(const char *name, const wchar_t *value) {
    wchar_t wideName[kNameCapacity];
    copyWidened(wideName, kNameCapacity, name);
    return SetEnvironmentVariableW(wideName, value) != 0;
}

bool unsetEnvVar(const char *name) {
    wchar_t wideName[kNameCapacity];
    copyWidened(wideName, kNameCapacity, name);
    return SetEnvironmentVariableW(wideName, nullptr) != 0;
}
