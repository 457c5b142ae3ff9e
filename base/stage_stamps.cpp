#include "base/stage_stamps.h"

#include <windows.h>

#include <stdio.h>

namespace {

struct Stamp {
    const char *stage;
    FILETIME time;
};

Stamp stamps[16];
int stampCount = 0;

}  // namespace

void stampStage(const char *stage) {
    if (stampCount < 16) {
        stamps[stampCount].stage = stage;
        GetSystemTimeAsFileTime(&stamps[stampCount].time);
        stampCount++;
    }
}

void writeStageStamps() {
    wchar_t path[1024];
    DWORD length = GetEnvironmentVariableW(L"ZELMOR_TEST_STAMPS", path, 1024);
    if (length == 0 || length >= 1024) {
        return;
    }
    char text[16 * 96];
    size_t used = 0;
    for (int i = 0; i < stampCount && used < sizeof text; i++) {
        unsigned long long time =
            (static_cast<unsigned long long>(stamps[i].time.dwHighDateTime) << 32) | stamps[i].time.dwLowDateTime;
        int written = snprintf(text + used, sizeof text - used, "%lu %s=%llu\n", GetCurrentProcessId(),
                               stamps[i].stage, time);
        used += written > 0 ? static_cast<size_t>(written) : 0;
    }
    used = used < sizeof text ? used : sizeof text - 1;
    // Parent and child append to the same file, each in one write.
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    // A short record shows as missing stages in the benchmark.
    WriteFile(file, text, static_cast<DWORD>(used), &written, nullptr);
    CloseHandle(file);
}
