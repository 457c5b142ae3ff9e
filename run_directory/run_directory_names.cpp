#include "run_directory/run_directory_names.h"

#include <wchar.h>

namespace {

constexpr size_t kPrefixLength = sizeof kRunDirectoryPrefix / sizeof kRunDirectoryPrefix[0] - 1;
constexpr size_t kSuffixSize = sizeof kTombstoneSuffix / sizeof kTombstoneSuffix[0];
// Two numbers of up to 20 digits each and the underscore between them.
static_assert(kPrefixLength + 20 + 1 + 20 + kSuffixSize <= kTombstoneNameCapacity, "tombstone name capacity");

bool isAsciiDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// The first character after one or more ASCII digits at `at`; null if none.
const wchar_t *skipDigits(const wchar_t *at) {
    if (!isAsciiDigit(*at)) {
        return nullptr;
    }
    while (isAsciiDigit(*at)) {
        at++;
    }
    return at;
}

// Where a run directory name at the start of `name` ends; null if none does.
const wchar_t *afterRunDirectoryName(const wchar_t *name) {
    if (wcsncmp(name, kRunDirectoryPrefix, kPrefixLength) != 0) {
        return nullptr;
    }
    const wchar_t *at = skipDigits(name + kPrefixLength);
    if (at == nullptr || *at != L'_') {
        return nullptr;
    }
    return skipDigits(at + 1);
}

// The number of the digits from `at` up to `end`; false when it exceeds `limit`.
bool readNumber(const wchar_t *at, const wchar_t *end, uint64_t limit, uint64_t *value) {
    uint64_t number = 0;
    for (; at != end; at++) {
        uint64_t digit = static_cast<uint64_t>(*at - L'0');
        if (number > (limit - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

size_t appendDecimal(wchar_t *name, size_t length, uint64_t value) {
    wchar_t digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) {
        name[length++] = digits[--count];
    }
    return length;
}

}  // namespace

bool isRunDirectoryName(const wchar_t *name) {
    const wchar_t *end = afterRunDirectoryName(name);
    return end != nullptr && *end == L'\0';
}

bool parseRunDirectoryName(const wchar_t *name, unsigned long *processId, uint64_t *startTime) {
    if (!isRunDirectoryName(name)) {
        return false;
    }
    const wchar_t *first = name + kPrefixLength;
    const wchar_t *underscore = wcschr(first, L'_');
    uint64_t id = 0;
    if (!readNumber(first, underscore, 0xFFFFFFFFu, &id) ||
        !readNumber(underscore + 1, underscore + 1 + wcslen(underscore + 1), UINT64_MAX, startTime)) {
        return false;
    }
    *processId = static_cast<unsigned long>(id);
    return true;
}

bool isTombstoneName(const wchar_t *name) {
    const wchar_t *end = afterRunDirectoryName(name);
    return end != nullptr && wcscmp(end, kTombstoneSuffix) == 0;
}

void formatTombstoneName(unsigned long processId, uint64_t serial, wchar_t (&name)[kTombstoneNameCapacity]) {
    wmemcpy(name, kRunDirectoryPrefix, kPrefixLength);
    size_t length = appendDecimal(name, kPrefixLength, processId);
    name[length++] = L'_';
    length = appendDecimal(name, length, serial);
    wmemcpy(name + length, kTombstoneSuffix, kSuffixSize);
}
