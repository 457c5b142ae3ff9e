#include "packer/pe/execution_level.h"

#include <algorithm>

namespace {

const char kElement[] = "requestedExecutionLevel";
const char kBlanks[] = " \t\r\n";

// Markup that is not an element, and so may mention the name without meaning it.
struct Skipped {
    const char *open;
    const char *close;
};
const Skipped kNotElements[] = {{"<!--", "-->"}, {"<?", "?>"}, {"<![CDATA[", "]]>"}};

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

// Where the level's value lies in the text.
struct Span {
    size_t start = 0;
    size_t length = 0;
};

// Finds the value of `level` inside the start tag text[from, to).
bool findLevelAttribute(const std::string &text, size_t from, size_t to, Span &span, std::string &error) {
    size_t at = text.find_first_of(kBlanks, from);
    while (at < to) {
        at = text.find_first_not_of(kBlanks, at);
        if (at >= to || text[at] == '/' || text[at] == '>') {
            break;
        }
        size_t equals = text.find('=', at);
        if (equals >= to) {
            break;
        }
        size_t nameEnd = text.find_last_not_of(kBlanks, equals - 1) + 1;
        std::string name = text.substr(at, nameEnd - at);
        size_t quote = text.find_first_not_of(kBlanks, equals + 1);
        if (quote >= to || (text[quote] != '"' && text[quote] != '\'')) {
            break;
        }
        size_t close = text.find(text[quote], quote + 1);
        if (close >= to) {
            break;
        }
        if (name == "level") {
            span = {quote + 1, close - quote - 1};
            return true;
        }
        at = close + 1;
    }
    return fail(error, "the manifest's requestedExecutionLevel has no level attribute that can be read");
}

bool findLevel(const std::vector<uint8_t> &manifest, Span &span, std::string &error) {
    std::string text(manifest.begin(), manifest.end());
    int found = 0;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        for (const Skipped &skipped : kNotElements) {
            if (text.compare(at, std::string(skipped.open).size(), skipped.open) == 0) {
                at = text.find(skipped.close, at);
                break;
            }
        }
        if (at == std::string::npos) {
            break;
        }
        if (text[at] != '<') {
            continue;
        }
        size_t nameEnd = std::min(text.find_first_of(" \t\r\n/>", at), text.size());
        std::string name = text.substr(at + 1, nameEnd - at - 1);
        std::string local = name.substr(name.find(':') == std::string::npos ? 0 : name.find(':') + 1);
        if (local != kElement) {
            continue;
        }
        size_t tagEnd = text.find('>', at);
        if (tagEnd == std::string::npos) {
            return fail(error, "the manifest's requestedExecutionLevel element has no end");
        }
        if (++found > 1) {
            return fail(error, "the manifest has more than one requestedExecutionLevel element");
        }
        if (!findLevelAttribute(text, at, tagEnd, span, error)) {
            return false;
        }
    }
    return found == 1 || fail(error, "the manifest has no requestedExecutionLevel element");
}

}  // namespace

bool readExecutionLevel(const std::vector<uint8_t> &manifest, std::string &level, std::string &error) {
    Span span;
    if (!findLevel(manifest, span, error)) {
        return false;
    }
    level.assign(manifest.begin() + span.start, manifest.begin() + span.start + span.length);
    return true;
}

bool setExecutionLevel(std::vector<uint8_t> &manifest, const std::string &level, std::string &error) {
    Span span;
    if (!findLevel(manifest, span, error)) {
        return false;
    }
    manifest.erase(manifest.begin() + span.start, manifest.begin() + span.start + span.length);
    manifest.insert(manifest.begin() + span.start, level.begin(), level.end());
    return true;
}
