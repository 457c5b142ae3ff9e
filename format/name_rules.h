#pragma once
// How Windows reads the parts of an entry name, which the launcher checks
// before it creates a file and the packer before it stores a name: both
// refuse a name whose part Windows would not take as an ordinary file name.
// Templates over the character type: wchar_t in the launcher, char16_t in
// the packer.
#include <stddef.h>

// The parts of an entry name are separated by '\', and Windows reads '/' as '\'.
template <typename Char> constexpr bool isNameSeparator(Char c) {
    return c == Char('\\') || c == Char('/');
}

// Windows drops a dot or a blank at the end of a name part: "x." would open
// "x", and ".. " would open "..".
template <typename Char> constexpr bool isTrimmedAtPartEnd(Char last) {
    return last == Char('.') || last == Char(' ');
}

// Whether Windows opens a device, not a file, for the name part of `length`
// units at `part`: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9 and
// LPT1-LPT9 (also with the superscript digits one, two and three, which
// Windows maps to them), whatever extension and blanks before it follow
// ("nul.txt" is NUL). `upper` gives a unit's upper case; each side passes the
// case comparison it uses for its names.
template <typename Char, typename Upper> bool isReservedDeviceName(const Char *part, size_t length, Upper upper) {
    size_t stem = 0;
    while (stem < length && part[stem] != Char('.')) {
        stem++;
    }
    while (stem > 0 && part[stem - 1] == Char(' ')) {
        stem--;
    }
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *device : kDevices) {
        size_t i = 0;
        while (i < stem && device[i] != '\0' && upper(part[i]) == Char(device[i])) {
            i++;
        }
        if (i == stem && device[i] == '\0') {
            return true;
        }
    }
    if (stem != 4) {
        return false;
    }
    const Char first = upper(part[0]), second = upper(part[1]), third = upper(part[2]), digit = upper(part[3]);
    bool port = (first == Char('C') && second == Char('O') && third == Char('M')) ||
                (first == Char('L') && second == Char('P') && third == Char('T'));
    return port && ((digit >= Char('1') && digit <= Char('9')) || digit == Char(0xB9) || digit == Char(0xB2) ||
                    digit == Char(0xB3));
}
