#include "processes/command_line.h"

#include <wchar.h>

#include "base/bounded_text.h"

namespace {

size_t appendCharacter(wchar_t *line, size_t length, wchar_t c) {
    return appendUnits(line, kChildCommandLineCapacity, length, &c, 1);
}

size_t appendBackslashes(wchar_t *line, size_t length, size_t count) {
    for (size_t i = 0; i < count; i++) {
        length = appendCharacter(line, length, L'\\');
    }
    return length;
}

// Backslashes are literal unless a double quote follows them; before a quote
// (the closing one included) each must be doubled, and a literal quote needs
// one more backslash of its own.
size_t appendQuoted(wchar_t *line, size_t length, const wchar_t *element) {
    length = appendCharacter(line, length, L'"');
    for (const wchar_t *c = element;; c++) {
        size_t backslashes = 0;
        while (*c == L'\\') {
            backslashes++;
            c++;
        }
        if (*c == L'\0') {
            length = appendBackslashes(line, length, 2 * backslashes);
            return appendCharacter(line, length, L'"');
        }
        if (*c == L'"') {
            length = appendBackslashes(line, length, 2 * backslashes + 1);
        } else {
            length = appendBackslashes(line, length, backslashes);
        }
        length = appendCharacter(line, length, *c);
    }
}

}  // namespace

void composeCommandLine(int count, wchar_t *const *elements, wchar_t (&line)[kChildCommandLineCapacity]) {
    size_t length = appendUnits(line, kChildCommandLineCapacity, 0, L"", 0);
    for (int i = 0; i < count; i++) {
        if (i > 0) {
            length = appendCharacter(line, length, L' ');
        }
        const wchar_t *element = elements[i];
        // An empty element is quoted too, so that the child receives it.
        if (element[0] != L'\0' && wcspbrk(element, L" \t\n\v\"") == nullptr) {
            length = appendUnits(line, kChildCommandLineCapacity, length, element, wcslen(element));
        } else {
            length = appendQuoted(line, length, element);
        }
    }
}
