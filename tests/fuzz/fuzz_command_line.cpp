// composeCommandLine against an independent splitter: the line it writes must
// split back, by the rules the child's runtime applies, into the elements it
// was given, empty ones included; only a line too long for its buffer aborts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "processes/command_line.h"
#include "testing/host/host_failure.h"

namespace {

struct Run {
    std::vector<std::wstring> distinct;
    std::vector<wchar_t *> pointers;  // the arguments repeat by pointer
};

wchar_t line[kChildCommandLineCapacity];

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "fuzz_command_line: %s\n", why);
    abort();
}

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// The first element follows the program-name rule: up to the next quote when
// it starts with one, else up to the first blank; backslashes are literal.
size_t splitFirst(const std::wstring_view &line, std::vector<std::wstring> *out) {
    size_t i = 0;
    std::wstring first;
    if (!line.empty() && line[0] == L'"') {
        for (i = 1; i < line.size() && line[i] != L'"'; i++) {
            first.push_back(line[i]);
        }
        if (i < line.size()) {
            i++;
        }
    } else {
        for (; i < line.size() && !isBlank(line[i]); i++) {
            first.push_back(line[i]);
        }
    }
    out->push_back(first);
    return i;
}

// The other elements: blanks separate outside quotes; 2n backslashes and a
// quote give n backslashes and a delimiting quote, 2n+1 give n and a literal
// quote; other backslashes are literal.
std::vector<std::wstring> splitLine(const std::wstring_view &line) {
    std::vector<std::wstring> out;
    size_t i = splitFirst(line, &out);
    for (;;) {
        while (i < line.size() && isBlank(line[i])) {
            i++;
        }
        if (i == line.size()) {
            return out;
        }
        std::wstring element;
        bool quoted = false;
        while (i < line.size() && (quoted || !isBlank(line[i]))) {
            size_t run = 0;
            while (i + run < line.size() && line[i + run] == L'\\') {
                run++;
            }
            if (run > 0 && i + run < line.size() && line[i + run] == L'"') {
                element.append(run / 2, L'\\');
                i += run;
                if (run % 2 == 1) {
                    element.push_back(L'"');
                    i++;
                }
            } else if (run > 0) {
                element.append(run, L'\\');
                i += run;
            } else if (line[i] == L'"') {
                quoted = !quoted;
                i++;
            } else {
                element.push_back(line[i++]);
            }
        }
        out.push_back(element);
    }
}

// The length a correct quoting needs, to tell a due abort from a wrong one.
size_t neededLength(const std::vector<wchar_t *> &elements) {
    size_t total = elements.size() - 1;
    for (const wchar_t *element : elements) {
        if (element[0] != L'\0' && wcspbrk(element, L" \t\n\v\"") == nullptr) {
            total += wcslen(element);
            continue;
        }
        size_t length = 2;
        size_t run = 0;
        for (const wchar_t *c = element; *c != L'\0'; c++) {
            length++;
            if (*c == L'\\') {
                run++;
                continue;
            }
            if (*c == L'"') {
                length += run + 1;
            }
            run = 0;
        }
        total += length + run;
    }
    return total;
}

void compose(void *context) {
    Run *run = static_cast<Run *>(context);
    composeCommandLine(static_cast<int>(run->pointers.size()), run->pointers.data(), line);
}

// Byte 0 repeats the argument list (so lines can outgrow the buffer); the
// rest, split at zero bytes, gives the elements, one unit per byte. The first
// element is made a plausible program path: no quotes or control characters,
// never empty and never ending in a backslash.
void buildElements(const uint8_t *data, size_t size, Run *run) {
    size_t repeats = size > 0 ? 1 + data[0] % 8 : 1;
    std::vector<std::wstring> chunks(1);
    for (size_t i = 1; i < size; i++) {
        if (data[i] == 0) {
            chunks.emplace_back();
        } else {
            chunks.back().push_back(static_cast<wchar_t>(data[i]));
        }
    }
    std::wstring first;
    for (wchar_t c : chunks[0]) {
        if (c != L'"' && c >= 0x20) {
            first.push_back(c);
        }
    }
    chunks[0] = first + L"x.exe";
    run->distinct = std::move(chunks);
    run->pointers.push_back(&run->distinct[0][0]);
    for (size_t r = 0; r < repeats; r++) {
        for (size_t i = 1; i < run->distinct.size(); i++) {
            run->pointers.push_back(&run->distinct[i][0]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Run run;
    buildElements(data, size, &run);
    // A pattern instead of zeros, so a missing terminator shows.
    wmemset(line, L'#', kChildCommandLineCapacity);
    Ending ending = runGuarded(compose, &run);
    bool fits = neededLength(run.pointers) < kChildCommandLineCapacity;
    if (ending == Ending::Abort) {
        if (fits) {
            fail("aborted on a line that fits");
        }
        return 0;
    }
    if (ending != Ending::Returned || !fits) {
        fail("a line too long was not refused");
    }
    size_t length = wcsnlen(line, kChildCommandLineCapacity);
    if (length == kChildCommandLineCapacity) {
        fail("line not terminated");
    }
    std::vector<std::wstring> split = splitLine(std::wstring_view(line, length));
    size_t next = 0;
    for (const wchar_t *element : run.pointers) {
        if (next == split.size() || split[next++] != element) {
            fail("line does not split back into its elements");
        }
    }
    if (next != split.size()) {
        fail("line splits into more elements than it was given");
    }
    return 0;
}
