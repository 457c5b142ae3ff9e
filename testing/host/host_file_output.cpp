#include "testing/host/host_file_output.h"

#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <utility>

#include "extraction/file_output.h"
#include "run_directory/private_directory.h"

namespace {

struct OpenFile {
    std::wstring path;
    std::string data;
};

std::set<std::wstring> directories;
std::set<std::wstring> files;
std::vector<OpenFile *> openFiles;  // a fatal jump can leave one open
std::vector<HostClosedFile> closedFiles;
HostOpen lastOpen = HostOpen::Opened;
size_t diskLeft = 0;
bool diskFull = false;
std::wstring privateDirectory;
const RunDirectory *watched = nullptr;
const Extraction *watchedEntry = nullptr;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorPathNotFound = 3;

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Windows reads '/' as '\', folds runs of separators and ignores ASCII case.
std::wstring keyOf(const std::wstring &path) {
    std::wstring key;
    for (wchar_t c : path) {
        if (isSeparator(c)) {
            if (!key.empty() && key.back() == L'\\') {
                continue;
            }
            c = L'\\';
        } else if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        key.push_back(c);
    }
    while (key.size() > 1 && key.back() == L'\\') {
        key.pop_back();
    }
    return key;
}

std::wstring parentKey(const std::wstring &key) {
    size_t cut = key.rfind(L'\\');
    return cut == std::wstring::npos ? std::wstring() : key.substr(0, cut);
}

[[noreturn]] void escape(const char *why, const std::wstring &path) {
    fprintf(stderr, "host file system: %s:", why);
    for (wchar_t c : path) {
        fprintf(stderr, c >= 0x20 && c < 0x7f ? "%c" : "\\u%04x", static_cast<unsigned>(c));
    }
    fprintf(stderr, "\n");
    abort();
}

// A component Windows reads as "." or "..": only dots and blanks, since it
// trims those at the end of a component.
bool namesSelfOrParent(const std::wstring &part) {
    return !part.empty() && part.find_first_not_of(L". ") == std::wstring::npos && part.find(L'.') != std::wstring::npos;
}

// Windows opens a device for these names, whatever extension follows.
bool namesDevice(const std::wstring &part) {
    std::wstring stem = part.substr(0, part.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.pop_back();
    }
    for (wchar_t &c : stem) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$") {
        return true;
    }
    // COM and LPT take a digit 1 to 9, or a superscript one, two or three.
    return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           std::wstring(L"123456789\u00b9\u00b2\u00b3").find(stem[3]) != std::wstring::npos;
}

void checkStaysBelow(const std::wstring &rest, const std::wstring &path) {
    if (rest.empty() || rest.find(L':') != std::wstring::npos) {
        escape("empty or colon below the target", path);
    }
    std::wstring part;
    for (size_t i = 0; i <= rest.size(); i++) {
        if (i == rest.size() || isSeparator(rest[i])) {
            if (namesSelfOrParent(part)) {
                escape("dot component below the target", path);
            }
            if (namesDevice(part)) {
                escape("device name below the target", path);
            }
            part.clear();
        } else {
            part.push_back(rest[i]);
        }
    }
}

// The entry whose parts are being created must be one the launcher accepts.
void checkEntryNameAccepted(const std::wstring &name, const std::wstring &path) {
    if (!hostNameAccepted(name)) {
        escape("created for a refused entry name", path);
    }
}

// Files are the current entry's path; directories are the target, one of its
// ancestors, or the entry's path cut at one of its backslashes.
void checkRequest(const std::wstring &path, bool isFile) {
    if (watched == nullptr || watchedEntry == nullptr) {
        escape("no run directory to extract into", path);
    }
    std::wstring target = watched->targetDirectory;
    std::wstring name = watchedEntry->entryName;
    bool below = path.size() > target.size() && path.compare(0, target.size(), target) == 0 && path[target.size()] == L'\\';
    if (!below) {
        bool targetOrAncestor =
            path == target || (target.size() > path.size() && target.compare(0, path.size(), path) == 0 &&
                               target[path.size()] == L'\\');
        if (isFile || !targetOrAncestor) {
            escape("outside the target directory", path);
        }
        return;
    }
    std::wstring rest = path.substr(target.size() + 1);
    checkStaysBelow(rest, path);
    checkEntryNameAccepted(name, path);
    bool matchesName = isFile ? rest == name
                              : rest.size() < name.size() && name.compare(0, rest.size(), rest) == 0 &&
                                    name[rest.size()] == L'\\';
    if (!matchesName) {
        escape("not a part of the current entry", path);
    }
}

}  // namespace

bool hostNameAccepted(const std::wstring &name) {
    if (name.empty() || isSeparator(name[0]) || name.find(L':') != std::wstring::npos) {
        return false;
    }
    std::wstring part;
    for (size_t i = 0; i < name.size(); i++) {
        if (isSeparator(name[i])) {
            part.clear();
            continue;
        }
        part.push_back(name[i]);
        bool partEnds = i + 1 == name.size() || isSeparator(name[i + 1]);
        if (partEnds && (name[i] == L'.' || name[i] == L' ' || namesDevice(part))) {
            return false;
        }
    }
    return true;
}

void resetHostFileSystem(const std::wstring &existingDirectory, size_t diskCapacity, const RunDirectory *target,
                         const Extraction *extraction) {
    watched = target;
    watchedEntry = extraction;
    for (OpenFile *file : openFiles) {
        delete file;
    }
    openFiles.clear();
    closedFiles.clear();
    files.clear();
    directories.clear();
    lastOpen = HostOpen::Opened;
    privateDirectory.clear();
    diskLeft = diskCapacity;
    diskFull = false;
    for (std::wstring key = keyOf(existingDirectory); !key.empty(); key = parentKey(key)) {
        directories.insert(key);
    }
}

const std::vector<HostClosedFile> &hostClosedFiles() {
    return closedFiles;
}

HostOpen hostLastOpen() {
    return lastOpen;
}

bool hostDiskFull() {
    return diskFull;
}

const std::wstring &hostPrivateDirectory() {
    return privateDirectory;
}

void *createEntryFile(const wchar_t *path) {
    checkRequest(path, true);
    std::wstring key = keyOf(path);
    lastOpen = directories.count(key) != 0 ? HostOpen::Conflict : HostOpen::Opened;
    for (std::wstring above = parentKey(key); !above.empty(); above = parentKey(above)) {
        if (files.count(above) != 0) {
            lastOpen = HostOpen::Conflict;
        }
    }
    if (lastOpen == HostOpen::Opened && directories.count(parentKey(key)) == 0) {
        lastOpen = HostOpen::MissingParent;
    }
    if (lastOpen != HostOpen::Opened) {
        return nullptr;
    }
    files.insert(key);
    openFiles.push_back(new OpenFile{path, {}});
    return openFiles.back();
}

bool writeEntryFile(void *file, const void *data, uint32_t count, uint32_t *errorCode) {
    // A payload can decode to far more than a harness should hold.
    if (count > diskLeft) {
        diskFull = true;
        *errorCode = kErrorDiskFull;
        return false;
    }
    diskLeft -= count;
    OpenFile *open = static_cast<OpenFile *>(file);
    open->data.append(static_cast<const char *>(data), count);
    return true;
}

void closeEntryFile(void *file) {
    OpenFile *open = static_cast<OpenFile *>(file);
    closedFiles.push_back({open->path, std::move(open->data)});
    for (size_t i = 0; i < openFiles.size(); i++) {
        if (openFiles[i] == open) {
            openFiles.erase(openFiles.begin() + static_cast<long>(i));
        }
    }
    delete open;
}

bool createDirectory(const wchar_t *path) {
    checkRequest(path, false);
    std::wstring key = keyOf(path);
    // An existing file also answers "already exists", as on Windows.
    if (directories.count(key) != 0 || files.count(key) != 0) {
        return true;
    }
    if (directories.count(parentKey(key)) == 0) {
        return false;
    }
    directories.insert(key);
    return true;
}

NewDirectory createPrivateDirectory(const wchar_t *path, void **holder, uint64_t *fileId, uint32_t *errorCode) {
    checkRequest(path, false);
    std::wstring key = keyOf(path);
    if (directories.count(key) != 0 || files.count(key) != 0) {
        return NewDirectory::NameTaken;
    }
    if (directories.count(parentKey(key)) == 0) {
        *errorCode = kErrorPathNotFound;
        return NewDirectory::NoParent;
    }
    directories.insert(key);
    privateDirectory = path;
    *holder = &privateDirectory;  // any pointer: nothing on the host closes it
    *fileId = directories.size();
    return NewDirectory::Created;
}
