// The dependency of zelmor-needs-helper.dll. The planted build returns a
// different value, so a test can tell which copy the loader picked.
#ifndef ZELMOR_HELPER_VALUE
#define ZELMOR_HELPER_VALUE 42
#endif

extern "C" __declspec(dllexport) int helper_value(void) { return ZELMOR_HELPER_VALUE; }
