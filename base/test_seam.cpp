#include "base/test_seam.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

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

void seamAwait(const char *point) {
    // Point:FILE, where FILE is a Windows path with a colon of its own.
    wchar_t spec[1024];
    DWORD length = GetEnvironmentVariableW(L"ZELMOR_TEST_AWAIT", spec, 1024);
    size_t pointLength = strlen(point);
    if (length == 0 || length >= 1024 || length <= pointLength || spec[pointLength] != L':') {
        return;
    }
    for (size_t i = 0; i < pointLength; i++) {
        if (spec[i] != static_cast<wchar_t>(point[i])) {
            return;
        }
    }
    const wchar_t *file = spec + pointLength + 1;
    HANDLE created = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        return;  // no test can be waiting for a file that is not there
    }
    CloseHandle(created);  // an empty file; a failed close changes nothing
    for (int waited = 0; waited < 60000 && GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES; waited += 10) {
        Sleep(10);
    }
}
