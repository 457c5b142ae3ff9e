#include "testing/host/host_environment.h"

#include <stdlib.h>
#include <wchar.h>

#include <map>

#include "base/bounded_text.h"
#include "paths/environment.h"

namespace {

std::map<std::string, std::wstring> variables;
std::map<std::string, std::vector<std::wstring>> writes;
// The launcher never frees what getEnvVar hands out; the harness does.
std::vector<wchar_t *> handedOut;

// The same name checks as the Windows seam, so an over-long name aborts here too.
void checkName(const char *name) {
    wchar_t wideName[kEnvNameCapacity];
    copyWidened(wideName, kEnvNameCapacity, name);
}

}  // namespace

void resetHostEnvironment() {
    for (wchar_t *copy : handedOut) {
        free(copy);
    }
    handedOut.clear();
    variables.clear();
    writes.clear();
}

void putHostVariable(const std::string &name, const std::wstring &value) {
    variables[name] = value;
}

bool readHostVariable(const std::string &name, std::wstring *value) {
    auto found = variables.find(name);
    if (found == variables.end()) {
        return false;
    }
    *value = found->second;
    return true;
}

const std::vector<std::wstring> &hostVariableWrites(const std::string &name) {
    return writes[name];
}

wchar_t *getEnvVar(const char *name) {
    checkName(name);
    auto found = variables.find(name);
    // Unset and empty read alike, as with the system's call.
    if (found == variables.end() || found->second.empty() || found->second.size() >= kEnvValueCapacity) {
        return nullptr;
    }
    wchar_t *copy = wcsdup(found->second.c_str());
    if (copy != nullptr) {
        handedOut.push_back(copy);
    }
    return copy;
}

bool setEnvVar(const char *name, const wchar_t *value) {
    checkName(name);
    variables[name] = value;
    writes[name].push_back(value);
    return true;
}

bool unsetEnvVar(const char *name) {
    checkName(name);
    variables.erase(name);
    return true;
}
