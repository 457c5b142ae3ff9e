#include "base/failure.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "base/bounded_text.h"
#include "base/error_dialog.h"
#include "base/exit_codes.h"
#include "base/messages.h"
#include "base/test_seam.h"

namespace {

constexpr DWORD kFastFailFatalAppExit = 7;
constexpr DWORD kStatusFatalAppExit = 0x40000015;

// The text of a failure's message box: the line written to the stream,
// without its line feed. A path (up to 4096 characters) and a message fit
// whole; a system text beyond the room left is cut short.
constexpr size_t kDialogTextCapacity = 8192;
wchar_t dialogText[kDialogTextCapacity];
size_t dialogLength = 0;
// A system error's line, formatted again for the box.
constexpr size_t kSystemErrorLineCapacity = 2048;
char systemErrorLine[kSystemErrorLineCapacity];

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

// Appends what fits of `count` units to the box's text.
void appendToDialog(const wchar_t *units, size_t count) {
    size_t room = kDialogTextCapacity - 1 - dialogLength;
    dialogLength = appendUnits(dialogText, kDialogTextCapacity, dialogLength, units, count < room ? count : room);
}

// Appends `count` bytes of narrow text in the system's code page, in which
// the messages (ASCII) and the system's texts come.
void appendNarrowToDialog(const char *text, size_t count) {
    static wchar_t wide[kSystemErrorLineCapacity];
    int converted = count == 0 ? 0
                               : MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(count), wide,
                                                     static_cast<int>(kSystemErrorLineCapacity));
    if (converted > 0) {
        appendToDialog(wide, static_cast<size_t>(converted));
        return;
    }
    // Not convertible as a whole: ASCII as it is, anything else as '?'.
    for (size_t i = 0; i < count; i++) {
        wchar_t unit = static_cast<unsigned char>(text[i]) < 0x80 ? static_cast<wchar_t>(text[i]) : L'?';
        appendToDialog(&unit, 1);
    }
}

// Shows the line just written, `line` with `path` in place of its "%ls",
// in a message box where no standard handle could carry it.
void showInDialog(const char *line, const wchar_t *path) {
    if (!errorDialogWanted()) {
        return;
    }
    dialogLength = appendUnits(dialogText, kDialogTextCapacity, 0, L"", 0);
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        length--;
    }
    const char *insert = path != nullptr ? strstr(line, "%ls") : nullptr;
    size_t before = insert != nullptr ? static_cast<size_t>(insert - line) : length;
    appendNarrowToDialog(line, before);
    if (insert != nullptr) {
        appendToDialog(path, wcslen(path));
        appendNarrowToDialog(insert + 3, length - before - 3);
    }
    showErrorDialog(dialogText);
}

// The system's English text for `errorCode`, or kNoSystemText. It is not
// released: the process ends right after the message.
const char *systemText(uint32_t errorCode) {
    char *text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        errorCode, 1033, reinterpret_cast<char *>(&text), 0, nullptr);
    return (length == 0 || text == nullptr) ? kNoSystemText : text;
}

void writeSystemError(const char *message, uint32_t errorCode, const char *text) {
    fprintf(stderr, kSystemErrorFormat, message, static_cast<long>(static_cast<int32_t>(errorCode)), text);
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

// Each reported failure writes its line, removes what the run made, and only
// then shows the box, which may wait long for a user.
void fatalError(const char *message) {
    puts(message);
    runFailureCleanup();
    showInDialog(message, nullptr);
    exit(kExitReportedFailure);
}

void fatalErrorWithCode(const char *message, uint32_t errorCode) {
    const char *text = systemText(errorCode);
    writeSystemError(message, errorCode, text);
    runFailureCleanup();
    // A line longer than the room is cut short in the box only.
    if (snprintf(systemErrorLine, sizeof systemErrorLine, kSystemErrorFormat, message,
                 static_cast<long>(static_cast<int32_t>(errorCode)), text) < 0) {
        snprintf(systemErrorLine, sizeof systemErrorLine, "%s", message);
    }
    showInDialog(systemErrorLine, nullptr);
    exit(kExitReportedFailure);
}

void printSystemError(const char *message, uint32_t errorCode) {
    writeSystemError(message, errorCode, systemText(errorCode));
}

void fatalOpenForWriting(const wchar_t *path) {
    fprintf(stderr, kOpenForWritingFormat, path);
    runFailureCleanup();
    showInDialog(kOpenForWritingFormat, path);
    exit(kExitReportedFailure);
}

void fatalSpecExpansion(const wchar_t *spec) {
    fprintf(stderr, kSpecExpansionFormat, spec);
    runFailureCleanup();
    showInDialog(kSpecExpansionFormat, spec);
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
    TerminateProcess(GetCurrentProcess(), kExitAbortWithoutFailFast);
    __builtin_unreachable();
}
