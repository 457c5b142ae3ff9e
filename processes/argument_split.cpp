#include "processes/argument_split.h"

#include <wchar.h>

#include "base/bounded_text.h"
#include "base/failure.h"

namespace {

// The element being written: it starts at `start` in the split's text.
struct ElementWriter {
    SplitArguments *split;
    size_t start;
    size_t length;
};

void beginElement(ElementWriter *writer) {
    SplitArguments *split = writer->split;
    if (static_cast<size_t>(split->count) >= kSplitElementCapacity) {
        internalLimitAbort();
    }
    wchar_t *element = split->text + writer->start;
    split->elements[split->count++] = element;
    writer->length = appendUnits(element, kSplitTextCapacity - writer->start, 0, L"", 0);
}

void appendToElement(ElementWriter *writer, const wchar_t *units, size_t count) {
    writer->length = appendUnits(writer->split->text + writer->start, kSplitTextCapacity - writer->start,
                                 writer->length, units, count);
}

// The element is terminated already; the next one starts behind it.
void endElement(ElementWriter *writer) {
    writer->start += writer->length + 1;
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// The program name, with no escapes at all; returns where the rest begins.
const wchar_t *splitProgramName(const wchar_t *line, ElementWriter *writer) {
    beginElement(writer);
    const wchar_t *end = line;
    if (*line == L'"') {
        end = line + 1 + wcscspn(line + 1, L"\"");
        appendToElement(writer, line + 1, static_cast<size_t>(end - line - 1));
        if (*end == L'"') {
            end++;
        }
    } else {
        end = line + wcscspn(line, L" \t");
        appendToElement(writer, line, static_cast<size_t>(end - line));
    }
    endElement(writer);
    return end;
}

// One element from its first character; returns the character that ended
// it: a blank outside quotes or the line's end.
const wchar_t *splitElement(const wchar_t *c, ElementWriter *writer) {
    beginElement(writer);
    bool quoted = false;
    while (*c != L'\0' && (quoted || !isBlank(*c))) {
        if (*c == L'\\') {
            size_t backslashes = wcsspn(c, L"\\");
            if (c[backslashes] != L'"') {
                appendToElement(writer, c, backslashes);
                c += backslashes;
                continue;
            }
            appendToElement(writer, c, backslashes / 2);
            c += backslashes;
            if (backslashes % 2 == 1) {
                appendToElement(writer, c++, 1);
                continue;
            }
        }
        if (*c == L'"') {
            c++;
            if (quoted && *c == L'"') {
                appendToElement(writer, c++, 1);
                quoted = false;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        size_t plain = wcscspn(c, quoted ? L"\\\"" : L"\\\" \t");
        appendToElement(writer, c, plain);
        c += plain;
    }
    endElement(writer);
    return c;
}

}  // namespace

void splitCommandLine(const wchar_t *line, const wchar_t *programPath, SplitArguments *split) {
    boundedLength(line, kCommandLineCapacity);
    split->count = 0;
    ElementWriter writer = {split, 0, 0};
    if (*line == L'\0') {
        beginElement(&writer);
        appendToElement(&writer, programPath, wcslen(programPath));
        endElement(&writer);
    } else {
        const wchar_t *c = splitProgramName(line, &writer);
        for (;;) {
            c += wcsspn(c, L" \t");
            if (*c == L'\0') {
                break;
            }
            c = splitElement(c, &writer);
        }
    }
}
