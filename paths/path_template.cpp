#include "paths/path_template.h"

#include <stdint.h>
#include <wchar.h>

#include "base/bounded_text.h"
#include "base/failure.h"
#include "paths/environment.h"
#include "paths/parent_id.h"
#include "paths/path_root.h"
#include "paths/system_values.h"

namespace {

constexpr size_t kNameCapacity = 1024;

enum class Variable { Temp, Program, ProgramBase, ProgramDir, Pid, Home, CacheDir, Version, Time, None };

wchar_t asciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool equalIgnoringAsciiCase(const wchar_t *a, const wchar_t *b) {
    for (; *a != L'\0' && *b != L'\0'; a++, b++) {
        if (asciiLower(*a) != asciiLower(*b)) {
            return false;
        }
    }
    return *a == *b;
}

Variable lookUp(const wchar_t *name) {
    static const struct {
        const wchar_t *name;
        Variable variable;
    } kVariables[] = {
        {L"TEMP", Variable::Temp},         {L"PROGRAM", Variable::Program},   {L"PROGRAM_BASE", Variable::ProgramBase},
        {L"PROGRAM_DIR", Variable::ProgramDir}, {L"PID", Variable::Pid},   {L"HOME", Variable::Home},
        {L"CACHE_DIR", Variable::CacheDir}, {L"VERSION", Variable::Version}, {L"TIME", Variable::Time},
    };
    for (const auto &entry : kVariables) {
        if (equalIgnoringAsciiCase(name, entry.name)) {
            return entry.variable;
        }
    }
    return Variable::None;
}

bool allAsciiDigits(const wchar_t *text) {
    for (const wchar_t *c = text; *c != L'\0'; c++) {
        if (*c < L'0' || *c > L'9') {
            return false;
        }
    }
    return true;
}

// Formats `time` into `text` and publishes it in ZELMOR_ONEFILE_START.
void publishStartTime(int64_t time, wchar_t (&text)[32]) {
    swprintf(text, 32, L"%lld", static_cast<long long>(time));
    setEnvVar(kStartVariable, text);  // a failure only costs the child the shared time
}

// The published start time as a number; -1 when it is unset or not a
// number of at most 18 digits (which no clock reading exceeds today).
int64_t publishedStartTime() {
    const wchar_t *text = getEnvVar(kStartVariable);
    if (text == nullptr || !allAsciiDigits(text) || wcslen(text) > 18) {
        return -1;
    }
    int64_t value = 0;
    for (const wchar_t *c = text; *c != L'\0'; c++) {
        value = value * 10 + (*c - L'0');
    }
    return value;
}

// A parent id by the one rule the role decision also applies; any other
// value counts as unset, and the own id stands in for it.
void appendProcessId(wchar_t *cursor, size_t remaining) {
    unsigned long id = 0;
    if (!parseParentId(getEnvVar(kParentVariable), &id)) {
        id = currentProcessId();
    }
    wchar_t text[kProcessIdTextCapacity];
    formatProcessId(id, text);
    appendText(cursor, remaining, text);
}

// One start time per run: the first expansion takes the clock and publishes
// it, and every later expansion and every child process reuses it. An
// inherited value of anything but digits is not used: the target directory
// is later removed recursively, so it must never name another directory.
void appendStartTime(wchar_t *cursor, size_t remaining) {
    const wchar_t *inherited = getEnvVar(kStartVariable);
    if (inherited != nullptr && allAsciiDigits(inherited)) {
        appendText(cursor, remaining, inherited);
        return;
    }
    wchar_t now[32];
    publishStartTime(currentSystemTime(), now);
    appendText(cursor, remaining, now);
}

bool endsWithExe(const wchar_t *text, size_t length) {
    return length >= 4 && equalIgnoringAsciiCase(text + length - 4, L".exe");
}

// Appends the value of `variable` at `output + *length`; false where the
// expansion fails. Updates *length to the output's new length.
bool appendVariable(Variable variable, wchar_t *output, size_t capacity, size_t *length) {
    wchar_t *cursor = output + *length;
    size_t remaining = capacity - *length;
    bool dropTrailingBackslashes = false;
    switch (variable) {
        case Variable::Temp:
            // No directory, or a relative one, would put the target at the
            // root of the current drive or under the current directory.
            writeTemporaryDirectory(cursor, remaining);
            if (qualifiedRootLength(cursor) == 0) {
                cursor[0] = L'\0';
                return false;
            }
            dropTrailingBackslashes = true;
            break;
        case Variable::Program: {
            const wchar_t *name = programName();
            if (name == nullptr) {
                internalLimitAbort();
            }
            appendText(cursor, remaining, name);
            break;
        }
        case Variable::ProgramBase: {
            if (!expandPathSpec(cursor, L"{PROGRAM}", remaining)) {
                return false;
            }
            size_t partLength = wcslen(cursor);
            if (endsWithExe(cursor, partLength)) {
                cursor[partLength - 4] = L'\0';
            }
            break;
        }
        case Variable::ProgramDir: {
            if (!expandPathSpec(cursor, L"{PROGRAM}", remaining)) {
                return false;
            }
            wchar_t *lastBackslash = wcsrchr(cursor, L'\\');
            if (lastBackslash != nullptr) {
                *lastBackslash = L'\0';
            }
            break;
        }
        case Variable::Pid:
            appendProcessId(cursor, remaining);
            break;
        case Variable::Home:
        case Variable::CacheDir:
            if (!appendKnownFolder(cursor, variable == Variable::Home ? kFolderProfile : kFolderLocalAppData,
                                   remaining)) {
                return false;
            }
            dropTrailingBackslashes = true;
            break;
        case Variable::Version:
            appendText(cursor, remaining, kVersionText);
            break;
        case Variable::Time:
            appendStartTime(cursor, remaining);
            break;
        case Variable::None:
            return false;
    }
    *length += wcslen(cursor);
    // Over the whole output, not just this value: an empty value also takes
    // the backslashes before it, and "C:\" becomes "C:".
    while (dropTrailingBackslashes && *length > 0 && output[*length - 1] == L'\\') {
        output[--*length] = L'\0';
    }
    return true;
}

}  // namespace

bool expandPathSpec(wchar_t *output, const wchar_t *spec, size_t capacity) {
    size_t length = appendUnits(output, capacity, 0, L"", 0);
    wchar_t name[kNameCapacity];
    size_t nameLength = 0;
    bool nameTooLong = false;
    bool insideBraces = false;
    for (const wchar_t *c = spec; *c != L'\0'; c++) {
        if (*c == L'{') {
            insideBraces = true;
            nameLength = 0;
            nameTooLong = false;
        } else if (insideBraces && *c == L'}') {
            insideBraces = false;
            name[nameLength] = L'\0';
            // No variable's name is as long as the name buffer, so a name that
            // overflowed it matches none.
            if (nameTooLong || !appendVariable(lookUp(name), output, capacity, &length)) {
                return false;
            }
        } else if (insideBraces) {
            if (nameLength + 1 < kNameCapacity) {
                name[nameLength++] = *c;
            } else {
                nameTooLong = true;
            }
        } else if (*c == L'}') {
            // A closing brace without an opening one has no meaning in a spec.
            return false;
        } else {
            if (capacity - length < 2) {
                return false;
            }
            output[length++] = *c;
            output[length] = L'\0';
        }
    }
    // A name left open at the end is dropped.
    return true;
}

bool appendKnownFolder(wchar_t *output, int folderId, size_t capacity) {
    wchar_t folder[kShellFolderCapacity];
    if (!getShellFolder(folderId, folder)) {
        return false;
    }
    appendText(output, capacity, folder);
    return true;
}

void renewStartTime() {
    // The clock may not have moved since the last reading (it advances in
    // steps of several milliseconds), so the new time is at least one more.
    int64_t previous = publishedStartTime();
    int64_t now = currentSystemTime();
    wchar_t text[32];
    publishStartTime(now > previous ? now : previous + 1, text);
}
