// zelmor-pack: turns an application (a DLL exporting run_code, or a program,
// plus its data files) into one Windows executable, a copy of the launcher
// stub that carries them as its payload. Runs natively; needs no Windows tools.
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "format/cache_index.h"
#include "format/container.h"
#include "format/launcher_settings.h"
#include "format/version.h"
#include "packer/application_identity.h"
#include "packer/cache_index.h"
#include "packer/dll_dependencies.h"
#include "packer/exclude_patterns.h"
#include "packer/file_access.h"
#include "packer/input_files.h"
#include "packer/payload_listing.h"
#include "packer/payload_writer.h"
#include "packer/pe/application_manifest.h"
#include "packer/pe/dll_check.h"
#include "packer/pe/icon_file.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/program_face.h"
#include "packer/pe/resource_find.h"
#include "packer/pe/resource_update.h"
#include "packer/utf16_name.h"
#include "packer/whole_number.h"

namespace {

// Quick enough for an edit-pack-run loop: a 50 MB mixed application packs
// in about 1.3 s of processor time at 9, against 23 s at 17, for a file 4 %
// larger. --best takes zstd's strongest level short of the ultra ones
// (35 s, 0.5 % smaller than 17); the launcher's window limit holds at any.
constexpr int kDefaultLevel = 9;
constexpr int kBestLevel = 19;

const char kUsage[] =
    "usage: zelmor-pack [options] APPLICATION.dll OUTPUT.exe\n"
    "       zelmor-pack [options] --dir FOLDER --run PROGRAM.exe OUTPUT.exe\n"
    "       zelmor-pack --list PACKED.exe\n"
    "       zelmor-pack --version\n"
    "\n"
    "  APPLICATION.dll        the application; it must export run_code and becomes\n"
    "                         the first file, at the top of the extraction directory\n"
    "  --run PROGRAM.exe      the application is a program instead, a 64-bit executable that\n"
    "                         the launcher starts: one of the files packed, named by its path\n"
    "                         relative to its --dir (below that --dir's PREFIX) or by a --file's\n"
    "                         NAME. It becomes the first file; its DLLs are found beside it. The\n"
    "                         packed executable takes its subsystem, icon, version resource and\n"
    "                         execution level, unless the options below set them\n"
    "  -d, --dir [PREFIX=]DIR add every file below DIR under its path relative to DIR,\n"
    "                         below the folder PREFIX of the payload if given (--dir\n"
    "                         data=assets); a DIR whose path holds '=' is given as =DIR\n"
    "  --exclude PATTERN      leave out what a --dir holds that PATTERN matches; repeatable.\n"
    "                         Matched against the path relative to DIR, '/' between names:\n"
    "                         without '/' it matches a name at any depth (Thumbs.db, *.pdb),\n"
    "                         ending in '/' only directories, with all they hold (.git/),\n"
    "                         with '/' elsewhere the whole path (docs/drafts/, /notes.txt).\n"
    "                         '*' matches any characters but '/', '?' one; letters are\n"
    "                         compared without case\n"
    "  -f, --file NAME=FILE   add FILE under the entry name NAME (a relative path)\n"
    "  --stub FILE            the launcher stub (default: zelmor-launcher.exe beside zelmor-pack,\n"
    "                         or in ../share/zelmor-onefile/ from it)\n"
    "  --icon FILE.ico        replace the stub's icon (or the program's)\n"
    "  --console              a console program: the shell waits for it, it shares the\n"
    "                         console, Ctrl+C reaches it (default: a GUI program; with\n"
    "                         --run, what the program is)\n"
    "  --gui                  a GUI program, also where the program is a console one\n"
    "  --uac-admin            the manifest requests requireAdministrator (default: asInvoker;\n"
    "                         with --run, the program's level if its manifest names one)\n"
    "  --manifest FILE        the application's own manifest in place of the stub's: checked,\n"
    "                         and given long-path awareness and an execution level if it has none\n"
    "  --visual-styles        the manifest asks for Common Controls 6 (themed buttons and lists)\n"
    "  --dpi-aware[=MODE]     the manifest declares the program DPI aware: system, permonitor\n"
    "                         or permonitorv2 (the default), so that Windows does not blur it\n"
    "  --no-error-dialog      no message box when the launcher fails with nowhere to write\n"
    "                         (a GUI program started from Explorer has no standard output)\n"
    "  --cache[=ID]           extract once: the first run unpacks into the user's cache,\n"
    "                         %LOCALAPPDATA%\\Zelmor\\ID\\<version>, later runs start from there.\n"
    "                         ID (default: OUTPUT's name without .exe) is 1-64 ASCII letters,\n"
    "                         digits, '.', '-', '_' or blanks, starting with a letter or digit,\n"
    "                         not ending in '.' or a blank, no device name (CON, NUL, COM1, ...)\n"
    "\n"
    "  The version resource shows the application's identity; what is not given defaults\n"
    "  (with --run, the program's own version resource, what is given laid over it):\n"
    "  --product-name TEXT    ProductName (default: OUTPUT's name without .exe)\n"
    "  --company-name TEXT    CompanyName (default: none)\n"
    "  --file-description TEXT  FileDescription (default: the product name)\n"
    "  --file-version VERSION   FileVersion, one to four numbers 0-65535 (1.2.3 is 1.2.3.0;\n"
    "                         default: the product version's numbers, else 1.0.0.0)\n"
    "  --product-version TEXT   ProductVersion, any text such as 1.2.3-beta; its leading\n"
    "                         numbers are the numeric product version (default: the file version)\n"
    "  --copyright TEXT       LegalCopyright (default: none)\n"
    "  --original-filename NAME  OriginalFilename (default: OUTPUT's file name)\n"
    "  --keep-stub-identity   keep the stub's own version resource instead\n"
    "\n"
    "  --level N              zstd compression level, 1-22 (default 9: quick to pack)\n"
    "  --best                 the smallest file, slower to pack (--level 19)\n"
    "  --threads N            compression threads (default: one per processor)\n"
    "  --no-checksum          leave out the content checksum (a damaged file then fails later)\n"
    "  --any-first-entry      skip the check that APPLICATION.dll is a 64-bit DLL with run_code\n"
    "                         (or that PROGRAM.exe is a 64-bit program)\n"
    "  --strict               a DLL the application needs that is neither packed nor part\n"
    "                         of Windows is an error, not a warning\n"
    "  -q, --quiet            no progress and no summary (warnings and errors still show)\n"
    "  --list PACKED.exe      print the entries (size and name) of a packed executable,\n"
    "                         then what it runs, its subsystem, manifest, launcher settings,\n"
    "                         cache and version, and which of them are the program's\n";

struct Options {
    PackInputs inputs;
    std::string output;
    std::string stub;
    std::string icon;
    std::string list;
    PayloadOptions payload;
    bool checkFirstEntry = true;
    bool quiet = false;
    bool console = false;
    bool gui = false;
    bool uacAdmin = false;
    bool keepStubIdentity = false;
    bool errorDialog = true;
    std::string manifest;
    ManifestSettings manifestSettings;
    bool strict = false;
    std::map<std::string, std::string> identity;  // version string name -> value, as given
    bool cache = false;
    std::string cacheId;  // as given; empty for the default
    std::u16string cacheIdUnits;
};

// The identity option `argument` names, or nullptr.
const IdentityOption *identityOption(const std::string &argument) {
    for (const IdentityOption &identity : kIdentityOptions) {
        if (argument == identity.option) {
            return &identity;
        }
    }
    return nullptr;
}

int usageError(const std::string &problem) {
    fprintf(stderr, "zelmor-pack: %s\n\n%s", problem.c_str(), kUsage);
    return 2;
}

int failure(const std::string &message) {
    fprintf(stderr, "zelmor-pack: %s\n", message.c_str());
    return 1;
}

// Every problem a line of its own; 1 when there is any.
int failures(const std::vector<std::string> &problems) {
    for (const std::string &problem : problems) {
        failure(problem);
    }
    return problems.empty() ? 0 : 1;
}

// Options followed by a value; any other word that starts with '-' is unknown.
bool takesValue(const std::string &argument) {
    const char *const options[] = {"-d", "--dir", "-f", "--file", "--exclude", "--stub", "--icon", "--list",
                                   "--level", "--threads", "--manifest", "--run"};
    return std::find(std::begin(options), std::end(options), argument) != std::end(options) ||
           identityOption(argument) != nullptr;
}

void printWarnings(const std::vector<std::string> &warnings) {
    for (const std::string &warning : warnings) {
        fprintf(stderr, "zelmor-pack: warning: %s\n", warning.c_str());
    }
}

bool exists(const std::string &path) {
    PathFacts facts;
    std::string error;
    return describePath(path, facts, error) && facts.kind != PathKind::Missing;
}

// The stub beside the packer (in the build tree, and the Windows build's
// way), else where `cmake --install` puts it: PREFIX/share/zelmor-onefile
// beside PREFIX/bin. A stub in neither place is reported by the first.
std::string defaultStub(const std::string &argv0) {
    const char kStub[] = "zelmor-launcher.exe";
    std::string directory = ownDirectory(argv0);
    std::string beside = joinPath(directory, kStub);
    std::string installed = joinPath(joinPath(joinPath(parentDirectory(directory), "share"), "zelmor-onefile"), kStub);
    return exists(beside) || !exists(installed) ? beside : installed;
}

int parseArguments(const std::vector<std::string> &arguments, Options &options) {
    std::vector<std::string> positional;
    size_t count = arguments.size();
    for (size_t i = 1; i < count; ++i) {
        const std::string &argument = arguments[i];
        bool hasValue = i + 1 < count;
        if (argument == "-h" || argument == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (argument == "--version") {
            puts("zelmor-pack " ZELMOR_VERSION_TEXT);
            exit(0);
        } else if (argument == "--no-checksum") {
            options.payload.checksum = false;
        } else if (argument == "--any-first-entry") {
            options.checkFirstEntry = false;
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else if (argument == "--console") {
            options.console = true;
        } else if (argument == "--gui") {
            options.gui = true;
        } else if (argument == "--uac-admin") {
            options.uacAdmin = true;
        } else if (argument == "--keep-stub-identity") {
            options.keepStubIdentity = true;
        } else if (argument == "--no-error-dialog") {
            options.errorDialog = false;
        } else if (argument == "--visual-styles") {
            options.manifestSettings.visualStyles = true;
        } else if (argument == "--dpi-aware" || argument.rfind("--dpi-aware=", 0) == 0) {
            std::string mode = argument == "--dpi-aware" ? "permonitorv2" : argument.substr(12);
            if (!parseDpiAwareness(mode, options.manifestSettings.dpiAwareness)) {
                return usageError("--dpi-aware takes system, permonitor or permonitorv2, not " + mode);
            }
        } else if (argument == "--cache" || argument.rfind("--cache=", 0) == 0) {
            if (argument == "--cache=") {
                return usageError("--cache= needs an application id");
            }
            options.cache = true;
            options.cacheId = argument == "--cache" ? "" : argument.substr(8);
        } else if (argument == "--strict") {
            options.strict = true;
        } else if (argument == "--best") {
            options.payload.level = kBestLevel;
        } else if (argument.rfind("-", 0) == 0 && argument.size() > 1) {
            if (!takesValue(argument)) {
                return usageError("unknown option " + argument);
            }
            if (!hasValue) {
                return usageError(argument + " needs a value");
            }
            const char *value = arguments[++i].c_str();
            const char *equals = strchr(value, '=');
            if (argument == "-d" || argument == "--dir") {
                options.inputs.directories.push_back(
                    equals == nullptr ? DirectoryInput{"", value}
                                      : DirectoryInput{std::string(value, equals - value), equals + 1});
            } else if (argument == "--exclude") {
                std::string problem;
                if (!checkExcludePattern(value, problem)) {
                    return usageError(problem);
                }
                options.inputs.excludes.push_back(value);
            } else if (argument == "-f" || argument == "--file") {
                if (equals == nullptr || equals == value) {
                    return usageError(std::string("--file needs NAME=FILE, got ") + value);
                }
                options.inputs.singleFiles.push_back({std::string(value, equals - value), equals + 1});
            } else if (argument == "--stub") {
                options.stub = value;
            } else if (argument == "--icon") {
                options.icon = value;
            } else if (argument == "--manifest") {
                options.manifest = value;
            } else if (argument == "--run") {
                if (*value == '\0' || !options.inputs.program.empty()) {
                    return usageError("--run takes one program, named by its path relative to its --dir");
                }
                options.inputs.program = value;
            } else if (argument == "--list") {
                options.list = value;
            } else if (const IdentityOption *identity = identityOption(argument)) {
                if (*value == '\0') {
                    return usageError(argument + " needs a value that is not empty");
                }
                options.identity[identity->key] = value;
            } else if (argument == "--level") {
                if (!parseWholeNumber(value, 1, 22, options.payload.level)) {
                    return usageError("--level needs a whole number from 1 to 22");
                }
            } else if (argument == "--threads") {
                if (!parseWholeNumber(value, 1, 256, options.payload.workers)) {
                    return usageError("--threads needs a whole number from 1 to 256");
                }
            } else {
                return usageError("unknown option " + argument);
            }
        } else {
            positional.push_back(argument);
        }
    }
    if (!options.list.empty()) {
        return positional.empty() ? 0 : usageError("--list takes no other files");
    }
    if (options.keepStubIdentity && !options.identity.empty()) {
        return usageError("--keep-stub-identity keeps the stub's version resource: it takes no identity options");
    }
    if (options.console && options.gui) {
        return usageError("--console and --gui ask for different subsystems: give one");
    }
    bool program = !options.inputs.program.empty();
    if (positional.size() != (program ? 1 : 2)) {
        return usageError(program ? "with --run PROGRAM.exe, expected OUTPUT.exe alone"
                                  : "expected APPLICATION.dll and OUTPUT.exe");
    }
    options.inputs.applicationDll = program ? "" : positional[0];
    options.output = positional.back();
    options.inputs.output = options.output;
    if (options.stub.empty()) {
        options.stub = defaultStub(arguments.empty() ? "" : arguments[0]);
    }
    std::string problem;
    bool given = !options.cacheId.empty();
    if (options.cache && !parseCacheId(given ? options.cacheId : defaultCacheId(options.output),
                                       options.cacheIdUnits, problem)) {
        return usageError(problem + (given ? "" : " (taken from OUTPUT's name: give one with --cache=ID)"));
    }
    return 0;
}

// Prints each entry; `context` is the first one's name, kept for the identity.
void printEntry(const ListedEntry &entry, void *context) {
    std::string name = utf16ToUtf8(entry.name);
    printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size), name.c_str());
    std::string &first = *static_cast<std::string *>(context);
    first = first.empty() ? name : first;
}

int listEntries(const std::string &path) {
    std::vector<uint8_t> image, payload, application;
    std::string error;
    if (!readWholeFile(path, image, error)) {
        return failure(path + ": " + error);
    }
    PeImage parsed;
    if (!parsePeImage(image, parsed, error)) {
        return failure(path + ": " + error);
    }
    if (!findResource(image, kPayloadResourceType, kPayloadResourceId, payload, error)) {
        return failure(path + ": has no payload that can be listed (not an executable made by zelmor-pack?): " +
                       error);
    }
    // The image reads and has its payload: an index that cannot be found is absent.
    std::vector<uint8_t> index;
    bool cached = findResource(image, kCacheIndexResourceType, kCacheIndexResourceId, index, error);
    if (!cached && error.rfind("no ", 0) != 0) {
        return failure(path + ": " + error);
    }
    // A damaged payload shows no entries at all: checked whole first, against
    // its cache index if it has one, then listed.
    if (!(cached ? checkCacheIndex(index, payload, error) : listPayload(payload, nullptr, nullptr, error, false))) {
        return failure(path + ": " + error);
    }
    // Decoded once already without fault: the same bytes decode the same way again.
    std::string applicationName;
    listPayload(payload, printEntry, &applicationName, error, false, &application);
    printf("\n");
    printIdentity(image, applicationName, application, stdout);
    return 0;
}

// Progress on a terminal, redrawn in place: stream bytes read of the total,
// and compressed bytes written.
struct Progress {
    std::chrono::steady_clock::time_point lastShown;
    size_t width;  // of the line shown last, 0 before the first
};

void showProgress(uint64_t read, uint64_t total, uint64_t written, void *context) {
    Progress &progress = *static_cast<Progress *>(context);
    auto now = std::chrono::steady_clock::now();
    if (progress.width != 0 && now - progress.lastShown < std::chrono::milliseconds(200)) {
        return;
    }
    progress.lastShown = now;
    char line[160];
    int width = snprintf(line, sizeof line, "zelmor-pack: read %.1f of %.1f MB (%llu%%), written %.1f MB", read / 1e6,
                         total / 1e6, static_cast<unsigned long long>(total ? read * 100 / total : 100),
                         written / 1e6);
    fprintf(stderr, "\r%-*s", static_cast<int>(progress.width), line);
    fflush(stderr);
    progress.width = width > 0 ? static_cast<size_t>(width) : progress.width;
}

// Clears the progress line, so that what follows starts on a clean line.
void endProgress(const Progress &progress) {
    if (progress.width != 0) {
        fprintf(stderr, "\r%*s\r", static_cast<int>(progress.width), "");
        fflush(stderr);
    }
}

// The version resource: the program's own, what is given laid over it, or
// else the one the identity options make.
bool chooseVersion(const Options &options, const ProgramFace &face, ResourceChanges &changes, std::string &error) {
    VersionInfo version;
    if (!face.version) {
        if (!applicationIdentity(options.identity, options.output, version, error)) {
            return false;
        }
        changes.version = version;
        return true;
    }
    changes.versionResource = face.version;
    if (options.identity.empty()) {
        return true;
    }
    // Read once already by the face, without fault.
    return parseVersionResource(*face.version, version, error) && overlayIdentity(options.identity, version, error) &&
           buildVersionResource(version, *changes.versionResource, error);
}

int pack(const Options &options) {
    auto started = std::chrono::steady_clock::now();
    std::string error;
    std::vector<uint8_t> stub, application;
    if (!readWholeFile(options.stub, stub, error)) {
        return failure("launcher stub: " + error);
    }
    bool program = !options.inputs.program.empty();
    if (options.checkFirstEntry && !program) {
        if (!readWholeFile(options.inputs.applicationDll, application, error) ||
            !checkApplicationDll(application, error)) {
            return failure(options.inputs.applicationDll + ": " + error);
        }
    }
    // Every file read, whatever its part: writing the output over one would
    // destroy it. A program is one of the files below.
    std::vector<std::string> read = {options.stub};
    if (!program) {
        read.insert(read.begin(), options.inputs.applicationDll);
    }
    if (!options.icon.empty()) {
        read.push_back(options.icon);
    }
    if (!options.manifest.empty()) {
        read.push_back(options.manifest);
    }
    for (const PayloadEntry &single : options.inputs.singleFiles) {
        read.push_back(single.sourcePath);
    }
    if (!checkOutputApart(options.output, read, error)) {
        return failure(error);
    }
    std::vector<PayloadEntry> entries;
    std::vector<std::string> warnings, problems;
    if (!gatherEntries(options.inputs, entries, warnings, error)) {
        printWarnings(warnings);
        return failure(error);
    }
    ProgramFace face;
    if (program) {
        const PayloadEntry &first = entries.front();
        if (!readWholeFile(first.sourcePath, application, error) ||
            (options.checkFirstEntry && !checkProgram(application, error))) {
            printWarnings(warnings);
            return failure(first.sourcePath + ": " + error);
        }
        std::vector<std::string> unread;
        readProgramFace(application, face, unread);
        for (const std::string &part : unread) {
            warnings.push_back(first.sourcePath + ": " + part);
        }
    }
    // Every refused name at once, and then what the application will miss.
    bool named = checkEntryNames(entries, warnings, problems);
    if (named && !findMissingDlls(entries, program, options.strict ? problems : warnings, error)) {
        printWarnings(warnings);
        return failure(error);
    }
    // Warnings say what would ship: they show even with --quiet, and before a refusal.
    printWarnings(warnings);
    if (!problems.empty()) {
        return failures(problems);
    }
    ResourceChanges changes;
    if (!options.icon.empty()) {
        std::vector<uint8_t> iconFile;
        IconResources icon;
        if (!readWholeFile(options.icon, iconFile, error) || !parseIconFile(iconFile, icon, error)) {
            return failure(options.icon + ": " + error);
        }
        changes.icon = icon;
    } else {
        changes.icon = face.icon;
    }
    if (!options.keepStubIdentity && !chooseVersion(options, face, changes, error)) {
        return failure(error);
    }
    std::string level = options.uacAdmin                 ? "requireAdministrator"
                        : !face.executionLevel.empty() ? face.executionLevel
                                                       : "asInvoker";
    if (!options.manifest.empty()) {
        std::vector<uint8_t> manifest;
        std::vector<std::string> manifestWarnings;
        bool completed = readWholeFile(options.manifest, manifest, error) &&
                         completeManifest(manifest, level, options.uacAdmin, manifestWarnings, error);
        printWarnings(manifestWarnings);
        if (!completed) {
            return failure(options.manifest + ": " + error);
        }
        changes.manifest = manifest;
    } else if (options.uacAdmin || !face.executionLevel.empty()) {
        changes.executionLevel = level;
    }
    changes.manifestSettings = options.manifestSettings;
    LauncherSettings settings;
    settings.errorDialog = options.errorDialog;
    settings.startProgram = program;
    uint8_t record[kSettingsSize];
    writeLauncherSettings(settings, record);
    changes.settings.assign(record, record + kSettingsSize);
    if (options.console || options.gui) {
        changes.subsystem = options.console ? kSubsystemConsole : kSubsystemGui;
    } else if (face.subsystem == kSubsystemConsole || face.subsystem == kSubsystemGui) {
        changes.subsystem = face.subsystem;
    }
    // Refused before the long part, not after it.
    if (options.cache && entries.size() > kCacheIndexEntryLimit) {
        return failure("--cache takes at most " + std::to_string(kCacheIndexEntryLimit) + " entries, not " +
                       std::to_string(entries.size()));
    }
    bool console = changes.subsystem == kSubsystemConsole;
    Progress progress = {std::chrono::steady_clock::now(), 0};
    PayloadOptions payloadOptions = options.payload;
    payloadOptions.digests = options.cache;
    if (!options.quiet && isTerminal(stderr)) {
        payloadOptions.progress = showProgress;
        payloadOptions.progressContext = &progress;
    }
    PayloadSummary summary;
    bool compressed = compressPayload(options.output, entries, payloadOptions, changes.payload, summary, error);
    endProgress(progress);
    if (!compressed || (options.cache && !buildCacheIndex(options.cacheIdUnits, summary.entries, changes.cacheIndex,
                                                          error))) {
        return failure(error);
    }
    std::vector<uint8_t> packed;
    if (!updateResources(stub, changes, packed, error)) {
        return failure("launcher stub " + options.stub + ": " + error);
    }
    if (!replaceFile(options.output, packed, true, error)) {
        return failure(error);
    }
    if (!options.quiet) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        fprintf(stderr,
                "zelmor-pack: %zu %s, %llu bytes in, %llu bytes of payload (%.1f%%), %.2f s: %s (%s)\n",
                entries.size(), entries.size() == 1 ? "entry" : "entries",
                static_cast<unsigned long long>(summary.inputSize),
                static_cast<unsigned long long>(summary.containerSize),
                summary.inputSize ? 100.0 * summary.containerSize / summary.inputSize : 100.0, seconds,
                options.output.c_str(), console ? "console subsystem" : "GUI subsystem");
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Letters beyond ASCII are compared without case the way Windows does,
    // which needs the C library's Unicode character tables.
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        setlocale(LC_CTYPE, "");
    }
    std::vector<std::string> arguments;
    std::string error;
    if (!commandLineArguments(argc, argv, arguments, error)) {
        return failure(error);
    }
    Options options;
    options.payload.level = kDefaultLevel;
    options.payload.checksum = true;
    options.payload.recordContentSize = true;
    unsigned processors = std::thread::hardware_concurrency();
    options.payload.workers = processors > 0 ? static_cast<int>(processors) : 1;
    int parsed = parseArguments(arguments, options);
    if (parsed != 0) {
        return parsed;
    }
    return options.list.empty() ? pack(options) : listEntries(options.list);
}
