#include "testing/host/host_failure.h"

#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/exit_codes.h"
#include "base/failure.h"
#include "base/messages.h"

namespace {

jmp_buf *activeGuard = nullptr;
FailureRecord record;

// Records the line the launcher would print, without its line feed.
void recordMessage(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    // A wide unit the C locale cannot convert makes vsnprintf fail part way.
    if (vsnprintf(record.message, sizeof record.message, format, arguments) < 0) {
        snprintf(record.message, sizeof record.message, "%s", format);
    }
    va_end(arguments);
    size_t length = strlen(record.message);
    if (length > 0 && record.message[length - 1] == '\n') {
        record.message[length - 1] = '\0';
    }
}

[[noreturn]] void finish(Ending ending, int exitCode, bool toStandardError) {
    record.ending = ending;
    record.exitCode = exitCode;
    record.toStandardError = toStandardError;
    if (activeGuard != nullptr) {
        longjmp(*activeGuard, 1);
    }
    // Outside a harness: end as the launcher would, without running atexit
    // handlers that could hide the state at the failure.
    fprintf(toStandardError ? stderr : stdout, "%s\n", record.message);
    fflush(nullptr);
    _exit(ending == Ending::Abort ? static_cast<int>(kExitAbortWithoutFailFast) : exitCode);
}

}  // namespace

Ending runGuarded(void (*body)(void *), void *context) {
    jmp_buf guard;
    jmp_buf *outer = activeGuard;
    record = FailureRecord{};
    record.ending = Ending::Returned;
    if (setjmp(guard) == 0) {
        activeGuard = &guard;
        body(context);
    }
    activeGuard = outer;
    return record.ending;
}

const FailureRecord &lastFailure() {
    return record;
}

void fatalError(const char *message) {
    recordMessage("%s", message);
    finish(Ending::Exit, kExitReportedFailure, false);
}

void fatalErrorWithCode(const char *message, uint32_t errorCode) {
    printSystemError(message, errorCode);
    finish(Ending::Exit, kExitReportedFailure, true);
}

void printSystemError(const char *message, uint32_t errorCode) {
    record.errorCode = errorCode;
    recordMessage(kSystemErrorFormat, message, static_cast<long>(static_cast<int32_t>(errorCode)), "host");
    if (activeGuard == nullptr) {
        fprintf(stderr, "%s\n", record.message);
    }
}

void fatalOpenForWriting(const wchar_t *path) {
    recordMessage(kOpenForWritingFormat, path);
    finish(Ending::Exit, kExitReportedFailure, true);
}

void fatalSpecExpansion(const wchar_t *spec) {
    recordMessage(kSpecExpansionFormat, spec);
    finish(Ending::Abort, 0, true);
}

void internalLimitAbort() {
    recordMessage("internal-limit abort");
    finish(Ending::Abort, 0, true);
}
