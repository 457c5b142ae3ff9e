#include "base/bounded_text.h"

#include <stdlib.h>
#include <wchar.h>

#include "base/failure.h"

size_t appendUnits(wchar_t *buffer, size_t capacity, size_t length, const wchar_t *units, size_t count) {
    if (length >= capacity || count >= capacity - length) {
        internalLimitAbort();
    }
    for (size_t i = 0; i < count; i++) {
        buffer[length + i] = units[i];
    }
    buffer[length + count] = L'\0';
    return length + count;
}

size_t appendText(wchar_t *buffer, size_t capacity, const wchar_t *text) {
    return appendUnits(buffer, capacity, boundedLength(buffer, capacity), text, wcslen(text));
}

size_t copyText(wchar_t *buffer, size_t capacity, const wchar_t *text) {
    return appendUnits(buffer, capacity, 0, text, wcslen(text));
}

size_t boundedLength(const wchar_t *buffer, size_t capacity) {
    size_t length = wcsnlen(buffer, capacity);
    if (length == capacity) {
        internalLimitAbort();
    }
    return length;
}

size_t copyWidened(wchar_t *buffer, size_t capacity, const char *narrow) {
    size_t length = appendUnits(buffer, capacity, 0, L"", 0);
    for (const char *byte = narrow; *byte != '\0'; byte++) {
        const char single[2] = {*byte, '\0'};
        wchar_t converted[2];
        if (mbstowcs(converted, single, 2) != 1) {
            internalLimitAbort();
        }
        length = appendUnits(buffer, capacity, length, converted, 1);
    }
    return length;
}
