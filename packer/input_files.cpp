#include "packer/input_files.h"

#include <stdint.h>

#include <algorithm>
#include <utility>

#include "packer/entry_names.h"
#include "packer/file_access.h"
#include "packer/utf16_name.h"

namespace {

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// One --dir being walked.
struct Walk {
    std::string root;
    std::string resolvedRoot;
    // The directories from the root down to the one being read, by identity:
    // meeting one of them again below itself is a loop.
    std::vector<std::pair<uint64_t, uint64_t>> identities;
    std::vector<std::string> paths;
    std::vector<PayloadEntry> &entries;
    std::vector<std::string> &warnings;
    std::string &error;
};

bool fail(std::string &error, const std::string &message) {
    error = message;
    return false;
}

bool checkKind(Walk &walk, const DirectoryItem &item, const std::string &path, const PathFacts &facts) {
    switch (facts.kind) {
    case PathKind::Missing:
        return fail(walk.error, item.isLink ? quoted(path) + " is a dangling link: nothing is at its target"
                                            : quoted(path) + " vanished while its directory was read");
    case PathKind::LinkLoop:
        return fail(walk.error, quoted(path) + " is a link that leads into a loop of links");
    case PathKind::Other:
        // Sockets, devices and the like have no place in an application.
        return fail(walk.error, quoted(path) + " is not a regular file");
    default:
        return true;
    }
}

bool walkDirectory(Walk &walk, const std::string &path, const std::string &resolved, const std::string &prefix) {
    std::vector<DirectoryItem> items;
    if (!listDirectory(path, items, walk.error)) {
        return false;
    }
    for (const DirectoryItem &item : items) {
        std::string itemPath = joinPath(path, item.name);
        std::string name = prefix + item.name;
        PathFacts facts;
        std::string itemResolved;
        if (!describePath(itemPath, facts, walk.error) || !checkKind(walk, item, itemPath, facts) ||
            !resolvePath(itemPath, itemResolved, walk.error)) {
            return false;
        }
        // Reached through a link when its real place is not where it is listed.
        if (itemResolved != joinPath(resolved, item.name) && !isWithin(itemResolved, walk.resolvedRoot)) {
            walk.warnings.push_back("the link " + quoted(itemPath) + " leads outside " + quoted(walk.root) + " to " +
                                    quoted(itemResolved) + "; packing what it points to as " + quoted(name));
        }
        if (facts.kind != PathKind::Directory) {
            walk.entries.push_back({name, itemPath});
            continue;
        }
        std::pair<uint64_t, uint64_t> identity(facts.volume, facts.index);
        auto seen = std::find(walk.identities.begin(), walk.identities.end(), identity);
        if (seen != walk.identities.end()) {
            return fail(walk.error, quoted(itemPath) + " leads back to " +
                                        quoted(walk.paths[seen - walk.identities.begin()]) +
                                        ", which contains it: a loop of links");
        }
        walk.identities.push_back(identity);
        walk.paths.push_back(itemPath);
        bool done = walkDirectory(walk, itemPath, itemResolved, name + "/");
        walk.identities.pop_back();
        walk.paths.pop_back();
        if (!done) {
            return false;
        }
    }
    return true;
}

bool addDirectory(const std::string &directory, std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                  std::string &error) {
    Walk walk = {directory, "", {}, {directory}, entries, warnings, error};
    PathFacts facts;
    if (!describePath(directory, facts, error)) {
        return false;
    }
    if (facts.kind != PathKind::Directory) {
        return fail(error, "cannot read the directory " + quoted(directory) + ": " +
                               (facts.kind == PathKind::Missing ? "nothing is there" : "it is not a directory"));
    }
    walk.identities.push_back({facts.volume, facts.index});
    return resolvePath(directory, walk.resolvedRoot, error) &&
           walkDirectory(walk, directory, walk.resolvedRoot, "");
}

std::string storedForm(const std::string &name) {
    std::string form = name;
    std::replace(form.begin(), form.end(), '/', '\\');
    return form;
}

}  // namespace

bool gatherEntries(const PackInputs &inputs, std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                   std::string &error) {
    entries.clear();
    std::vector<PayloadEntry> rest = inputs.singleFiles;
    for (const std::string &directory : inputs.directories) {
        if (!addDirectory(directory, rest, warnings, error)) {
            return false;
        }
    }
    // The same inputs always give the same payload, whatever order the file
    // system lists them in.
    std::stable_sort(rest.begin(), rest.end(), [](const PayloadEntry &a, const PayloadEntry &b) {
        return storedForm(a.name) < storedForm(b.name);
    });
    entries.push_back({lastComponent(inputs.applicationDll), inputs.applicationDll});
    entries.insert(entries.end(), rest.begin(), rest.end());
    return true;
}

bool checkEntryNames(const std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                     std::string &error) {
    std::vector<std::u16string> names(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string problem;
        if (!entryNameToUtf16(entries[i].name, names[i], problem) || !checkEntryName(names[i], problem)) {
            error = "refusing entry " + quoted(entries[i].name) + " (from " + quoted(entries[i].sourcePath) + "): " + problem;
            return false;
        }
        if (mayReachMaxPath(names[i])) {
            warnings.push_back("entry " + quoted(entries[i].name) + ": beneath a typical temp directory its path is " +
                               std::to_string(typicalExtractedPathUnits(names[i])) +
                               " characters, reaching MAX_PATH (" + std::to_string(kMaxPathUnits) +
                               "); applications that are not long-path aware may fail to open it");
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
