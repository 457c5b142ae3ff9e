#include "packer/pe/manifest_xml.h"

#include <algorithm>

namespace {

const char kBlanks[] = " \t\r\n";

bool isNameStart(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

bool isNameChar(char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Where an offset lies, for messages: "line N".
std::string lineOf(const std::string &text, size_t at) {
    return "line " + std::to_string(1 + std::count(text.begin(), text.begin() + std::min(at, text.size()), '\n'));
}

bool fail(std::string &error, const std::string &text, size_t at, const std::string &message) {
    error = "the manifest is not well-formed XML: " + message + " (" + lineOf(text, at) + ")";
    return false;
}

// Reads a name at `at`; empty when none starts there.
std::string readName(const std::string &text, size_t &at) {
    size_t start = at;
    if (at < text.size() && isNameStart(text[at])) {
        while (at < text.size() && isNameChar(text[at])) {
            ++at;
        }
    }
    return text.substr(start, at - start);
}

// Character data in [from, to): every '&' starts &name; or &#digits; or
// &#xhex;, and no ']]>' stands outside a CDATA section.
bool checkCharacterData(const std::string &text, size_t from, size_t to, std::string &error) {
    size_t end = text.find("]]>", from);
    if (end < to) {
        return fail(error, text, end, "\"]]>\" outside a CDATA section");
    }
    for (size_t at = text.find('&', from); at < to; at = text.find('&', at + 1)) {
        size_t semicolon = text.find(';', at);
        std::string reference = semicolon < to ? text.substr(at + 1, semicolon - at - 1) : "";
        size_t name = 0;
        bool decimal = reference.size() > 1 && reference[0] == '#' &&
                       reference.find_first_not_of("0123456789", 1) == std::string::npos;
        bool hex = reference.size() > 2 && reference.compare(0, 2, "#x") == 0 &&
                   reference.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
        if (!decimal && !hex && (readName(reference, name).empty() || name != reference.size())) {
            return fail(error, text, at, "'&' that does not start a reference such as &amp;");
        }
    }
    return true;
}

// The markup at `at` that is not an element (a comment, a processing
// instruction, a CDATA section): moves `at` past it. False when there is
// none there (`error` empty) or it is malformed (`error` set).
bool skipOtherMarkup(const std::string &text, size_t &at, bool insideRoot, size_t documentStart,
                     std::string &error) {
    if (text.compare(at, 4, "<!--") == 0) {
        size_t end = text.find("--", at + 4);
        if (end == std::string::npos || text.compare(end, 3, "-->") != 0) {
            return fail(error, text, at, end == std::string::npos ? "a comment without its end"
                                                                   : "\"--\" inside a comment");
        }
        at = end + 3;
        return true;
    }
    if (text.compare(at, 2, "<?") == 0) {
        size_t end = text.find("?>", at + 2);
        size_t targetAt = at + 2;
        std::string target = readName(text, targetAt);
        if (end == std::string::npos || target.empty()) {
            return fail(error, text, at, "a processing instruction without its end or target");
        }
        if ((target == "xml" || target == "XML") && at != documentStart) {
            return fail(error, text, at, "an XML declaration after the start of the document");
        }
        at = end + 2;
        return true;
    }
    if (text.compare(at, 9, "<![CDATA[") == 0) {
        size_t end = text.find("]]>", at + 9);
        if (!insideRoot || end == std::string::npos) {
            return fail(error, text, at, insideRoot ? "a CDATA section without its end"
                                                    : "a CDATA section outside the root element");
        }
        at = end + 3;
        return true;
    }
    if (text.compare(at, 2, "<!") == 0) {
        return fail(error, text, at, "a document type or other declaration, which a manifest does not have");
    }
    return false;
}

// The namespace an element's prefix (empty: the default) stands for, from
// the declarations of the element and its ancestors.
bool resolveNamespace(std::vector<XmlElement> &elements, const std::string &prefix, std::string &uri) {
    std::string declaration = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    if (prefix == "xml") {
        uri = "http://www.w3.org/XML/1998/namespace";
        return true;
    }
    for (int index = static_cast<int>(elements.size()) - 1; index >= 0; index = elements[index].parent) {
        if (const std::string *value = attributeValue(elements[index], declaration)) {
            uri = *value;
            return true;
        }
    }
    uri.clear();
    return prefix.empty();
}

// Reads the start tag at `at` (its '<') into a new last element.
bool readStartTag(const std::string &text, size_t &at, int parent, std::vector<XmlElement> &elements,
                  std::string &qualifiedName, std::string &error) {
    XmlElement element;
    element.start = at;
    element.parent = parent;
    ++at;
    qualifiedName = readName(text, at);
    if (qualifiedName.empty()) {
        return fail(error, text, at, "'<' not followed by a name");
    }
    for (;;) {
        size_t blanks = at;
        at = std::min(text.find_first_not_of(kBlanks, at), text.size());
        if (text.compare(at, 1, ">") == 0 || text.compare(at, 2, "/>") == 0) {
            element.emptyTag = text[at] == '/';
            element.contentEnd = at;
            at += element.emptyTag ? 2 : 1;
            element.contentStart = element.emptyTag ? element.contentEnd : at;
            break;
        }
        std::string name = readName(text, at);
        if (at == text.size() || name.empty() || at - name.size() == blanks) {
            return fail(error, text, at, "the tag <" + qualifiedName + "> is cut off or has a malformed attribute");
        }
        at = std::min(text.find_first_not_of(kBlanks, at), text.size());
        size_t quote = at < text.size() && text[at] == '=' ? text.find_first_not_of(kBlanks, at + 1) : at;
        if (quote >= text.size() || quote == at || (text[quote] != '"' && text[quote] != '\'')) {
            return fail(error, text, at, "the attribute " + name + " has no quoted value");
        }
        size_t close = text.find(text[quote], quote + 1);
        size_t lessThan = text.find('<', quote + 1);
        if (close == std::string::npos || lessThan < close) {
            return fail(error, text, quote, "the value of the attribute " + name + " has no end");
        }
        if (!checkCharacterData(text, quote + 1, close, error)) {
            return false;
        }
        if (attributeValue(element, name) != nullptr) {
            return fail(error, text, quote, "the attribute " + name + " twice in one tag");
        }
        element.attributes.push_back({name, text.substr(quote + 1, close - quote - 1)});
        at = close + 1;
    }
    size_t colon = qualifiedName.find(':');
    std::string prefix = colon == std::string::npos ? "" : qualifiedName.substr(0, colon);
    element.localName = qualifiedName.substr(colon == std::string::npos ? 0 : colon + 1);
    elements.push_back(element);
    if (!resolveNamespace(elements, prefix, elements.back().namespaceUri)) {
        return fail(error, text, element.start, "the prefix " + prefix + " is not declared");
    }
    return true;
}

}  // namespace

bool readXml(const std::string &text, std::vector<XmlElement> &elements, std::string &error) {
    elements.clear();
    error.clear();
    if (text.find('\0') != std::string::npos) {
        return fail(error, text, text.find('\0'), "a zero byte (the manifest must be UTF-8)");
    }
    size_t documentStart = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::vector<int> open;
    std::vector<std::string> openNames;
    for (size_t at = documentStart; at < text.size();) {
        size_t markup = std::min(text.find('<', at), text.size());
        if (open.empty() && text.find_first_not_of(kBlanks, at) < markup) {
            return fail(error, text, text.find_first_not_of(kBlanks, at), "text outside the root element");
        }
        if (!checkCharacterData(text, at, markup, error)) {
            return false;
        }
        at = markup;
        if (at == text.size()) {
            break;
        }
        if (skipOtherMarkup(text, at, !open.empty(), documentStart, error)) {
            continue;
        }
        if (!error.empty()) {
            return false;
        }
        if (text.compare(at, 2, "</") == 0) {
            size_t nameAt = at + 2;
            std::string name = readName(text, nameAt);
            size_t close = std::min(text.find_first_not_of(kBlanks, nameAt), text.size());
            if (open.empty() || name != openNames.back() || close == text.size() || text[close] != '>') {
                return fail(error, text, at, "the end tag </" + name + "> does not close " +
                                                 (open.empty() ? "any element" : "<" + openNames.back() + ">"));
            }
            elements[open.back()].contentEnd = at;
            open.pop_back();
            openNames.pop_back();
            at = close + 1;
            continue;
        }
        if (open.empty() && !elements.empty()) {
            return fail(error, text, at, "a second root element");
        }
        std::string name;
        if (!readStartTag(text, at, open.empty() ? -1 : open.back(), elements, name, error)) {
            return false;
        }
        if (!elements.back().emptyTag) {
            open.push_back(static_cast<int>(elements.size()) - 1);
            openNames.push_back(name);
        }
    }
    if (!open.empty()) {
        return fail(error, text, elements[open.back()].start, "<" + openNames.back() + "> is never closed");
    }
    if (elements.empty()) {
        return fail(error, text, text.size(), "no root element");
    }
    return true;
}

const std::string *attributeValue(const XmlElement &element, const std::string &name) {
    for (const auto &attribute : element.attributes) {
        if (attribute.first == name) {
            return &attribute.second;
        }
    }
    return nullptr;
}

std::string elementText(const std::string &text, const XmlElement &element) {
    std::string inside = text.substr(element.contentStart, element.contentEnd - element.contentStart);
    size_t first = inside.find_first_not_of(kBlanks);
    return first == std::string::npos ? "" : inside.substr(first, inside.find_last_not_of(kBlanks) - first + 1);
}
