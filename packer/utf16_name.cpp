#include "packer/utf16_name.h"

#include <stdint.h>

#include "format/name_rules.h"

namespace {

// Decodes the sequence at `text[index]`; returns false when it is malformed.
bool decodeCodePoint(const std::string &text, size_t &index, char32_t &codePoint) {
    unsigned char lead = static_cast<unsigned char>(text[index]);
    size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        codePoint = lead;
        index += 1;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return false;
    }
    if (text.size() - index < length) {
        return false;
    }
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[index + i]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return false;
    }
    index += length;
    return true;
}

}  // namespace

bool utf8ToUtf16(const std::string &utf8, std::u16string &utf16) {
    utf16.clear();
    size_t index = 0;
    while (index < utf8.size()) {
        char32_t codePoint;
        if (!decodeCodePoint(utf8, index, codePoint)) {
            return false;
        }
        if (codePoint < 0x10000) {
            utf16.push_back(static_cast<char16_t>(codePoint));
        } else {
            codePoint -= 0x10000;
            utf16.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            utf16.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        }
    }
    return true;
}

bool entryNameToUtf16(const std::string &name, std::u16string &units, std::string &error) {
    if (name.empty()) {
        error = "empty entry name";
        return false;
    }
    if (!utf8ToUtf16(name, units)) {
        error = "entry name is not valid UTF-8";
        return false;
    }
    if (units.find(u'\0') != std::u16string::npos) {
        error = "entry name contains a NUL character";
        return false;
    }
    if (units.size() >= kEntryNameUnitLimit) {
        error = "entry name is " + std::to_string(units.size()) + " UTF-16 units long, the limit is " +
                std::to_string(kEntryNameUnitLimit - 1);
        return false;
    }
    for (char16_t &unit : units) {
        if (isNameSeparator(unit)) {
            unit = u'\\';
        }
    }
    return true;
}

std::string utf16ToUtf8(const std::u16string &utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t code = utf16[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}
