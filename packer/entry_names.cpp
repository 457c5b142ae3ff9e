#include "packer/entry_names.h"

#include <wctype.h>

#include <algorithm>
#include <map>
#include <utility>

#include "format/name_rules.h"
#include "packer/utf16_name.h"

namespace {

// Windows compares names by upper-casing each UTF-16 unit; the C library's
// Unicode tables come close (the packer sets a UTF-8 character locale).
char16_t foldCase(char16_t unit) {
    if (unit >= u'a' && unit <= u'z') {
        return static_cast<char16_t>(unit - u'a' + u'A');
    }
    if (unit < 0x80 || (unit >= 0xD800 && unit <= 0xDFFF)) {
        return unit;
    }
    // wint_t is 16 bits on Windows, 32 on Linux; an upper case outside the
    // BMP cannot stand in one unit and leaves the unit as it is.
    unsigned long upper = static_cast<unsigned long>(towupper(unit));
    return upper <= 0xFFFFul ? static_cast<char16_t>(upper) : unit;
}

// A short name is at most 8 units, a dot and at most 3 more; the ones
// Windows makes up end their first part in a tilde and digits.
bool looksLikeShortName(const std::u16string &component) {
    size_t dot = component.find(u'.');
    std::u16string base = component.substr(0, dot);
    size_t extension = dot == std::u16string::npos ? 0 : component.size() - dot - 1;
    bool secondDot = dot != std::u16string::npos && component.find(u'.', dot + 1) != std::u16string::npos;
    if (base.size() > 8 || extension > 3 || secondDot) {
        return false;
    }
    size_t tilde = base.rfind(u'~');
    if (tilde == std::u16string::npos || tilde + 1 == base.size()) {
        return false;
    }
    return std::all_of(base.begin() + tilde + 1, base.end(),
                       [](char16_t unit) { return unit >= u'0' && unit <= u'9'; });
}

bool forbiddenInFileNames(char16_t unit) {
    return unit < 0x20 || unit == u'<' || unit == u'>' || unit == u':' || unit == u'"' || unit == u'|' ||
           unit == u'?' || unit == u'*';
}

std::string describe(const std::u16string &component) {
    std::string text;
    for (char16_t unit : component) {
        text += unit < 0x80 && unit >= 0x20 ? static_cast<char>(unit) : '?';
    }
    return "\"" + text + "\"";
}

bool checkComponent(const std::u16string &component, std::string &problem) {
    if (component.empty()) {
        problem = "it has an empty path component";
        return false;
    }
    if (component == u"." || component == u"..") {
        problem = "it has a path component " + describe(component);
        return false;
    }
    if (component.size() > kComponentUnitLimit) {
        problem = "a path component is " + std::to_string(component.size()) +
                  " UTF-16 units long; Windows allows " + std::to_string(kComponentUnitLimit);
        return false;
    }
    for (char16_t unit : component) {
        if (forbiddenInFileNames(unit)) {
            problem = "Windows does not allow a character of " + describe(component) + " in file names";
            return false;
        }
    }
    if (isTrimmedAtPartEnd(component.back())) {
        problem = "Windows drops the trailing dot or blank of " + describe(component);
        return false;
    }
    if (isReservedDeviceName(component.data(), component.size(), foldCase)) {
        problem = describe(component) + " is a reserved device name on Windows";
        return false;
    }
    if (looksLikeShortName(component)) {
        problem = describe(component) + " has the form of an 8.3 short name; on NTFS it could open another entry "
                                        "through that alias and overwrite it";
        return false;
    }
    return true;
}

}  // namespace

std::u16string foldedName(const std::u16string &name) {
    std::u16string result = name;
    for (char16_t &unit : result) {
        unit = foldCase(unit);
    }
    return result;
}

std::u16string comparableEntryName(const std::string &name) {
    std::u16string units;
    std::string problem;
    return entryNameToUtf16(name, units, problem) ? foldedName(units) : std::u16string();
}

bool checkEntryName(const std::u16string &name, std::string &problem) {
    size_t start = 0;
    for (;;) {
        size_t end = name.find(u'\\', start);
        if (!checkComponent(name.substr(start, end == std::u16string::npos ? end : end - start), problem)) {
            return false;
        }
        if (end == std::u16string::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::vector<std::pair<size_t, size_t>> findConflictingNames(const std::vector<std::u16string> &names) {
    // Every name claims itself as a file and each of its parents as a
    // directory; a claim of the other kind on the same folded path conflicts.
    std::vector<std::pair<size_t, size_t>> conflicts;
    std::map<std::u16string, size_t> files, directories;
    for (size_t i = 0; i < names.size(); i++) {
        std::u16string name = foldedName(names[i]);
        auto file = files.emplace(name, i);
        auto asDirectory = directories.find(name);
        if (!file.second || asDirectory != directories.end()) {
            conflicts.emplace_back(!file.second ? file.first->second : asDirectory->second, i);
            continue;
        }
        for (size_t cut = name.find(u'\\'); cut != std::u16string::npos; cut = name.find(u'\\', cut + 1)) {
            std::u16string parent = name.substr(0, cut);
            auto asFile = files.find(parent);
            if (asFile != files.end()) {
                conflicts.emplace_back(asFile->second, i);
                break;
            }
            directories.emplace(parent, i);
        }
    }
    return conflicts;
}

size_t typicalExtractedPathUnits(const std::u16string &name) {
    return kTypicalTargetDirectoryUnits + name.size();
}

bool mayReachMaxPath(const std::u16string &name) {
    return typicalExtractedPathUnits(name) >= kMaxPathUnits;
}
