#pragma once
// The stages of a start, for the benchmarks' breakdown of it. In the test
// build, stampStage("Stage") notes when a stage was reached, and at the
// process's end writeStageStamps appends the stamps to the file
// ZELMOR_TEST_STAMPS names (if set), one "PID Stage=FILETIME" line each: the
// clock the benchmark and the probe read. Release builds keep no stamps.

#ifdef ZELMOR_TEST_SEAMS
void stampStage(const char *stage);
void writeStageStamps();
#else
inline void stampStage(const char *) {}
inline void writeStageStamps() {}
#endif
