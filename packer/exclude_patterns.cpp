#include "packer/exclude_patterns.h"

#include <algorithm>

#include "packer/entry_names.h"
#include "packer/utf16_name.h"

namespace {

// A pattern taken apart: what it matches against, and the text to match.
struct Pattern {
    std::u16string text;  // folded, '/'-separated, without the slashes that only mark its kind
    bool directoryOnly = false;
    bool wholePath = false;
};

bool parsePattern(const std::string &given, Pattern &pattern) {
    std::string text = given;
    std::replace(text.begin(), text.end(), '\\', '/');
    pattern.directoryOnly = !text.empty() && text.back() == '/';
    while (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
    pattern.wholePath = text.find('/') != std::string::npos;
    text.erase(0, text.find_first_not_of('/'));
    std::u16string units;
    if (text.empty() || !utf8ToUtf16(text, units)) {
        return false;
    }
    pattern.text = foldedName(units);
    return true;
}

// Glob matching with '*' and '?', neither crossing a '/'. A '*' that fails
// is retried one character further on; only the last one needs retrying.
bool matches(const std::u16string &pattern, const std::u16string &subject) {
    size_t p = 0, s = 0;
    size_t starPattern = std::u16string::npos, starSubject = 0;
    while (s < subject.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starPattern = p++;
            starSubject = s;
        } else if (p < pattern.size() && (pattern[p] == subject[s] || (pattern[p] == u'?' && subject[s] != u'/'))) {
            ++p;
            ++s;
        } else if (starPattern != std::u16string::npos && subject[starSubject] != u'/') {
            p = starPattern + 1;
            s = ++starSubject;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

bool checkExcludePattern(const std::string &pattern, std::string &problem) {
    Pattern parsed;
    if (!parsePattern(pattern, parsed)) {
        problem = "--exclude \"" + pattern + "\" matches nothing: it is empty or not valid UTF-8";
        return false;
    }
    return true;
}

bool isExcluded(const std::vector<std::string> &patterns, const std::string &relativePath, bool isDirectory) {
    std::u16string path;
    if (!utf8ToUtf16(relativePath, path)) {
        return false;  // such a name is refused when the names are checked
    }
    path = foldedName(path);
    std::u16string name = path.substr(path.find_last_of(u'/') + 1);
    for (const std::string &given : patterns) {
        Pattern pattern;
        if (parsePattern(given, pattern) && (isDirectory || !pattern.directoryOnly) &&
            matches(pattern.text, pattern.wholePath ? path : name)) {
            return true;
        }
    }
    return false;
}
