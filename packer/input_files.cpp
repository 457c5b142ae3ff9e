#include "packer/input_files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "packer/entry_names.h"
#include "packer/utf16_name.h"

namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

bool addDirectory(const std::string &directory, std::vector<PayloadEntry> &entries, std::string &error) {
    std::error_code failure;
    fs::recursive_directory_iterator walk(directory, failure);
    for (; !failure && walk != fs::recursive_directory_iterator(); walk.increment(failure)) {
        const fs::directory_entry &item = *walk;
        if (item.is_directory(failure)) {
            continue;
        }
        // Links to files are followed; sockets, devices and the like have no place in an application.
        if (!item.is_regular_file(failure)) {
            error = quoted(item.path().string()) + " is not a regular file";
            return false;
        }
        entries.push_back({item.path().lexically_relative(directory).generic_string(), item.path().string()});
    }
    if (failure) {
        error = "cannot read the directory " + quoted(directory) + ": " + failure.message();
        return false;
    }
    return true;
}

std::string storedForm(const std::string &name) {
    std::string form = name;
    std::replace(form.begin(), form.end(), '/', '\\');
    return form;
}

}  // namespace

bool gatherEntries(const PackInputs &inputs, std::vector<PayloadEntry> &entries, std::string &error) {
    entries.clear();
    std::vector<PayloadEntry> rest = inputs.singleFiles;
    for (const std::string &directory : inputs.directories) {
        if (!addDirectory(directory, rest, error)) {
            return false;
        }
    }
    // The same inputs always give the same payload, whatever order the file
    // system lists them in.
    std::stable_sort(rest.begin(), rest.end(), [](const PayloadEntry &a, const PayloadEntry &b) {
        return storedForm(a.name) < storedForm(b.name);
    });
    entries.push_back({fs::path(inputs.applicationDll).filename().string(), inputs.applicationDll});
    entries.insert(entries.end(), rest.begin(), rest.end());
    return true;
}

bool checkEntryNames(const std::vector<PayloadEntry> &entries, std::string &error) {
    std::vector<std::u16string> names(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string problem;
        if (!entryNameToUtf16(entries[i].name, names[i], problem) || !checkEntryName(names[i], problem)) {
            error = "refusing entry " + quoted(entries[i].name) + " (from " + quoted(entries[i].sourcePath) + "): " + problem;
            return false;
        }
    }
    size_t earlier = 0;
    long later = findConflictingName(names, &earlier);
    if (later >= 0) {
        error = "entries " + quoted(entries[earlier].name) + " (from " + quoted(entries[earlier].sourcePath) +
                ") and " + quoted(entries[later].name) + " (from " + quoted(entries[later].sourcePath) +
                ") cannot both be extracted on Windows: same name, or a file where a directory is needed";
        return false;
    }
    return true;
}
