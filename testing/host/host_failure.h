#pragma once
// The host stand-in for the launcher's failure roads. Inside runGuarded every
// fatal operation records how the launcher would have ended and jumps back,
// so a harness can check the outcome and go on with the next input.
#include <stdint.h>

enum class Ending { Returned, Exit, Abort };

struct FailureRecord {
    Ending ending;
    int exitCode;        // meaningful for Ending::Exit
    bool toStandardError;
    uint32_t errorCode;  // fatalErrorWithCode only, else 0
    char message[512];   // the line the launcher would print, without its line feed
};

// Runs body(context) and reports how it ended; after a jump back the body's
// own locals are gone without their destructors, so it must keep anything
// that owns memory in `context`.
Ending runGuarded(void (*body)(void *), void *context);

// What the most recent guarded run recorded (ending Returned if nothing).
const FailureRecord &lastFailure();
