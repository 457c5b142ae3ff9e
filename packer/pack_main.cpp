// zelmor-pack: turns an application (a DLL exporting run_code, plus its data
// files) into one Windows executable, a copy of the launcher stub that
// carries them as its payload. Runs natively; needs no Windows tools.
#include <errno.h>
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "packer/input_files.h"
#include "packer/payload_listing.h"
#include "packer/payload_writer.h"
#include "packer/pe/dll_check.h"
#include "packer/pe/icon_file.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/resource_find.h"
#include "packer/pe/resource_update.h"
#include "packer/utf16_name.h"
#include "packer/whole_number.h"

namespace {

// The best ratio that still packs a 100 MB application in well under a
// minute on a two-core machine (level 18 took over a minute).
constexpr int kDefaultLevel = 17;
constexpr uint16_t kRcData = 10;

const char kUsage[] =
    "usage: zelmor-pack [options] APPLICATION.dll OUTPUT.exe\n"
    "       zelmor-pack --list PACKED.exe\n"
    "\n"
    "  APPLICATION.dll        the application; it must export run_code and becomes\n"
    "                         the first file, at the top of the extraction directory\n"
    "  -d, --dir DIR          add every file below DIR under its path relative to DIR\n"
    "  -f, --file NAME=FILE   add FILE under the entry name NAME (a relative path)\n"
    "  --stub FILE            the launcher stub (default: zelmor-launcher.exe beside zelmor-pack)\n"
    "  --icon FILE.ico        replace the stub's icon\n"
    "  --level N              zstd compression level, 1-22 (default 17)\n"
    "  --threads N            compression threads (default: one per processor)\n"
    "  --no-checksum          leave out the content checksum (a damaged file then fails later)\n"
    "  --any-first-entry      skip the check that APPLICATION.dll is a 64-bit DLL with run_code\n"
    "  --list PACKED.exe      print the entries (size and name) of a packed executable\n";

struct Options {
    PackInputs inputs;
    std::string output;
    std::string stub;
    std::string icon;
    std::string list;
    PayloadOptions payload;
    bool checkFirstEntry = true;
};

int usageError(const std::string &problem) {
    fprintf(stderr, "zelmor-pack: %s\n\n%s", problem.c_str(), kUsage);
    return 2;
}

int failure(const std::string &message) {
    fprintf(stderr, "zelmor-pack: %s\n", message.c_str());
    return 1;
}

bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open \"" + path + "\": " + strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read \"" + path + "\"";
        return false;
    }
    return true;
}

std::string defaultStub(const char *argv0) {
    std::error_code failure;
#ifdef _WIN32
    std::filesystem::path self = std::filesystem::absolute(argv0, failure);
#else
    std::filesystem::path self = std::filesystem::canonical("/proc/self/exe", failure);
    if (failure) {
        self = std::filesystem::absolute(argv0, failure);
    }
#endif
    return (self.parent_path() / "zelmor-launcher.exe").string();
}

int parseArguments(int argc, char **argv, Options &options) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        bool hasValue = i + 1 < argc;
        if (argument == "-h" || argument == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (argument == "--no-checksum") {
            options.payload.checksum = false;
        } else if (argument == "--any-first-entry") {
            options.checkFirstEntry = false;
        } else if (argument.rfind("-", 0) == 0 && argument.size() > 1) {
            if (!hasValue) {
                return usageError(argument + " needs a value");
            }
            const char *value = argv[++i];
            if (argument == "-d" || argument == "--dir") {
                options.inputs.directories.push_back(value);
            } else if (argument == "-f" || argument == "--file") {
                const char *equals = strchr(value, '=');
                if (equals == nullptr || equals == value) {
                    return usageError(std::string("--file needs NAME=FILE, got ") + value);
                }
                options.inputs.singleFiles.push_back({std::string(value, equals - value), equals + 1});
            } else if (argument == "--stub") {
                options.stub = value;
            } else if (argument == "--icon") {
                options.icon = value;
            } else if (argument == "--list") {
                options.list = value;
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
    if (positional.size() != 2) {
        return usageError("expected APPLICATION.dll and OUTPUT.exe");
    }
    options.inputs.applicationDll = positional[0];
    options.output = positional[1];
    if (options.stub.empty()) {
        options.stub = defaultStub(argv[0]);
    }
    return 0;
}

int listEntries(const std::string &path) {
    std::vector<uint8_t> image, payload;
    std::string error;
    std::vector<ListedEntry> entries;
    if (!readWholeFile(path, image, error)) {
        return failure(path + ": " + error);
    }
    PeImage parsed;
    if (!parsePeImage(image, parsed, error)) {
        return failure(path + ": " + error);
    }
    if (!findResource(image, kRcData, kPayloadResourceId, payload, error)) {
        return failure(path + ": has no payload (not an executable made by zelmor-pack): " + error);
    }
    if (!listPayload(payload, entries, error)) {
        return failure(path + ": " + error);
    }
    for (const ListedEntry &entry : entries) {
        printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size), utf16ToUtf8(entry.name).c_str());
    }
    return 0;
}

struct Progress {
    bool shown;
    std::chrono::steady_clock::time_point lastShown;
};

void showProgress(unsigned long long consumed, unsigned long long total, void *context) {
    Progress &progress = *static_cast<Progress *>(context);
    auto now = std::chrono::steady_clock::now();
    if (now - progress.lastShown < std::chrono::milliseconds(200)) {
        return;
    }
    progress.lastShown = now;
    progress.shown = true;
    fprintf(stderr, "\rzelmor-pack: %3llu%% of %.1f MB", total ? consumed * 100 / total : 100, total / 1e6);
    fflush(stderr);
}

bool writeAtomically(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error) {
    // Renamed over the target only when complete: a failure never leaves a
    // half-written executable, and an older one stays as it was.
    std::string temporary = path + ".zelmor-pack.tmp";
    FILE *out = fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot create \"" + temporary + "\": " + strerror(errno);
        return false;
    }
    bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    written = fclose(out) == 0 && written;
    if (written) {
        std::filesystem::permissions(temporary, std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                                                    std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write \"" + path + "\": " + strerror(errno);
        remove(temporary.c_str());
        return false;
    }
    return true;
}

// The compressed payload goes through a scratch file beside the output, so
// that input of any size never has to be held in memory uncompressed.
bool compressToMemory(const std::vector<PayloadEntry> &entries, const PayloadOptions &options,
                      const std::string &output, std::vector<uint8_t> &payload, std::string &error) {
    std::string scratchPath = output + ".zelmor-pack.payload";
    FILE *scratch = fopen(scratchPath.c_str(), "w+b");
    if (scratch == nullptr) {
        error = "cannot create \"" + scratchPath + "\": " + strerror(errno);
        return false;
    }
    bool done = writePayload(scratch, entries, options, error);
    if (done) {
        long size = ftell(scratch);
        payload.resize(size > 0 ? static_cast<size_t>(size) : 0);
        rewind(scratch);
        done = fread(payload.data(), 1, payload.size(), scratch) == payload.size();
        if (!done) {
            error = "cannot read back the compressed payload";
        }
    }
    fclose(scratch);
    remove(scratchPath.c_str());
    return done;
}

int pack(const Options &options) {
    auto started = std::chrono::steady_clock::now();
    std::string error;
    std::vector<uint8_t> stub, application, icon;
    if (!readWholeFile(options.stub, stub, error)) {
        return failure("launcher stub: " + error);
    }
    if (options.checkFirstEntry) {
        if (!readWholeFile(options.inputs.applicationDll, application, error) ||
            !checkApplicationDll(application, error)) {
            return failure(options.inputs.applicationDll + ": " + error);
        }
    }
    std::vector<PayloadEntry> entries;
    if (!gatherEntries(options.inputs, entries, error) || !checkEntryNames(entries, error)) {
        return failure(error);
    }
    ResourceChanges changes;
    if (!options.icon.empty()) {
        std::vector<uint8_t> iconFile;
        IconResources icon;
        if (!readWholeFile(options.icon, iconFile, error) || !parseIconFile(iconFile, icon, error)) {
            return failure(options.icon + ": " + error);
        }
        changes.icon = icon;
    }
    Progress progress = {false, std::chrono::steady_clock::now()};
    PayloadOptions payloadOptions = options.payload;
    if (isatty(fileno(stderr))) {
        payloadOptions.progress = showProgress;
        payloadOptions.progressContext = &progress;
    }
    if (!compressToMemory(entries, payloadOptions, options.output, changes.payload, error)) {
        if (progress.shown) {
            fputc('\n', stderr);
        }
        return failure(error);
    }
    if (progress.shown) {
        fputc('\n', stderr);
    }
    std::vector<uint8_t> packed;
    if (!updateResources(stub, changes, packed, error)) {
        return failure("launcher stub " + options.stub + ": " + error);
    }
    if (!writeAtomically(options.output, packed, error)) {
        return failure(error);
    }
    unsigned long long bytesIn = 0;
    for (const PayloadEntry &entry : entries) {
        bytesIn += std::filesystem::file_size(entry.sourcePath);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fprintf(stderr, "zelmor-pack: %zu entries, %llu bytes in, %zu bytes of payload (%.1f%%), %.2f s: %s\n",
            entries.size(), bytesIn, changes.payload.size(),
            bytesIn ? 100.0 * changes.payload.size() / bytesIn : 100.0, seconds, options.output.c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Letters beyond ASCII are compared without case the way Windows does,
    // which needs the C library's Unicode character tables.
    if (setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        setlocale(LC_CTYPE, "");
    }
    Options options;
    options.payload.level = kDefaultLevel;
    options.payload.checksum = true;
    options.payload.recordContentSize = true;
    unsigned processors = std::thread::hardware_concurrency();
    options.payload.workers = processors > 0 ? static_cast<int>(processors) : 1;
    int parsed = parseArguments(argc, argv, options);
    if (parsed != 0) {
        return parsed;
    }
    return options.list.empty() ? pack(options) : listEntries(options.list);
}
