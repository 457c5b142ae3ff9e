#include "packer/dll_dependencies.h"

#include <stdint.h>

#include <algorithm>
#include <set>

#include "packer/entry_names.h"
#include "packer/file_access.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/pe_imports.h"
#include "packer/system_dlls.h"

namespace {

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

bool isDllName(const std::string &name) {
    const std::string suffix = ".dll";
    return name.size() > suffix.size() &&
           std::equal(suffix.begin(), suffix.end(), name.end() - suffix.size(),
                      [](char s, char c) { return s == (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
}

// "data/" of "data/x.dll", "" of "x.dll".
std::string directoryOf(const std::string &name) {
    size_t cut = name.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// `packedName` is where the DLL would be found: in the application's folder.
std::string missingDll(const std::string &importer, const std::string &dll, const std::string &packedName,
                       bool application, bool program) {
    std::string outcome = !application ? "loading " + quoted(importer) + " will fail"
                          : program    ? "Windows will refuse to start " + quoted(importer)
                                       : "the packed program will stop with \"Error, load DLL.\"";
    return quoted(importer) + " needs " + quoted(dll) + ", which is neither packed nor part of Windows, so " +
           outcome + "; link " + quoted(importer) + " without it (MinGW: -static) or pack it (--file " + packedName +
           "=PATH)";
}

}  // namespace

bool findMissingDlls(const std::vector<PayloadEntry> &entries, bool program, std::vector<std::string> &problems,
                     std::string &error) {
    std::set<std::u16string> packed;
    for (const PayloadEntry &entry : entries) {
        packed.insert(comparableEntryName(entry.name));
    }
    std::string applicationFolder = entries.empty() ? std::string() : directoryOf(entries[0].name);
    for (size_t i = 0; i < entries.size(); ++i) {
        const PayloadEntry &entry = entries[i];
        if (i != 0 && !isDllName(entry.name)) {
            continue;
        }
        std::vector<uint8_t> bytes;
        if (!readWholeFile(entry.sourcePath, bytes, error)) {
            return false;
        }
        // A file that is no 64-bit image is not loaded as a library here.
        PeImage image;
        std::string notAnImage;
        if (!parsePeImage(bytes, image, notAnImage)) {
            continue;
        }
        std::vector<std::string> dlls;
        std::string problem;
        if (!readImportedDlls(bytes, image, dlls, problem)) {
            problems.push_back(quoted(entry.name) + " " + problem + ": the DLLs it needs cannot be checked");
            continue;
        }
        std::string directory = directoryOf(entry.name);
        for (const std::string &dll : dlls) {
            if (!isSystemDll(dll) && packed.count(comparableEntryName(applicationFolder + dll)) == 0 &&
                packed.count(comparableEntryName(directory + dll)) == 0) {
                problems.push_back(missingDll(entry.name, dll, applicationFolder + dll, i == 0, program));
            }
        }
    }
    return true;
}
