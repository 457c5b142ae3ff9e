#pragma once
// An application manifest read as XML, as far as the packer needs: whether
// the document is well-formed, and where each element lies, with its name,
// namespace and attributes, so that settings can be found and added in place.
#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

struct XmlElement {
    std::string localName;     // the name without its prefix
    std::string namespaceUri;  // as the xmlns declarations in scope give it
    int parent = -1;           // index in the element list; -1 for the root
    size_t start = 0;          // offset of its '<'
    size_t contentStart = 0;   // just past its start tag
    size_t contentEnd = 0;     // offset of its end tag; for an empty-element tag, of its "/>"
    bool emptyTag = false;     // written as <name .../>
    // Qualified names and values as written (references not expanded).
    std::vector<std::pair<std::string, std::string>> attributes;
};

// Reads a UTF-8 document (a byte order mark allowed) into its elements in
// document order. False with `error` saying what and where when it is not
// well-formed: one root element; start and end tags that match; names and
// quoted attribute values, none twice in a tag; references of the form
// &name; or &#...;; comments, processing instructions and CDATA sections
// closed; declared namespace prefixes. A document type declaration is
// refused, as no manifest has one.
bool readXml(const std::string &text, std::vector<XmlElement> &elements, std::string &error);

// The value of the attribute `name` (as written), or nullptr.
const std::string *attributeValue(const XmlElement &element, const std::string &name);

// The text directly inside a non-empty element, blanks around it removed.
std::string elementText(const std::string &text, const XmlElement &element);
