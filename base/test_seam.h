#pragma once
// Failure injection for test builds. Call sites ask seamFails("Operation")
// just before a system operation whose failure the system rarely produces; in
// a test build the environment variable ZELMOR_TEST_FAIL ("Name:N,Name:N")
// makes the Nth such call fail, setting the last error as the system would.
// Release builds compile every check to false.
//
// seamAwait("Point") lets a test decide which side of a race comes first:
// with ZELMOR_TEST_AWAIT=Point:FILE, a test build creates FILE there and
// waits until the test has deleted it (at most a minute). Release builds
// compile it to nothing.

#ifdef ZELMOR_TEST_SEAMS
bool seamFails(const char *operation);
void seamAwait(const char *point);
#else
inline bool seamFails(const char *) {
    return false;
}
inline void seamAwait(const char *) {}
#endif
