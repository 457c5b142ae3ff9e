#include "base/test_seam.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

// ZELMOR_TEST_FAIL=Name:N[:error],... fails the Nth call of Name (counting
// from 1) and leaves `error` (default ERROR_NOT_ENOUGH_MEMORY) as the last error.
struct Injection {
    char operation[64];
    unsigned long failingCall;
    unsigned long errorCode;
    unsigned long callsSoFar;
};

Injection injections[16];
int injectionCount = -1;

void loadInjections() {
    injectionCount = 0;
    char spec[1024];
    DWORD length = GetEnvironmentVariableA("ZELMOR_TEST_FAIL", spec, sizeof spec);
    if (length == 0 || length >= sizeof spec) {
        return;
    }
    char *save = nullptr;
    for (char *item = strtok_r(spec, ",", &save); item && injectionCount < 16; item = strtok_r(nullptr, ",", &save)) {
        Injection &injection = injections[injectionCount];
        char *colon = strchr(item, ':');
        if (!colon || static_cast<size_t>(colon - item) >= sizeof injection.operation) {
            continue;
        }
        memcpy(injection.operation, item, colon - item);
        injection.operation[colon - item] = '\0';
        char *end = nullptr;
        injection.failingCall = strtoul(colon + 1, &end, 10);
        injection.errorCode = (*end == ':') ? strtoul(end + 1, nullptr, 0) : ERROR_NOT_ENOUGH_MEMORY;
        injection.callsSoFar = 0;
        injectionCount++;
    }
}

}  // namespace

bool seamFails(const char *operation) {
    if (injectionCount < 0) {
        loadInjections();
    }
    // Every entry for the operation counts the call, so "X:1,X:2" fails the
    // first two calls.
    bool fails = false;
    for (int i = 0; i < injectionCount; i++) {
        Injection &injection = injections[i];
        if (strcmp(injection.operation, operation) == 0 && ++injection.callsSoFar == injection.failingCall) {
            SetLastError(injection.errorCode);
            fails = true;
        }
    }
    return fails;
}

bool seamRecordsDialog(const wchar_t *title, const wchar_t *text) {
    wchar_t path[1024];
    DWORD length = GetEnvironmentVariableW(L"ZELMOR_TEST_DIALOG", path, 1024);
    if (length == 0 || length >= 1024) {
        return false;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const wchar_t *parts[] = {title != nullptr ? title : L"", L"\n", text};
    for (const wchar_t *part : parts) {
        DWORD written = 0;
        // A short record fails the test that reads it.
        WriteFile(file, part, static_cast<DWORD>(wcslen(part) * sizeof(wchar_t)), &written, nullptr);
    }
    CloseHandle(file);
    return true;
}
