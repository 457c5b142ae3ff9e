#include "packer/input_files.h"

#include <stdint.h>

#include <algorithm>
#include <utility>

#include "packer/entry_names.h"
#include "packer/exclude_patterns.h"
#include "packer/file_access.h"
#include "packer/utf16_name.h"

namespace {

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// Where the output is, to leave it out of a walk: its identity when it
// exists, and its directory's.
struct OutputPlace {
    std::string path;
    std::string name;
    PathFacts facts;
    PathFacts directory;
};

bool sameFile(const PathFacts &a, const PathFacts &b) {
    return a.kind != PathKind::Missing && b.kind != PathKind::Missing && a.volume == b.volume && a.index == b.index;
}

// One --dir being walked.
struct Walk {
    const DirectoryInput &input;
    const std::vector<std::string> &excludes;
    const OutputPlace &output;
    std::string namePrefix;  // the entry names' start: the prefix and '/', or nothing
    std::string resolvedRoot;
    // The directories from the root down to the one being read, by identity:
    // meeting one of them again below itself is a loop.
    std::vector<PathFacts> identities;
    std::vector<std::string> paths;
    bool outputSeen;
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

// Sets `leftOut` for the output itself and the packer's unfinished files
// beside it, in the directory being read: packing the output would grow it
// with every pack. The output under another name (a link, a hard link) is an
// error.
bool checkOutput(Walk &walk, const DirectoryItem &item, const std::string &path, const PathFacts &facts,
                 bool &leftOut) {
    bool outputDirectory = sameFile(walk.identities.back(), walk.output.directory);
    bool output = sameFile(facts, walk.output.facts);
    if (output && (!outputDirectory || item.isLink)) {
        return fail(walk.error, quoted(path) + " is the output " + quoted(walk.output.path) +
                                    " under another name: packing it would pack the previous output");
    }
    leftOut = output || (outputDirectory && isNameBeside(item.name, walk.output.name));
    return true;
}

bool walkDirectory(Walk &walk, const std::string &path, const std::string &resolved, const std::string &relative) {
    std::vector<DirectoryItem> items;
    if (!listDirectory(path, items, walk.error)) {
        return false;
    }
    if (!walk.outputSeen && sameFile(walk.identities.back(), walk.output.directory)) {
        walk.outputSeen = true;
        walk.warnings.push_back("the output " + quoted(walk.output.path) + " lies inside " +
                                quoted(walk.input.path) + "; it is left out of the payload");
    }
    for (const DirectoryItem &item : items) {
        std::string itemPath = joinPath(path, item.name);
        std::string itemRelative = relative + item.name;
        std::string name = walk.namePrefix + itemRelative;
        PathFacts facts;
        std::string itemResolved;
        bool leftOut = false;
        if (!describePath(itemPath, facts, walk.error) || !checkOutput(walk, item, itemPath, facts, leftOut)) {
            return false;
        }
        if (leftOut || isExcluded(walk.excludes, itemRelative, facts.kind == PathKind::Directory)) {
            continue;
        }
        if (!checkKind(walk, item, itemPath, facts) || !resolvePath(itemPath, itemResolved, walk.error)) {
            return false;
        }
        // Reached through a link when its real place is not where it is listed.
        if (itemResolved != joinPath(resolved, item.name) && !isWithin(itemResolved, walk.resolvedRoot)) {
            walk.warnings.push_back("the link " + quoted(itemPath) + " leads outside " + quoted(walk.input.path) +
                                    " to " + quoted(itemResolved) + "; packing what it points to as " + quoted(name));
        }
        if (facts.kind != PathKind::Directory) {
            walk.entries.push_back({name, itemPath});
            continue;
        }
        auto seen = std::find_if(walk.identities.begin(), walk.identities.end(),
                                 [&](const PathFacts &other) { return sameFile(facts, other); });
        if (seen != walk.identities.end()) {
            return fail(walk.error, quoted(itemPath) + " leads back to " +
                                        quoted(walk.paths[seen - walk.identities.begin()]) +
                                        ", which contains it: a loop of links");
        }
        walk.identities.push_back(facts);
        walk.paths.push_back(itemPath);
        bool done = walkDirectory(walk, itemPath, itemResolved, itemRelative + "/");
        walk.identities.pop_back();
        walk.paths.pop_back();
        if (!done) {
            return false;
        }
    }
    return true;
}

bool addDirectory(const DirectoryInput &input, const std::vector<std::string> &excludes, const OutputPlace &output,
                  std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings, std::string &error) {
    Walk walk = {input, excludes, output, input.prefix, "", {}, {input.path}, false, entries, warnings, error};
    while (!walk.namePrefix.empty() && (walk.namePrefix.back() == '/' || walk.namePrefix.back() == '\\')) {
        walk.namePrefix.pop_back();
    }
    walk.namePrefix += walk.namePrefix.empty() ? "" : "/";
    PathFacts facts;
    if (!describePath(input.path, facts, error)) {
        return false;
    }
    if (facts.kind != PathKind::Directory) {
        return fail(error, "cannot read the directory " + quoted(input.path) + ": " +
                               (facts.kind == PathKind::Missing ? "nothing is there" : "it is not a directory"));
    }
    walk.identities.push_back(facts);
    return resolvePath(input.path, walk.resolvedRoot, error) &&
           walkDirectory(walk, input.path, walk.resolvedRoot, "");
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
    OutputPlace output = {inputs.output, lastComponent(inputs.output), {}, {}};
    if (!inputs.output.empty() && (!describePath(inputs.output, output.facts, error) ||
                                   !describePath(parentDirectory(inputs.output), output.directory, error))) {
        return false;
    }
    std::vector<PayloadEntry> rest = inputs.singleFiles;
    for (const DirectoryInput &directory : inputs.directories) {
        if (!addDirectory(directory, inputs.excludes, output, rest, warnings, error)) {
            return false;
        }
    }
    // The same inputs always give the same payload, whatever order the file
    // system lists them in.
    std::stable_sort(rest.begin(), rest.end(), [](const PayloadEntry &a, const PayloadEntry &b) {
        return storedForm(a.name) < storedForm(b.name);
    });
    if (inputs.program.empty()) {
        entries.push_back({lastComponent(inputs.applicationDll), inputs.applicationDll});
    } else {
        std::u16string wanted = comparableEntryName(inputs.program);
        auto program = std::find_if(rest.begin(), rest.end(), [&](const PayloadEntry &entry) {
            return !wanted.empty() && comparableEntryName(entry.name) == wanted;
        });
        if (program == rest.end()) {
            return fail(error, "--run " + quoted(inputs.program) +
                                   ": no file of that name is packed; name the program by its path relative to "
                                   "the --dir that holds it (below that --dir's PREFIX, if it has one), or by a "
                                   "--file's NAME");
        }
        entries.push_back(*program);
        rest.erase(program);
    }
    entries.insert(entries.end(), rest.begin(), rest.end());
    return true;
}

bool checkOutputApart(const std::string &output, const std::vector<std::string> &inputs, std::string &error) {
    PathFacts written;
    if (!describePath(output, written, error)) {
        return false;
    }
    for (const std::string &input : inputs) {
        PathFacts read;
        if (!describePath(input, read, error)) {
            return false;
        }
        if (sameFile(read, written)) {
            return fail(error, "the output " + quoted(output) + " is the input " + quoted(input) +
                                   " (the same file): writing it would destroy that input");
        }
    }
    return true;
}

bool checkEntryNames(const std::vector<PayloadEntry> &entries, std::vector<std::string> &warnings,
                     std::vector<std::string> &problems) {
    // The accepted names, and for each the entry it came from.
    std::vector<std::u16string> names;
    std::vector<size_t> from;
    size_t before = problems.size();
    for (size_t i = 0; i < entries.size(); ++i) {
        std::u16string name;
        std::string problem;
        if (!entryNameToUtf16(entries[i].name, name, problem) || !checkEntryName(name, problem)) {
            problems.push_back("refusing entry " + quoted(entries[i].name) + " (from " +
                               quoted(entries[i].sourcePath) + "): " + problem);
            continue;
        }
        if (mayReachMaxPath(name)) {
            warnings.push_back("entry " + quoted(entries[i].name) + ": beneath a typical temp directory its path is " +
                               std::to_string(typicalExtractedPathUnits(name)) + " characters, reaching MAX_PATH (" +
                               std::to_string(kMaxPathUnits) +
                               "); applications that are not long-path aware may fail to open it");
        }
        names.push_back(name);
        from.push_back(i);
    }
    for (const auto &[earlierName, laterName] : findConflictingNames(names)) {
        const PayloadEntry &earlier = entries[from[earlierName]], &later = entries[from[laterName]];
        problems.push_back("entries " + quoted(earlier.name) + " (from " + quoted(earlier.sourcePath) + ") and " +
                           quoted(later.name) + " (from " + quoted(later.sourcePath) +
                           ") cannot both be extracted on Windows: same name, or a file where a directory is needed");
    }
    return problems.size() == before;
}
