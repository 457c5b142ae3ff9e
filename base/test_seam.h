#pragma once
// Failure injection for test builds. Call sites ask seamFails("Operation")
// just before a system operation whose failure the system rarely produces; in
// a test build the environment variable ZELMOR_TEST_FAIL ("Name:N,Name:N")
// makes the Nth such call fail, setting the last error as the system would.
// Release builds compile every check to false.

#ifdef ZELMOR_TEST_SEAMS
bool seamFails(const char *operation);
#else
inline bool seamFails(const char *) {
    return false;
}
#endif
