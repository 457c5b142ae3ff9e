#pragma once
// Configurable values behind paths/system_values.h on the host.
#include <stdint.h>

#include <string>

struct HostSystemValues {
    std::wstring temporaryDirectory;  // as the system gives it, final backslash included
    bool hasProfile;
    std::wstring profile;             // CSIDL_PROFILE
    bool hasLocalAppData;
    std::wstring localAppData;        // CSIDL_LOCAL_APPDATA
    bool hasProgramName;
    std::wstring programName;         // argv[0]
    unsigned long processId;
    int64_t systemTime;
};

// The values every seam call reads; a harness sets them before each run.
// Shell folders longer than the shell's 259 characters read as unavailable.
HostSystemValues &hostSystemValues();
