#pragma once
// Failure injection for test builds. Call sites ask seamFails("Operation")
// just before a system operation whose failure the system rarely produces; in
// a test build the environment variable ZELMOR_TEST_FAIL ("Name:N,Name:N")
// makes the Nth such call fail, setting the last error as the system would.
// Release builds compile every check to false.
//
// seamPause("Point") holds the process at a moment a race would need, so
// that a test can act there deterministically: ZELMOR_TEST_PAUSE
// ("Point:N:PATH") makes the Nth call create the file PATH and wait until
// the test has deleted it (at most a minute). Release builds do nothing.
//
// seamCount("Step") counts a step whose number a test asserts (the
// removal's attempts, say) and seamCounted("Step") reads how often this
// process has taken it, so that a test counts instead of timing. At most
// eight steps; release builds count nothing.
//
// A message box would wait for a click no test gives: in a test build the
// environment variable ZELMOR_TEST_DIALOG names a file that receives, in
// place of the box, its title, a line feed and its text (UTF-16LE), and
// seamRecordsDialog returns true; the caller then shows nothing.

#ifdef ZELMOR_TEST_SEAMS
bool seamFails(const char *operation);
bool seamRecordsDialog(const wchar_t *title, const wchar_t *text);
void seamPause(const char *point);
void seamCount(const char *step);
unsigned long seamCounted(const char *step);
#else
inline bool seamFails(const char *) {
    return false;
}
inline bool seamRecordsDialog(const wchar_t *, const wchar_t *) {
    return false;
}
inline void seamPause(const char *) {}
inline void seamCount(const char *) {}
#endif
