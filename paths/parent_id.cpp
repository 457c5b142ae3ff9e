#include "paths/parent_id.h"

#include <wchar.h>

bool parseParentId(const wchar_t *text, unsigned long *id) {
    if (text == nullptr || text[0] < L'1' || text[0] > L'9') {
        return false;
    }
    unsigned long long value = 0;
    for (const wchar_t *c = text; *c != L'\0'; c++) {
        if (*c < L'0' || *c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned long long>(*c - L'0');
        if (value > 0xFFFFFFFFull) {
            return false;
        }
    }
    *id = static_cast<unsigned long>(value);
    return true;
}

void formatProcessId(unsigned long id, wchar_t (&text)[kProcessIdTextCapacity]) {
    // Not examined: the capacity holds the digits of any unsigned long.
    swprintf(text, kProcessIdTextCapacity, L"%lu", id);
}
