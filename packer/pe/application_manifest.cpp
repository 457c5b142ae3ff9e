#include "packer/pe/application_manifest.h"

#include <algorithm>
#include <iterator>

#include "packer/pe/manifest_xml.h"

namespace {

const char kAssemblyNamespace[] = "urn:schemas-microsoft-com:asm.v1";
const char kApplicationNamespace[] = "urn:schemas-microsoft-com:asm.v3";
const char kCommonControls[] = "Microsoft.Windows.Common-Controls";
const char *const kLevels[] = {"asInvoker", "highestAvailable", "requireAdministrator"};

const char kLongPathAware[] =
    "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>";
const char kVisualStyles[] =
    "<dependency><dependentAssembly><assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
    "version=\"6.0.0.0\" processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
    "</dependentAssembly></dependency>";

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

// The first element named `localName` (of `namespaceUri` when one is given), or -1.
int findElement(const std::vector<XmlElement> &elements, const std::string &localName,
                const char *namespaceUri = nullptr) {
    for (size_t i = 0; i < elements.size(); ++i) {
        if (elements[i].localName == localName && (!namespaceUri || elements[i].namespaceUri == namespaceUri)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int countElements(const std::vector<XmlElement> &elements, const std::string &localName) {
    int count = 0;
    for (const XmlElement &element : elements) {
        count += element.localName == localName;
    }
    return count;
}

// The dependency on Common Controls 6, or -1.
int findVisualStyles(const std::vector<XmlElement> &elements) {
    for (size_t i = 0; i < elements.size(); ++i) {
        const std::string *name = attributeValue(elements[i], "name");
        if (elements[i].localName == "assemblyIdentity" && elements[i].parent >= 0 &&
            elements[elements[i].parent].localName == "dependentAssembly" && name && *name == kCommonControls) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Puts `markup` at the end of the element's content; an empty-element tag
// becomes a start and an end tag.
void appendInside(std::string &text, const XmlElement &element, const std::string &markup) {
    if (!element.emptyTag) {
        text.insert(element.contentEnd, markup);
        return;
    }
    size_t nameEnd = text.find_first_of(" \t\r\n/>", element.start + 1);
    std::string name = text.substr(element.start + 1, nameEnd - element.start - 1);
    text.replace(element.contentEnd, 2, ">" + markup + "</" + name + ">");
}

// Puts `setting` into the windowsSettings of the manifest's application
// element, making either where it is missing.
void addWindowsSetting(std::string &text, const std::vector<XmlElement> &elements, const std::string &setting) {
    int application = -1;
    for (size_t i = 0; i < elements.size() && application < 0; ++i) {
        if (elements[i].parent == 0 && elements[i].localName == "application" &&
            elements[i].namespaceUri == kApplicationNamespace) {
            application = static_cast<int>(i);
        }
    }
    for (size_t i = 0; application >= 0 && i < elements.size(); ++i) {
        if (elements[i].parent == application && elements[i].localName == "windowsSettings") {
            appendInside(text, elements[i], setting);
            return;
        }
    }
    std::string settings = "<windowsSettings xmlns=\"" + std::string(kApplicationNamespace) + "\">" + setting +
                           "</windowsSettings>";
    if (application >= 0) {
        appendInside(text, elements[application], settings);
    } else {
        appendInside(text, elements[0],
                     "  <application xmlns=\"" + std::string(kApplicationNamespace) + "\">" + settings +
                         "</application>\n");
    }
}

std::string dpiMarkup(DpiAwareness awareness) {
    const char *aware = awareness == DpiAwareness::System ? "true" : "true/pm";
    std::string markup =
        std::string("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">") + aware +
        "</dpiAware>";
    if (awareness != DpiAwareness::System) {
        // Windows before 10 1703 reads only dpiAware; later ones take the first
        // value of dpiAwareness they know.
        markup += std::string("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">") +
                  (awareness == DpiAwareness::PerMonitorV2 ? "PerMonitorV2, PerMonitor" : "PerMonitor") +
                  "</dpiAwareness>";
    }
    return markup;
}

// Whether a setting's text says "true", in any case as Windows reads it.
bool saysTrue(const std::string &text, const XmlElement &element) {
    std::string value = elementText(text, element);
    for (char &c : value) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return value == "true";
}

bool readManifest(const std::vector<uint8_t> &manifest, std::string &text, std::vector<XmlElement> &elements,
                  std::string &error) {
    text.assign(manifest.begin(), manifest.end());
    return readXml(text, elements, error);
}

// The one execution level the manifest names, or nullptr when it names
// none. False with `error` when it names several, one without a value, or
// one Windows does not know.
bool findLevel(const std::vector<XmlElement> &elements, const std::string *&value, std::string &error) {
    int levels = countElements(elements, "requestedExecutionLevel");
    int named = findElement(elements, "requestedExecutionLevel");
    value = named >= 0 ? attributeValue(elements[named], "level") : nullptr;
    if (levels > 1 || (named >= 0 && !value)) {
        return fail(error, levels > 1 ? "the manifest names more than one execution level"
                                      : "the manifest's requestedExecutionLevel has no level");
    }
    if (value && std::find(std::begin(kLevels), std::end(kLevels), *value) == std::end(kLevels)) {
        return fail(error, "the manifest's execution level \"" + *value +
                               "\" is none of asInvoker, highestAvailable, requireAdministrator");
    }
    return true;
}

}  // namespace

bool parseDpiAwareness(const std::string &text, DpiAwareness &awareness) {
    const std::pair<const char *, DpiAwareness> names[] = {{"system", DpiAwareness::System},
                                                          {"permonitor", DpiAwareness::PerMonitor},
                                                          {"permonitorv2", DpiAwareness::PerMonitorV2}};
    for (const auto &[name, value] : names) {
        if (text == name) {
            awareness = value;
            return true;
        }
    }
    return false;
}

bool completeManifest(std::vector<uint8_t> &manifest, const std::string &level, bool levelRequired,
                      std::vector<std::string> &warnings, std::string &error) {
    std::string text;
    std::vector<XmlElement> elements;
    if (!readManifest(manifest, text, elements, error)) {
        return false;
    }
    if (elements[0].localName != "assembly" || elements[0].namespaceUri != kAssemblyNamespace) {
        return fail(error, "the manifest's root element must be an assembly of the namespace " +
                               std::string(kAssemblyNamespace));
    }
    if (countElements(elements, "assembly") != 1) {
        return fail(error, "the manifest holds more than one assembly element");
    }
    const std::string *value = nullptr;
    if (!findLevel(elements, value, error)) {
        return false;
    }
    if (value && levelRequired && *value != level) {
        return fail(error, "the manifest requests the execution level " + *value + " and --uac-admin " + level +
                               ": give the level in one place");
    }
    int longPaths = findElement(elements, "longPathAware");
    if (longPaths >= 0 && !saysTrue(text, elements[longPaths])) {
        warnings.push_back("the manifest turns long paths off: on Windows 10 and later, files whose extracted "
                           "path reaches 260 characters cannot be written");
    }
    if (longPaths < 0) {
        addWindowsSetting(text, elements, kLongPathAware);
    }
    if (!value) {
        if (findElement(elements, "trustInfo") >= 0) {
            return fail(error, "the manifest has a trustInfo without an execution level; name one in it");
        }
        // Read again: the long-path setting may have moved the root's end.
        if (!readXml(text, elements, error)) {
            return false;
        }
        appendInside(text, elements[0],
                     "  <trustInfo xmlns=\"" + std::string(kApplicationNamespace) +
                         "\"><security><requestedPrivileges><requestedExecutionLevel level=\"" + level +
                         "\" uiAccess=\"false\"/></requestedPrivileges></security></trustInfo>\n");
    }
    manifest.assign(text.begin(), text.end());
    return true;
}

bool addManifestSettings(std::vector<uint8_t> &manifest, const ManifestSettings &settings, std::string &error) {
    std::string text;
    std::vector<XmlElement> elements;
    if (!readManifest(manifest, text, elements, error)) {
        return false;
    }
    if (settings.visualStyles) {
        if (findVisualStyles(elements) >= 0) {
            return fail(error, "--visual-styles: the manifest already depends on Common Controls 6");
        }
        appendInside(text, elements[0], std::string("  ") + kVisualStyles + "\n");
    }
    if (settings.dpiAwareness != DpiAwareness::None) {
        if (findElement(elements, "dpiAware") >= 0 || findElement(elements, "dpiAwareness") >= 0) {
            return fail(error, "--dpi-aware: the manifest already sets its DPI awareness");
        }
        if (!readXml(text, elements, error)) {
            return false;
        }
        addWindowsSetting(text, elements, dpiMarkup(settings.dpiAwareness));
    }
    manifest.assign(text.begin(), text.end());
    return true;
}

bool describeManifest(const std::vector<uint8_t> &manifest, std::string &description, std::string &error) {
    std::string text;
    std::vector<XmlElement> elements;
    if (!readManifest(manifest, text, elements, error)) {
        return false;
    }
    std::vector<std::string> set;
    int longPaths = findElement(elements, "longPathAware");
    if (longPaths >= 0 && saysTrue(text, elements[longPaths])) {
        set.push_back("long paths");
    }
    if (findVisualStyles(elements) >= 0) {
        set.push_back("visual styles");
    }
    int dpi = findElement(elements, "dpiAwareness");
    dpi = dpi >= 0 ? dpi : findElement(elements, "dpiAware");
    if (dpi >= 0) {
        set.push_back("DPI awareness " + elementText(text, elements[dpi]));
    }
    description.clear();
    for (const std::string &item : set) {
        description += (description.empty() ? "" : ", ") + item;
    }
    if (description.empty()) {
        description = "none of long paths, visual styles, DPI awareness";
    }
    return true;
}

bool requestedExecutionLevel(const std::vector<uint8_t> &manifest, std::string &level, std::string &error) {
    std::string text;
    std::vector<XmlElement> elements;
    const std::string *value = nullptr;
    if (!readManifest(manifest, text, elements, error) || !findLevel(elements, value, error)) {
        return false;
    }
    level = value ? *value : "";
    return true;
}
