#include "base/failure.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "base/launcher_state.h"
#include "base/messages.h"
#include "base/test_seam.h"

namespace {

constexpr DWORD kFastFailFatalAppExit = 7;
constexpr DWORD kStatusFatalAppExit = 0x40000015;

void (*failureCleanup)() = nullptr;

// Runs the registered cleanup once: a failure inside it cannot start it again.
void runFailureCleanup() {
    void (*cleanup)() = failureCleanup;
    failureCleanup = nullptr;
    if (cleanup != nullptr) {
        // The message goes out first: the removal may take a while.
        fflush(stdout);  // not examined, as no write of a message is
        cleanup();
    }
}

[[noreturn]] void fastFail() {
    // __fastfail(FAST_FAIL_FATAL_APP_EXIT); mingw-w64 does not declare the
    // intrinsic, so this is its definition: interrupt 0x29 with the code in ecx.
    __asm__ __volatile__("int $0x29" : : "c"(kFastFailFatalAppExit) : "memory");
    __builtin_unreachable();
}

}  // namespace

void setFailureCleanup(void (*cleanup)()) {
    failureCleanup = cleanup;
}

void fatalError(const char *message) {
    puts(message);
    runFailureCleanup();
    exit(2);
}

void fatalErrorWithCode(const char *message, uint32_t errorCode) {
    printSystemError(message, errorCode);
    runFailureCleanup();
    exit(2);
}

void printSystemError(const char *message, uint32_t errorCode) {
    char *text = nullptr;
    // The text is not released: the process ends right after the message.
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        errorCode, 1033, reinterpret_cast<char *>(&text), 0, nullptr);
    const char *shown = (length == 0 || text == nullptr) ? kNoSystemText : text;
    fprintf(stderr, kSystemErrorFormat, message, static_cast<long>(static_cast<int32_t>(errorCode)), shown);
}

void fatalOpenForWriting() {
    fprintf(stderr, kOpenForWritingFormat, launcherState.entryPath);
    runFailureCleanup();
    exit(2);
}

void fatalSpecExpansion(const wchar_t *spec) {
    fprintf(stderr, kSpecExpansionFormat, spec);
    runFailureCleanup();
    internalLimitAbort();
}

// The C runtime's abort() may pop up a message box (msvcrt does in a GUI
// program), which would hang an unattended install. This ends the process the
// way the universal runtime's abort does by default, without any message:
// fail-fast where the system has it, else a silent fault report and code 3.
void internalLimitAbort() {
    if (!seamFails("IsProcessorFeaturePresent") && IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE)) {
        fastFail();
    }
    // No error dialog may stand between the report and the end of the process.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = kStatusFatalAppExit;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    CONTEXT context = {};
    RtlCaptureContext(&context);
    record.ExceptionAddress = reinterpret_cast<void *>(context.Rip);
    EXCEPTION_POINTERS pointers = {&record, &context};
    SetUnhandledExceptionFilter(nullptr);
    // Its verdict does not matter: the process ends with 3 whatever it says.
    UnhandledExceptionFilter(&pointers);
    TerminateProcess(GetCurrentProcess(), 3);
    __builtin_unreachable();
}
