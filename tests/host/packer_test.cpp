// Runs the real zelmor-pack binary: what it refuses and how, what it leaves
// behind on failure, and that what it writes decodes to exactly its inputs.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "format/version.h"
#include "packer/pe/resource_find.h"
#include "packer/pe/resource_update.h"
#include "packer/sha256.h"
#include "testing/host/test_files.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kBin = ZELMOR_WINDOWS_BIN;
const std::string kProbe = kBin + "/zelmor-probe.dll";
const std::string kLauncher = kBin + "/zelmor-launcher.exe";
const std::string kNoEntry = kBin + "/zelmor-no-entry.dll";
const std::string kNeedsHelper = kBin + "/zelmor-needs-helper.dll";
const std::string kSharedRuntime = kBin + "/zelmor-shared-runtime.dll";
const std::string kSharedRuntimeFolder = kBin + "/shared-runtime-program";
const std::string kSharedRuntimeProgram = "zelmor-shared-runtime-program.exe";
const auto npos = std::string::npos;

constexpr uint16_t kRcData = 10;
constexpr uint16_t kIcon = 3;
constexpr uint16_t kGroupIcon = 14;
constexpr uint16_t kPayloadId = 27;
constexpr uint16_t kSettingsId = 28;
constexpr uint16_t kCacheIndexId = 29;

struct Outcome {
    int exitCode;  // -1 when the packer died of a signal
    std::string out;
    std::string err;
};

// Compressible but not trivially so: words drawn from a random vocabulary.
std::string textLike(size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<std::string> words(4000);
    for (std::string &word : words) {
        word.resize(3 + generator() % 10);
        for (char &c : word) {
            c = static_cast<char>(generator());
        }
    }
    std::string text;
    while (text.size() < count) {
        text += words[generator() % words.size()];
    }
    text.resize(count);
    return text;
}

void putLittleEndian(std::string &bytes, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<char>(value >> (8 * i)));
    }
}

struct Running {
    pid_t pid;  // 0 when the packer could not be started
    std::string outPath;
    std::string errPath;
};

// Without a shell, so that names with quotes, blanks and control characters
// reach the packer unchanged. `tag` names the captured output's files.
Running startPack(std::vector<std::string> arguments, const fs::path &logs, const std::string &tag = "pack") {
    std::string program = ZELMOR_PACK;
    std::vector<char *> argv = {program.data()};
    for (std::string &argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    Running running = {0, logs / (tag + ".stdout"), logs / (tag + ".stderr")};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, running.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, running.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int spawned = posix_spawn(&running.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << strerror(spawned);
        running.pid = 0;
    }
    return running;
}

Outcome finishPack(const Running &running) {
    Outcome outcome = {-1, "", ""};
    if (running.pid == 0) {
        return outcome;
    }
    int status = 0;
    waitpid(running.pid, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readWholeFile(running.outPath);
    outcome.err = readWholeFile(running.errPath);
    return outcome;
}

Outcome runPack(const std::vector<std::string> &arguments, const fs::path &logs) {
    return finishPack(startPack(arguments, logs));
}

// One line from the packer naming the problem, not a usage text.
void expectFailureNaming(const Outcome &outcome, const std::vector<std::string> &culprits) {
    EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("zelmor-pack: ", 0), 0u) << outcome.err;
    EXPECT_EQ(outcome.err.find("usage:"), npos) << outcome.err;
    for (const std::string &culprit : culprits) {
        EXPECT_NE(outcome.err.find(culprit), npos) << "message does not name \"" << culprit << "\": " << outcome.err;
    }
}

struct Record {
    std::u16string name;
    size_t offset;  // of the data in the decoded stream
    uint64_t size;
};

struct Decoded {
    ZSTD_frameHeader header;
    std::string plain;
    std::vector<Record> records;
};

void parseRecords(Decoded &decoded) {
    const std::string &plain = decoded.plain;
    size_t at = 0;
    for (;;) {
        std::u16string name;
        for (;;) {
            ASSERT_LE(at + 2, plain.size()) << "a name runs past the end";
            char16_t unit =
                static_cast<char16_t>(static_cast<uint8_t>(plain[at]) | static_cast<uint8_t>(plain[at + 1]) << 8);
            at += 2;
            if (unit == 0) {
                break;
            }
            name.push_back(unit);
        }
        if (name.empty()) {
            break;
        }
        ASSERT_LE(at + 8, plain.size());
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) {
            size = (size << 8) | static_cast<uint8_t>(plain[at + i]);
        }
        at += 8;
        ASSERT_LE(size, plain.size() - at);
        decoded.records.push_back({name, at, size});
        at += size;
    }
    EXPECT_EQ(at, plain.size()) << "bytes follow the end-of-list record";
}

// Decodes RCDATA 27 of a packed image with its own zstd calls, the window
// capped as the launcher caps it.
void decodePayload(const Bytes &image, Decoded &decoded) {
    Bytes container;
    std::string error;
    ASSERT_TRUE(findResource(image, kRcData, kPayloadId, container, error)) << error;
    size_t size = container.size();
    ASSERT_GE(size, 13u);
    ASSERT_EQ(std::string(container.begin(), container.begin() + 3), "QJY");
    EXPECT_EQ(container[size - 10] | container[size - 9], 0);
    EXPECT_EQ(littleEndian(container, size - 8, 8), size - 8);
    const uint8_t *frame = container.data() + 3;
    size_t frameSize = size - 13;
    ASSERT_EQ(ZSTD_findFrameCompressedSize(frame, frameSize), frameSize) << "not exactly one frame";
    ASSERT_EQ(ZSTD_getFrameHeader(&decoded.header, frame, frameSize), 0u);

    ZSTD_DCtx *decoder = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(decoder, ZSTD_d_windowLogMax, 27);
    std::vector<char> buffer(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input = {frame, frameSize, 0};
    size_t result;
    do {
        ZSTD_outBuffer output = {buffer.data(), buffer.size(), 0};
        result = ZSTD_decompressStream(decoder, &output, &input);
        decoded.plain.append(buffer.data(), output.pos);
    } while (!ZSTD_isError(result) && result != 0);
    ZSTD_freeDCtx(decoder);
    ASSERT_EQ(result, 0u) << ZSTD_getErrorName(result);
    ASSERT_NO_FATAL_FAILURE(parseRecords(decoded));
}

uint64_t nextPowerOfTwo(uint64_t value) {
    uint64_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

// The frame declares the stream's size, and its window reaches no further
// than that size needs, nor beyond what the launcher's decoder accepts.
void expectFrameSizedToContent(const Decoded &decoded) {
    EXPECT_EQ(decoded.header.frameContentSize, decoded.plain.size());
    EXPECT_LE(decoded.header.windowSize, nextPowerOfTwo(decoded.plain.size()));
    EXPECT_LE(decoded.header.windowSize, uint64_t{1} << 27);
}

struct ListedLine {
    uint64_t size;
    std::string name;
};

// "--list" prints "%12llu  NAME" per entry, then an empty line and the identity.
std::vector<ListedLine> parseListing(const std::string &text) {
    std::vector<ListedLine> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line) && !line.empty();) {
        EXPECT_GE(line.size(), 15u) << line;
        if (line.size() >= 15) {
            EXPECT_EQ(line.substr(12, 2), "  ") << line;
            lines.push_back({std::stoull(line.substr(0, 12)), line.substr(14)});
        }
    }
    return lines;
}

// Waits until process `pid` holds `path` open; false if it ends first.
bool waitUntilOpen(pid_t pid, const fs::path &path) {
    fs::path wanted = fs::canonical(path);
    fs::path descriptors = "/proc/" + std::to_string(pid) + "/fd";
    for (;;) {
        std::error_code failure;
        for (fs::directory_iterator at(descriptors, failure), end; !failure && at != end; at.increment(failure)) {
            std::error_code unreadable;  // a descriptor may close while it is looked at
            if (fs::read_symlink(at->path(), unreadable) == wanted) {
                return true;
            }
        }
        siginfo_t state = {};
        if (waitid(P_PID, pid, &state, WEXITED | WNOHANG | WNOWAIT) != 0 || state.si_pid == pid) {
            return false;
        }
        usleep(100);
    }
}

class PackerTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "packer_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directories(root_ / "out");
    }

    void TearDown() override { fs::remove_all(root_); }

    // Writes `bytes` to `relative` below the test's directory; returns the path.
    std::string input(const std::string &relative, const std::string &bytes = "data") {
        fs::path path = root_ / "in" / relative;
        writeWholeFile(path, bytes);
        return path.string();
    }

    // A directory holding the given files (relative path, contents).
    std::string tree(const std::vector<std::pair<std::string, std::string>> &files) {
        fs::path directory = root_ / ("tree" + std::to_string(++trees_));
        fs::create_directories(directory);
        for (const auto &[relative, bytes] : files) {
            writeWholeFile(directory / relative, bytes);
        }
        return directory.string();
    }

    std::string output(const std::string &name = "app.exe") { return (root_ / "out" / name).string(); }

    std::vector<std::string> outputDirectory() {
        std::vector<std::string> names;
        for (const fs::directory_entry &entry : fs::directory_iterator(root_ / "out")) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    Outcome pack(const std::vector<std::string> &arguments) { return runPack(arguments, root_); }

    // Packs the probe DLL quickly with `options` in front.
    Outcome packProbe(std::vector<std::string> options, const std::string &out) {
        options.insert(options.begin(), {"--level", "1"});
        options.push_back(kProbe);
        options.push_back(out);
        return pack(options);
    }

    void expectRefused(const std::vector<std::string> &options, const std::vector<std::string> &culprits) {
        SCOPED_TRACE(culprits.front());
        Outcome outcome = packProbe(options, output());
        expectFailureNaming(outcome, culprits);
        EXPECT_FALSE(fs::exists(output()));
    }

    // Each name as a file of its own --dir.
    void expectDirectoryNamesRefused(const std::vector<std::string> &names) {
        for (const std::string &name : names) {
            expectRefused({"--dir", tree({{"fine.txt", "x"}, {name, "x"}})}, {name});
        }
    }

    void expectFileNamesRefused(const std::vector<std::string> &names) {
        std::string source = input("source.txt");
        for (const std::string &name : names) {
            expectRefused({"--file", name + "=" + source}, {name});
        }
    }

    fs::path root_;
    int trees_ = 0;
};

using PackerNames = PackerTest;
using PackerChecks = PackerTest;
using PackerOutput = PackerTest;
using PackerRoundTrip = PackerTest;
using PackerList = PackerTest;
using PackerInputs = PackerTest;

TEST_F(PackerNames, RefusesNamesThatWouldBeTheSameFile) {
    expectRefused({"--dir", tree({{"Readme.txt", "a"}, {"README.TXT", "b"}})}, {"Readme.txt", "README.TXT"});
    expectRefused({"--dir", tree({{"Data/x.txt", "a"}, {"data/X.txt", "b"}})}, {"Data/x.txt", "data/X.txt"});
    std::string directory = tree({{"data/x.txt", "a"}});
    for (std::string name : {"data/x.txt", "DATA/X.TXT", "data\\x.txt"}) {
        expectRefused({"--dir", directory, "--file", name + "=" + input("other")}, {name, "data/x.txt"});
    }
    expectRefused({"--file", "ZELMOR-Probe.DLL=" + input("other")}, {"ZELMOR-Probe.DLL", "zelmor-probe.dll"});
    expectRefused({"--dir", tree({{"same.txt", "a"}}), "--dir", tree({{"same.txt", "b"}})}, {"same.txt"});
    // Windows compares all letters without case, not only ASCII ones.
    expectRefused({"--dir", tree({{u8"Ärger.txt", "a"}, {u8"ärger.txt", "b"}})}, {u8"Ärger.txt", u8"ärger.txt"});
    // A name used for a file and for a directory cannot both be extracted.
    expectRefused({"--dir", tree({{"x/y.txt", "a"}}), "--file", "X=" + input("other")}, {"x/y.txt", "X"});
}

TEST_F(PackerNames, RefusesNamesOf1024UnitsOrMore) {
    // Units, not characters, count: 127 emoji make a 254-unit component.
    std::string pairs;
    for (int i = 0; i < 127; ++i) {
        pairs += u8"😀";
    }
    std::string pairPath, nested;
    for (int i = 0; i < 4; ++i) {
        pairPath += pairs + "/";
    }
    for (int i = 0; i < 511; ++i) {
        nested += "a/";
    }
    std::string source = input("source.txt");
    for (const std::string &name : {std::string(1024, 'n'), std::string(2000, 'n'), pairPath + "abcd", nested + "bb"}) {
        expectRefused({"--file", name + "=" + source}, {name, "UTF-16 units"});
    }
    // Built from a --dir: the relative path is the name.
    std::string component(220, 'c'), deep = component;
    for (int i = 0; i < 4; ++i) {
        deep += "/" + component;
    }
    expectRefused({"--dir", tree({{deep + "/leaf.txt", "x"}})}, {component, "UTF-16 units"});

    // 1023 units is still fine.
    Outcome outcome = packProbe({"--file", nested + "b=" + source, "--file", pairPath + "abc=" + source}, output());
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
}

TEST_F(PackerNames, RefusesComponentsWindowsCannotCreate) {
    // No Windows file system stores a file name longer than 255 UTF-16 units.
    expectFileNamesRefused({std::string(256, 'n'), "dir/" + std::string(300, 'n') + "/f.txt"});
}

TEST_F(PackerNames, RefusesDotComponentsAndEmptyOnes) {
    expectFileNamesRefused({".", "..", "./a.txt", "../a.txt", "a/./b.txt", "a/../b.txt", "a/..", "a\\..\\b.txt",
                            "/rooted.txt", "a//b.txt", "a/"});
}

TEST_F(PackerNames, RefusesCharactersWindowsForbids) {
    expectDirectoryNamesRefused({"a<b", "a>b", "a:b", "a\"b", "a|b", "a?b", "a*b", "tab\there", "bell\x07",
                                 "\x1f", "line\nbreak", "bad:dir/file.txt", "ok/star*/file.txt"});
    expectFileNamesRefused({"sub/what?.txt", "c:/x.txt", "x.txt:stream"});
}

TEST_F(PackerNames, RefusesTrailingDotsAndBlanks) {
    expectDirectoryNamesRefused({"name.", "name ", "...", "dir./file.txt", "dir /file.txt", "a/b. /c.txt"});
    expectFileNamesRefused({"x/trailing.", "x/blank "});
}

TEST_F(PackerNames, RefusesReservedDeviceNames) {
    expectDirectoryNamesRefused({"CON", "con", "nul.txt", "NUL.tar.gz", "Aux", "prn.log", "COM1", "com9.LOG",
                                 "LPT9.log", "lpt1", "CON .txt", u8"COM¹", "con/inside.txt", "sub/Nul/x"});
    expectFileNamesRefused({"data/CON", "LPT3.txt"});
}

TEST_F(PackerNames, EveryRefusedNameIsReportedInOneRun) {
    std::string source = input("source.txt");
    expectRefused({"--dir", tree({{"a<b", "x"}, {"fine.txt", "x"}, {"sub/CON", "x"}, {"x.", "x"}}), "--file",
                   "Fine.TXT=" + source, "--file", "what?=" + source},
                  {"a<b", "sub/CON", "x.", "what?", "\"Fine.TXT\"", "\"fine.txt\""});
}

TEST_F(PackerNames, RefusesNamesShapedLikeShortNames) {
    // On NTFS "PROGRA~1" may be the short name of another entry, and opening
    // it would overwrite that entry.
    expectRefused({"--file", "PROGRA~1=" + input("source.txt")}, {"PROGRA~1", "8.3 short name"});
    expectDirectoryNamesRefused({"app~12.dll", "Data~3.TXT", "x~0", "~1", "sub/AB~1.TX/f.txt"});
}

TEST_F(PackerNames, WarnsWhenTheExtractedPathMayReachMaxPath) {
    // 100 units for "%TEMP%\onefile_<pid>_<time>\", then the name: 260 warns, 259 does not.
    std::string warned = "dir/" + std::string(156, 'w'), unwarned = "dir/" + std::string(155, 'u');
    std::string source = input("source.txt");
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet);
        std::vector<std::string> options = {"--file", warned + "=" + source, "--file", unwarned + "=" + source};
        if (quiet) {
            options.push_back("--quiet");
        }
        Outcome outcome = packProbe(options, output());
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        EXPECT_NE(outcome.err.find("zelmor-pack: warning: entry \"" + warned +
                                   "\": beneath a typical temp directory its path is 260 characters"),
                  npos)
            << outcome.err;
        EXPECT_EQ(outcome.err.find(unwarned), npos) << outcome.err;
        // Warnings show even when --quiet silences the summary.
        EXPECT_EQ(outcome.err.find(" entries, ") == npos, quiet) << outcome.err;
    }
}

TEST_F(PackerNames, AcceptsNamesWindowsTakesAsTheyAre) {
    const std::vector<std::string> names = {".hidden", " leading blank.txt", "a.b.c", "CONSOLE.txt", "com10",
                                            "LPT", "nul_", "xcon.txt", "COM1x.txt", "Auxiliary/file", u8"ü€😀.txt",
                                            "semi;colon,comma=eq[brackets]'quote'", "version~2", "file~1.backup",
                                            "a~b.txt", "a~1.tar.gz", "x~", "~tilde"};
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string &name : names) {
        files.push_back({name, name});
    }
    Outcome packed = packProbe({"--dir", tree(files)}, output());
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    Outcome listed = pack({"--list", output()});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    for (std::string name : names) {
        std::replace(name.begin(), name.end(), '/', '\\');
        EXPECT_NE(listed.out.find("  " + name + "\n"), npos) << name;
    }
}

// Beneath any temp directory Windows gives, a name under 1024 units fits the
// launcher's 4096-unit path, so the longest accepted name simply packs.
TEST_F(PackerNames, TheLongestAcceptedNamePacksAndListsWhole) {
    std::string component(200, 'w'), name;
    for (int i = 0; i < 4; ++i) {
        name += component + "/";
    }
    name += std::string(1023 - name.size(), 'f');
    Outcome outcome = packProbe({"--file", name + "=" + input("source.txt")}, output());
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    Outcome listed = pack({"--list", output()});
    std::replace(name.begin(), name.end(), '/', '\\');
    EXPECT_NE(listed.out.find("  " + name + "\n"), npos) << listed.out;
}

TEST_F(PackerInputs, LinksArePackedAsWhatTheyPointTo) {
    writeWholeFile(root_ / "elsewhere" / "private" / "key.txt", "private key");
    writeWholeFile(root_ / "elsewhere" / "notes.txt", "notes");
    fs::path directory = tree({{"real/data.txt", "data"}, {"top.txt", "top"}});
    fs::create_directory_symlink("real", directory / "linked");
    fs::create_symlink("real/data.txt", directory / "data-link.txt");
    fs::create_directory_symlink(root_ / "elsewhere" / "private", directory / "secrets");
    fs::create_symlink("../elsewhere/notes.txt", directory / "notes-link.txt");
    Outcome outcome = packProbe({"--dir", directory.string()}, output());
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;

    Outcome listed = pack({"--list", output()});
    std::vector<std::pair<std::string, uint64_t>> entries;
    for (const ListedLine &line : parseListing(listed.out)) {
        entries.emplace_back(line.name, line.size);
    }
    const std::vector<std::pair<std::string, uint64_t>> expected = {
        {"zelmor-probe.dll", fs::file_size(kProbe)}, {"data-link.txt", 4}, {"linked\\data.txt", 4},
        {"notes-link.txt", 5}, {"real\\data.txt", 4}, {"secrets\\key.txt", 11}, {"top.txt", 3}};
    EXPECT_EQ(entries, expected);

    // Only the links that lead out of the tree are named, each with where it leads.
    const std::pair<std::string, fs::path> outside[] = {{"secrets", root_ / "elsewhere" / "private"},
                                                        {"notes-link.txt", root_ / "elsewhere" / "notes.txt"}};
    for (const auto &[link, target] : outside) {
        std::string warning = "zelmor-pack: warning: the link \"" + (directory / link).string() +
                              "\" leads outside \"" + directory.string() + "\" to \"" + fs::canonical(target).string() +
                              "\"";
        EXPECT_NE(outcome.err.find(warning), npos) << outcome.err;
    }
    size_t warnings = 0;
    for (size_t at = outcome.err.find("warning:"); at != npos; at = outcome.err.find("warning:", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 2u) << outcome.err;
}

TEST_F(PackerInputs, ExcludedPathsStayOutAndADirectoryCanGoBelowAPrefix) {
    fs::path directory = tree({{".git/config", "x"}, {".git/objects/ab", "x"}, {"Thumbs.db", "x"},
                               {"sub/THUMBS.DB", "x"}, {"app.pdb", "x"}, {"docs/drafts/a.md", "x"},
                               {"docs/keep.md", "x"}, {"sub/docs/drafts/b.md", "x"}, {"keep.txt", "x"},
                               {"git/kept.txt", "x"}, {".gitignore", "x"}});
    // Nothing below an excluded directory is looked at, a dangling link included.
    fs::create_symlink("missing", directory / ".git" / "dangling");
    Outcome outcome = packProbe({"--exclude", ".git/", "--exclude", "Thumbs.db", "--exclude", "*.PDB", "--exclude",
                                 "/docs/drafts/", "--dir", "data=" + directory.string(), "--dir",
                                 "=" + tree({{"top.txt", "x"}})},
                                output());
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    std::vector<std::string> names;
    for (const ListedLine &line : parseListing(pack({"--list", output()}).out)) {
        names.push_back(line.name);
    }
    EXPECT_EQ(names, std::vector<std::string>({"zelmor-probe.dll", "data\\.gitignore", "data\\docs\\keep.md",
                                               "data\\git\\kept.txt", "data\\keep.txt",
                                               "data\\sub\\docs\\drafts\\b.md", "top.txt"}));
    for (const std::string pattern : {"", "/", "\\\\"}) {
        Outcome refused = packProbe({"--exclude", pattern}, output("never.exe"));
        EXPECT_EQ(refused.exitCode, 2) << pattern;
        EXPECT_NE(refused.err.find("matches nothing"), npos) << refused.err;
    }
}

TEST_F(PackerInputs, LoopsAndDanglingLinksAreRefusedNamingTheLink) {
    struct Case {
        const char *link;
        const char *target;
        const char *reason;
    };
    const Case cases[] = {{"up", ".", "a loop of links"},
                          {"sub/back", "..", "a loop of links"},
                          {"cycle-a", "cycle-b", "a loop of links"},
                          {"broken", "missing.txt", "dangling link"},
                          {"sub/gone", "../nowhere/", "dangling link"}};
    for (const Case &test : cases) {
        fs::path directory = tree({{"sub/file.txt", "x"}});
        fs::create_symlink(test.target, directory / test.link);
        if (std::string(test.link) == "cycle-a") {
            fs::create_symlink("cycle-a", directory / "cycle-b");
        }
        // Of two links in a cycle, the one met first is named.
        std::string named = (directory / test.link).string();
        expectRefused({"--dir", directory.string()}, {named.substr(0, named.find("cycle-") + 6), test.reason});
    }
}

TEST_F(PackerInputs, InputsThatChangeWhileBeingPackedNeverGiveAWrongExecutable) {
    // Its size says 0, yet it reads as more: stored as measured, it would be wrong.
    expectRefused({"--file", "version.txt=/proc/version"}, {"/proc/version", "grew while being packed"});

    // Stopped while it reads the large file: a.txt is packed already, c.txt not yet.
    for (bool beforeRead : {true, false}) {
        SCOPED_TRACE(beforeRead ? "c.txt changes" : "a.txt is removed");
        fs::path directory = tree({{"a.txt", "packed before"}, {"c.txt", "packed after"}});
        writeWholeFile(directory / "b.bin", std::string());
        fs::resize_file(directory / "b.bin", uint64_t{1} << 29);
        Running running = startPack({"--level", "1", "--threads", "1", "--dir", directory.string(), kProbe, output()},
                                    root_);
        ASSERT_TRUE(waitUntilOpen(running.pid, directory / "b.bin")) << "the packer ended before the test stepped in";
        kill(running.pid, SIGSTOP);
        if (beforeRead) {
            writeWholeFile(directory / "c.txt", std::string("changed after it was measured"));
        } else {
            fs::remove(directory / "a.txt");
        }
        kill(running.pid, SIGCONT);
        Outcome outcome = finishPack(running);
        if (beforeRead) {
            expectFailureNaming(outcome, {(directory / "c.txt").string(), "changed size while being packed"});
            EXPECT_EQ(outputDirectory(), std::vector<std::string>());
        } else {
            // What was read is whole in the payload; its later removal does not matter.
            ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
            std::vector<ListedLine> lines = parseListing(pack({"--list", output()}).out);
            ASSERT_EQ(lines.size(), 4u);
            EXPECT_EQ(lines[1].name, "a.txt");
            EXPECT_EQ(lines[1].size, 13u);
        }
        fs::remove_all(directory);
    }
}

TEST_F(PackerChecks, FirstEntryMustBeAnApplicationDll) {
    std::string text = input("notes.txt", "not a program");
    Bytes probe32 = readWholeFile<Bytes>(kProbe);
    size_t pe = littleEndian(probe32, 0x3C, 4);
    probe32[pe + 4] = 0x4C;  // IMAGE_FILE_MACHINE_I386
    probe32[pe + 5] = 0x01;
    writeWholeFile(root_ / "in" / "probe32.dll", probe32);
    std::string i386 = (root_ / "in" / "probe32.dll").string();
    const std::pair<std::string, std::string> refused[] = {
        {text, "PE32+"}, {kLauncher, "not a DLL"}, {kNoEntry, "run_code"}, {i386, "x86-64"}};
    for (const auto &[application, reason] : refused) {
        SCOPED_TRACE(application);
        Outcome outcome = pack({"--level", "1", application, output()});
        expectFailureNaming(outcome, {application, reason});
        EXPECT_FALSE(fs::exists(output()));
    }
    for (const auto &[application, reason] : refused) {
        SCOPED_TRACE(application);
        Outcome outcome = pack({"--level", "1", "--any-first-entry", application, output()});
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
        Outcome listed = pack({"--list", output()});
        std::vector<ListedLine> lines = parseListing(listed.out);
        ASSERT_EQ(lines.size(), 1u) << listed.out;
        EXPECT_EQ(lines[0].name, fs::path(application).filename().string());
        EXPECT_EQ(lines[0].size, fs::file_size(application));
    }
}

TEST_F(PackerChecks, UnknownOptionsAreReportedAsUnknownAndTakeNothing) {
    for (const char *option : {"--consol", "-V", "--levels"}) {
        Outcome outcome = pack({option, kProbe, output()});
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.err.rfind(std::string("zelmor-pack: unknown option ") + option + "\n", 0), 0u) << outcome.err;
        EXPECT_FALSE(fs::exists(output()));
    }
    Outcome outcome = packProbe({}, output());
    EXPECT_NE(outcome.err.find("zelmor-pack: 1 entry, "), npos) << outcome.err;
}

TEST_F(PackerChecks, ApplicationIdsAreSafeFolderNames) {
    for (const std::string &id : std::vector<std::string>{"CON", "nul.txt", "Com1", "a/b", "a\\b", "app.", "app ", ".app",
                                                          " app", "PROGRA~1", "app:x", "\xc3\x84pp", std::string(65, 'a')}) {
        Outcome outcome = packProbe({"--cache=" + id}, output());
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_NE(outcome.err.find("the application id \"" + id + "\" is not a safe folder name"), npos) << outcome.err;
    }
    Outcome unnamed = packProbe({"--cache"}, output("nul.exe"));
    EXPECT_EQ(unnamed.exitCode, 2);
    EXPECT_NE(unnamed.err.find("(taken from OUTPUT's name: give one with --cache=ID)"), npos) << unnamed.err;
    EXPECT_EQ(packProbe({"--cache="}, output()).exitCode, 2);
    EXPECT_EQ(outputDirectory(), std::vector<std::string>());
    for (const std::string &id : {std::string("My App-1.2_x"), std::string(64, 'Z')}) {
        ASSERT_EQ(packProbe({"--cache=" + id}, output("nul.exe")).exitCode, 0);
        EXPECT_NE(pack({"--list", output("nul.exe")}).out.find("\ncache: application id " + id + ", version "), npos);
    }
}

TEST_F(PackerChecks, AProgramToRunIsAWindowsProgramAmongTheFilesPacked) {
    std::string folder = tree({{"notes.txt", "not a program"}, {"Data/b.txt", "b"}});
    fs::copy_file(kLauncher, folder + "/Tool.exe");
    fs::create_directories(folder + "/bin");
    fs::copy_file(kLauncher, folder + "/bin/Tool.exe");
    fs::copy_file(kProbe, folder + "/bin/probe.dll");
    // Named as Windows finds it, letters compared without case: it goes
    // first, and once; the rest follow in their order.
    Outcome packed = pack({"--level", "1", "--dir", folder, "--run", "BIN\\tool.EXE", output()});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    std::vector<std::string> names;
    for (const ListedLine &line : parseListing(pack({"--list", output()}).out)) {
        names.push_back(line.name);
    }
    EXPECT_EQ(names, std::vector<std::string>({"bin\\Tool.exe", "Data\\b.txt", "Tool.exe", "bin\\probe.dll",
                                               "notes.txt"}));
    fs::remove(output());
    expectFailureNaming(pack({"--dir", folder, "--run", "bin/missing.exe", output()}),
                        {"--run \"bin/missing.exe\": no file of that name is packed"});
    expectFailureNaming(pack({"--dir", folder, "--run", "bin/probe.dll", output()}),
                        {"bin/probe.dll", "is a DLL, not a program"});
    Outcome misused = pack({"--dir", folder, "--run", "Tool.exe", "--console", "--gui", output()});
    EXPECT_EQ(misused.exitCode, 2);
    EXPECT_NE(misused.err.find("--console and --gui ask for different subsystems"), npos) << misused.err;
    EXPECT_FALSE(fs::exists(output()));
}

TEST_F(PackerChecks, DllsTheApplicationNeedsAreNamedWhenNeitherPackedNorPartOfWindows) {
    auto warningsOf = [](const Outcome &outcome) {
        std::vector<std::string> lines;
        std::istringstream stream(outcome.err);
        for (std::string line; std::getline(stream, line);) {
            if (line.rfind("zelmor-pack: warning: ", 0) == 0) {
                lines.push_back(line.substr(22, line.find(", which") - 22));
            }
        }
        return lines;
    };
    // Built as MinGW builds by default, it needs the shared C++ runtime;
    // KERNEL32.dll and msvcrt.dll are Windows' own.
    Outcome outcome = pack({"--level", "1", kSharedRuntime, output()});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    const std::string needsGcc = "\"zelmor-shared-runtime.dll\" needs \"libgcc_s_seh-1.dll\"";
    EXPECT_EQ(warningsOf(outcome),
              std::vector<std::string>({needsGcc, "\"zelmor-shared-runtime.dll\" needs \"libstdc++-6.dll\""}));
    EXPECT_NE(outcome.err.find("-static) or pack it (--file libstdc++-6.dll=PATH)"), npos) << outcome.err;
    // A packed DLL counts, and what it needs is checked in turn, at the top
    // or beside it; an application's DLL in a folder of its own as well.
    outcome = pack({"--level", "1", "--file", "LIBSTDC++-6.dll=" + kNeedsHelper, "--file",
                    "plugins/needs.dll=" + kNeedsHelper, "--file", "plugins/zelmor-helper.dll=" + kProbe,
                    kSharedRuntime, output()});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(warningsOf(outcome),
              std::vector<std::string>({needsGcc, "\"LIBSTDC++-6.dll\" needs \"zelmor-helper.dll\""}));
    // --strict: errors, and nothing written.
    expectFailureNaming(pack({"--strict", kSharedRuntime, output("strict.exe")}),
                        {"zelmor-pack: \"zelmor-shared-runtime.dll\" needs \"libgcc_s_seh-1.dll\"",
                         "zelmor-pack: \"zelmor-shared-runtime.dll\" needs \"libstdc++-6.dll\""});
    EXPECT_FALSE(fs::exists(output("strict.exe")));
    // An import table that leads out of the file is reported, not followed.
    Bytes damaged = readWholeFile<Bytes>(kNeedsHelper);
    size_t pe = littleEndian(damaged, 0x3C, 4);
    for (int i = 0; i < 4; ++i) {
        damaged[pe + 24 + 112 + 8 + i] = 0x7F;  // the import directory's RVA
    }
    writeWholeFile(root_ / "in" / "damaged.dll", damaged);
    outcome = pack({"--level", "1", (root_ / "in" / "damaged.dll").string(), output()});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("warning: \"damaged.dll\" has a malformed import directory"), npos) << outcome.err;
    // A program finds its DLLs in its own folder, where the build put them;
    // in another folder they are not found, and Windows refuses to start it.
    outcome = pack({"--level", "1", "--dir", kSharedRuntimeFolder, "--run", kSharedRuntimeProgram, output()});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(warningsOf(outcome), std::vector<std::string>());
    const std::string program = "bin/" + kSharedRuntimeProgram;
    outcome = pack({"--level", "1", "--file", program + "=" + kSharedRuntimeFolder + "/" + kSharedRuntimeProgram,
                    "--dir", kSharedRuntimeFolder, "--exclude", "*.exe", "--run", program, output()});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(warningsOf(outcome), std::vector<std::string>({"\"" + program + "\" needs \"libgcc_s_seh-1.dll\"",
                                                             "\"" + program + "\" needs \"libstdc++-6.dll\""}));
    EXPECT_NE(outcome.err.find("so Windows will refuse to start \"" + program + "\"; link"), npos) << outcome.err;
    EXPECT_NE(outcome.err.find("(--file bin/libstdc++-6.dll=PATH)"), npos) << outcome.err;
}

TEST_F(PackerChecks, StubMustBeAPe32PlusImage) {
    Bytes launcher = readWholeFile<Bytes>(kLauncher);
    Bytes pe32 = launcher;
    size_t pe = littleEndian(pe32, 0x3C, 4);
    pe32[pe + 24] = 0x0B;  // optional header magic of a 32-bit image
    pe32[pe + 25] = 0x01;
    writeWholeFile(root_ / "in" / "pe32.exe", pe32);
    writeWholeFile(root_ / "in" / "truncated.exe", Bytes(launcher.begin(), launcher.begin() + 600));
    const std::string stubs[] = {input("text.exe", "MZ but nothing else"), (root_ / "in" / "pe32.exe").string(),
                                 (root_ / "in" / "truncated.exe").string(), (root_ / "in" / "missing.exe").string()};
    for (const std::string &stub : stubs) {
        SCOPED_TRACE(stub);
        expectFailureNaming(packProbe({"--stub", stub}, output()), {stub});
        EXPECT_EQ(outputDirectory(), std::vector<std::string>());
    }
}

TEST_F(PackerOutput, SameInputsGiveSameBytes) {
    // The same files made in another order, at other times, in another place.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"b.txt", "bee"}, {"a/z.txt", "zed"}, {"a/b/c.txt", textLike(200000, 3)}, {"A_upper.txt", "A"}, {"e", ""}};
    std::string first = tree(files);
    std::string second = tree(std::vector<std::pair<std::string, std::string>>(files.rbegin(), files.rend()));
    fs::last_write_time(fs::path(second) / "b.txt", fs::file_time_type::clock::now() - std::chrono::hours(48));
    fs::path otherProbe = root_ / "elsewhere" / "zelmor-probe.dll";
    fs::create_directories(otherProbe.parent_path());
    fs::copy_file(kProbe, otherProbe);
    // The output's name is part of the identity, so each pack goes to the same one.
    ASSERT_EQ(pack({"--dir", first, kProbe, output()}).exitCode, 0);
    Bytes one = readWholeFile<Bytes>(output());
    ASSERT_EQ(pack({"--dir", second, otherProbe.string(), output()}).exitCode, 0);
    EXPECT_TRUE(one == readWholeFile<Bytes>(output()));

    // Large enough for several compression jobs: the thread count must not show.
    std::string large = tree({{"large.bin", textLike(3 << 20, 4)}});
    ASSERT_EQ(pack({"--level", "3", "--threads", "1", "--dir", large, kProbe, output()}).exitCode, 0);
    Bytes single = readWholeFile<Bytes>(output());
    ASSERT_EQ(pack({"--level", "3", "--threads", "3", "--dir", large, kProbe, output()}).exitCode, 0);
    EXPECT_TRUE(single == readWholeFile<Bytes>(output()));
    ASSERT_EQ(pack({"--level", "3", "--dir", large, kProbe, output()}).exitCode, 0);
    EXPECT_TRUE(single == readWholeFile<Bytes>(output()));
}

TEST_F(PackerOutput, FailureLeavesNoOutputAndNoTemporaryFile) {
    std::string source = input("source.txt");
    std::string missing = (root_ / "in" / "missing.txt").string();
    std::string badIcon = input("bad.ico", "not an icon");
    const std::vector<std::vector<std::string>> failures = {
        {"--file", "CON=" + source},
        {"--file", "x.txt=" + missing},
        {"--dir", missing},
        {"--icon", badIcon},
        {"--stub", source},
    };
    for (const std::vector<std::string> &options : failures) {
        SCOPED_TRACE(options.back());
        EXPECT_EQ(packProbe(options, output()).exitCode, 1);
        EXPECT_EQ(outputDirectory(), std::vector<std::string>());
    }
    // An application that is missing fails only once compression has begun.
    EXPECT_EQ(pack({"--any-first-entry", missing, output()}).exitCode, 1);
    EXPECT_EQ(outputDirectory(), std::vector<std::string>());

    // An older executable stays as it was.
    writeWholeFile(output(), std::string("older"));
    for (const std::vector<std::string> &options : failures) {
        SCOPED_TRACE(options.back());
        EXPECT_EQ(packProbe(options, output()).exitCode, 1);
        EXPECT_EQ(readWholeFile(output()), "older");
        EXPECT_EQ(outputDirectory(), std::vector<std::string>({"app.exe"}));
    }

    // Places no file can be written to (running as root, permissions would not stop it).
    std::string underFile = output() + "/inside.exe", missingFolder = output("missing") + "/out.exe";
    expectFailureNaming(packProbe({}, underFile), {underFile});
    Outcome unwritable = packProbe({}, missingFolder);
    expectFailureNaming(unwritable, {"cannot write \"" + missingFolder + "\""});
    EXPECT_EQ(unwritable.err.find(".zelmor-pack"), npos) << unwritable.err;
    fs::create_directory(output("directory.exe"));
    expectFailureNaming(packProbe({}, output("directory.exe")), {"directory.exe"});
    EXPECT_TRUE(fs::is_directory(output("directory.exe")));
    EXPECT_EQ(outputDirectory(), std::vector<std::string>({"app.exe", "directory.exe"}));

    // Success replaces the older file with an executable one, and leaves nothing else.
    Outcome outcome = packProbe({}, output());
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(readWholeFile(output()), "older");
    EXPECT_NE(fs::status(output()).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(outputDirectory(), std::vector<std::string>({"app.exe", "directory.exe"}));
}

TEST_F(PackerOutput, NoInputIsEverWrittenOver) {
    std::string dll = input("app.dll", readWholeFile(kProbe)), source = input("data.txt", "data");
    fs::create_symlink(dll, root_ / "in" / "link.dll");
    std::string dotted = (root_ / "in" / "." / "app.dll").string(), link = (root_ / "in" / "link.dll").string();
    const std::vector<std::string> refused[] = {
        {dll, dll},
        {dotted, dll},
        {link, dll},
        {dll, link},
        {"--file", "x.txt=" + source, dll, source},
        {"--stub", source, dll, source},
        {"--icon", source, dll, source},
    };
    for (const std::vector<std::string> &arguments : refused) {
        SCOPED_TRACE(arguments.front());
        std::string kept = readWholeFile(arguments.back());
        expectFailureNaming(pack(arguments), {"is the input", "the same file"});
        EXPECT_TRUE(readWholeFile(arguments.back()) == kept);
        EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "in"), fs::directory_iterator()), 3);
    }
    // In a --dir, only the output at its own place is left out, with its
    // packer's unfinished files beside it; under another name it is refused.
    ASSERT_EQ(packProbe({"--dir", (root_ / "out").string()}, output()).exitCode, 0);
    writeWholeFile(output() + ".0123456789abcdef.zelmor-pack", "unfinished");
    writeWholeFile(root_ / "out" / "kept.txt", "kept");
    Outcome outcome = packProbe({"--dir", (root_ / "out").string()}, output());
    ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("warning: the output \"" + output() + "\" lies inside"), npos) << outcome.err;
    std::vector<ListedLine> lines = parseListing(pack({"--list", output()}).out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].name, "kept.txt");
    fs::create_hard_link(output(), root_ / "in" / "hard.exe");
    expectFailureNaming(packProbe({"--dir", (root_ / "in").string()}, output()),
                        {(root_ / "in" / "hard.exe").string(), "under another name"});
}

TEST_F(PackerOutput, ConcurrentPacksToOneOutputLeaveOneWholeExecutable) {
    // Links planted where the scratch files once had fixed names must not redirect a write.
    std::string victim = input("victim.txt", "must stay as it is");
    fs::create_symlink(victim, output() + ".zelmor-pack.tmp");
    fs::create_symlink(victim, output() + ".zelmor-pack.payload");
    constexpr int kPacks = 4;
    std::vector<std::string> data;
    std::vector<Running> running;
    for (int i = 0; i < kPacks; ++i) {
        data.push_back(textLike(2 << 20, 20 + i));
        std::string source = input("data" + std::to_string(i) + ".bin", data.back());
        running.push_back(startPack(
            {"--level", "3", "--threads", "1", "--file", "data.bin=" + source, kProbe, output()}, root_,
            "pack" + std::to_string(i)));
    }
    for (const Running &pack : running) {
        Outcome outcome = finishPack(pack);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    }
    Decoded decoded;
    ASSERT_NO_FATAL_FAILURE(decodePayload(readWholeFile<Bytes>(output()), decoded));
    ASSERT_EQ(decoded.records.size(), 2u);
    std::string packed = decoded.plain.substr(decoded.records[1].offset, decoded.records[1].size);
    EXPECT_EQ(std::count(data.begin(), data.end(), packed), 1) << "the output is not one pack's whole result";
    EXPECT_TRUE(readWholeFile(victim) == "must stay as it is") << "written through a planted link";
    EXPECT_EQ(outputDirectory(), std::vector<std::string>({"app.exe", "app.exe.zelmor-pack.payload",
                                                           "app.exe.zelmor-pack.tmp"}));
}

struct TreeFile {
    std::string path;        // relative, '/' separated, UTF-8
    std::u16string stored;   // the name in the payload
    std::string data;
};

TEST_F(PackerRoundTrip, PayloadHoldsEveryFileInOrder) {
    const std::vector<TreeFile> files = {
        {"top.txt", u"top.txt", "top level\r\n"},
        {"empty.bin", u"empty.bin", ""},
        {"data/nested/deep/leaf.txt", u"data\\nested\\deep\\leaf.txt", "deep"},
        {"data/large.bin", u"data\\large.bin", randomBytes(1 << 19, 5) + textLike((1 << 20) + 777, 6)},
        {u8"données/naïve €.txt", u"données\\naïve €.txt", "accents"},
        {u8"日本語/ファイル.txt", u"日本語\\ファイル.txt", "kana"},
        {u8"emoji 😀.txt", u"emoji \U0001F600.txt", "pair"},
        {"data.txt", u"data.txt", "sorts beside the directory data"},
    };
    std::vector<std::pair<std::string, std::string>> contents;
    for (const TreeFile &file : files) {
        contents.push_back({file.path, file.data});
    }
    std::string directory = tree(contents);
    std::string licence = input("LICENSE", "licence text");
    TreeFile single = {"legal/licence.txt", u"legal\\licence.txt", "licence text"};

    for (bool checksum : {true, false}) {
        SCOPED_TRACE(checksum ? "with checksum" : "without checksum");
        std::vector<std::string> arguments = {"--dir", directory, "--file", single.path + "=" + licence};
        if (!checksum) {
            arguments.push_back("--no-checksum");
        }
        arguments.insert(arguments.end(), {kProbe, output()});
        Outcome packed = pack(arguments);
        ASSERT_EQ(packed.exitCode, 0) << packed.err;

        // The application first, then the rest by name.
        std::vector<TreeFile> expected = files;
        expected.push_back(single);
        for (TreeFile &file : expected) {
            std::replace(file.path.begin(), file.path.end(), '/', '\\');
        }
        std::sort(expected.begin(), expected.end(), [](const TreeFile &a, const TreeFile &b) { return a.path < b.path; });
        Bytes probe = readWholeFile<Bytes>(kProbe);
        expected.insert(expected.begin(),
                        TreeFile{"zelmor-probe.dll", u"zelmor-probe.dll", std::string(probe.begin(), probe.end())});

        Outcome listed = pack({"--list", output()});
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        std::vector<ListedLine> lines = parseListing(listed.out);
        ASSERT_EQ(lines.size(), expected.size()) << listed.out;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(lines[i].name, expected[i].path);
            EXPECT_EQ(lines[i].size, expected[i].data.size()) << expected[i].path;
        }

        Decoded decoded;
        ASSERT_NO_FATAL_FAILURE(decodePayload(readWholeFile<Bytes>(output()), decoded));
        ASSERT_EQ(decoded.records.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const Record &record = decoded.records[i];
            EXPECT_TRUE(record.name == expected[i].stored) << expected[i].path;
            EXPECT_TRUE(decoded.plain.compare(record.offset, record.size, expected[i].data) == 0) << expected[i].path;
        }
        EXPECT_EQ(decoded.header.checksumFlag, checksum ? 1u : 0u);
        expectFrameSizedToContent(decoded);
    }
}

TEST_F(PackerRoundTrip, WindowStaysWithinTheLauncherLimit) {
    // A sparse file larger than the launcher's 128 MiB window costs no disk.
    fs::path huge = root_ / "huge" / "zeros.bin";
    fs::create_directories(huge.parent_path());
    writeWholeFile(huge, std::string());
    fs::resize_file(huge, (uint64_t{1} << 27) + (3 << 20));
    Outcome packed = pack({"--dir", huge.parent_path().string(), kProbe, output()});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    Decoded decoded;
    ASSERT_NO_FATAL_FAILURE(decodePayload(readWholeFile<Bytes>(output()), decoded));
    ASSERT_EQ(decoded.records.size(), 2u);
    EXPECT_EQ(decoded.records[1].size, fs::file_size(huge));
    EXPECT_EQ(decoded.plain.find_first_not_of('\0', decoded.records[1].offset), npos);
    expectFrameSizedToContent(decoded);
}

// A .ico file of `images` (their bytes not checked as bitmaps by the packer),
// and in `group` the RT_GROUP_ICON made of it.
std::string iconFile(const std::vector<std::string> &images, std::string &group) {
    std::string icon;
    putLittleEndian(icon, 0, 2);
    putLittleEndian(icon, 1, 2);
    putLittleEndian(icon, images.size(), 2);
    group = icon;
    uint32_t offset = 6 + 16 * images.size();
    for (size_t i = 0; i < images.size(); ++i) {
        std::string common;
        common += static_cast<char>(16 << i);
        common += static_cast<char>(16 << i);
        common += std::string(2, '\0');  // colours, reserved
        putLittleEndian(common, 1, 2);   // planes
        putLittleEndian(common, 32, 2);  // bits per pixel
        putLittleEndian(common, images[i].size(), 4);
        icon += common;
        putLittleEndian(icon, offset, 4);
        offset += images[i].size();
        group += common;
        putLittleEndian(group, i + 1, 2);
    }
    for (const std::string &image : images) {
        icon += image;
    }
    return icon;
}

TEST_F(PackerRoundTrip, IconReplacesTheLaunchersIcon) {
    const std::string images[] = {randomBytes(1000, 7), randomBytes(333, 8)};
    std::string group;
    std::string iconPath = input("new.ico", iconFile({images[0], images[1]}, group));

    Outcome packed = packProbe({"--icon", iconPath}, output());
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    Bytes image = readWholeFile<Bytes>(output()), found;
    std::string error;
    ASSERT_TRUE(findResource(image, kGroupIcon, 1, found, error)) << error;
    EXPECT_TRUE(found == Bytes(group.begin(), group.end()));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(findResource(image, kIcon, i + 1, found, error)) << error;
        EXPECT_TRUE(found == Bytes(images[i].begin(), images[i].end())) << "image " << i + 1;
    }
    Decoded decoded;
    ASSERT_NO_FATAL_FAILURE(decodePayload(image, decoded));
    EXPECT_EQ(decoded.records.size(), 1u);

    // Without --icon the stub's own icon stays.
    ASSERT_EQ(packProbe({}, output("plain.exe")).exitCode, 0);
    Bytes stubGroup;
    ASSERT_TRUE(findResource(readWholeFile<Bytes>(kLauncher), kGroupIcon, 1, stubGroup, error)) << error;
    ASSERT_TRUE(findResource(readWholeFile<Bytes>(output("plain.exe")), kGroupIcon, 1, found, error)) << error;
    EXPECT_TRUE(found == stubGroup);
}

std::string sha256Of(const std::string &bytes) {
    Sha256 hash;
    sha256Start(hash);
    sha256Add(hash, bytes.data(), bytes.size());
    uint8_t digest[kSha256Size];
    sha256Finish(hash, digest);
    return std::string(digest, digest + kSha256Size);
}

TEST_F(PackerRoundTrip, CacheIndexDescribesThePayloadAndChangesNothingElse) {
    std::string directory = tree({{"b.txt", "bee"}, {"empty", ""}, {"data/large.bin", textLike((1 << 20) + 777, 12)}});
    ASSERT_EQ(packProbe({"--dir", directory}, output("plain.exe")).exitCode, 0);
    Outcome packed = packProbe({"--cache", "--dir", directory}, output("Tool.v2.EXE"));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    Bytes plain = readWholeFile<Bytes>(output("plain.exe")), cached = readWholeFile<Bytes>(output("Tool.v2.EXE"));
    Bytes found, same, index;
    std::string error;
    for (uint16_t id : {kPayloadId, kSettingsId}) {
        ASSERT_TRUE(findResource(plain, kRcData, id, found, error) && findResource(cached, kRcData, id, same, error));
        EXPECT_TRUE(found == same) << "RCDATA " << id << " differs with --cache";
    }
    EXPECT_FALSE(findResource(plain, kRcData, kCacheIndexId, found, error));
    ASSERT_TRUE(findResource(cached, kRcData, kCacheIndexId, index, error)) << error;

    // The index as its layout says, from the decoded payload.
    Decoded decoded;
    ASSERT_NO_FATAL_FAILURE(decodePayload(cached, decoded));
    std::string records, header = "ZCIX", name;
    uint64_t dataSize = 0;
    for (const Record &record : decoded.records) {
        putLittleEndian(records, record.name.size(), 2);
        for (char16_t unit : record.name) {
            putLittleEndian(records, unit, 2);
        }
        putLittleEndian(records, record.size, 8);
        records += sha256Of(decoded.plain.substr(record.offset, record.size));
        dataSize += record.size;
    }
    std::string digest = sha256Of(std::string("\1\0\0\0", 4) + records);
    for (int bit = 0; bit < 80; bit += 5) {
        int value = 0;
        for (int i = bit; i < bit + 5; ++i) {
            value = value << 1 | (static_cast<uint8_t>(digest[i / 8]) >> (7 - i % 8) & 1);
        }
        name += "abcdefghijklmnopqrstuvwxyz234567"[value];
    }
    for (uint64_t field : {uint64_t{1}, uint64_t{208}}) {
        putLittleEndian(header, field, 2);
    }
    putLittleEndian(header, 208 + records.size(), 4);
    putLittleEndian(header, decoded.records.size(), 4);
    putLittleEndian(header, dataSize, 8);
    header += digest + name;
    putLittleEndian(header, 7, 2);
    for (char c : std::string("Tool.v2")) {
        putLittleEndian(header, c, 2);
    }
    header.resize(208, '\0');
    header += records;
    EXPECT_TRUE(index == Bytes(header.begin(), header.end()));
    std::string hex;
    for (char byte : digest) {
        hex += "0123456789abcdef"[static_cast<uint8_t>(byte) >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    EXPECT_NE(pack({"--list", output("Tool.v2.EXE")}).out.find("\ncache: application id Tool.v2, version " + name +
                                                             ", digest " + hex + "\n"),
              npos);

    // A packed executable as the stub: its index never outlives the payload it describes.
    ASSERT_EQ(packProbe({"--stub", output("Tool.v2.EXE")}, output("restubbed.exe")).exitCode, 0);
    EXPECT_FALSE(findResource(readWholeFile<Bytes>(output("restubbed.exe")), kRcData, kCacheIndexId, found, error));
}

// What --list shows after the entries' empty line.
std::string listedIdentity(const Outcome &listed) {
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    size_t gap = listed.out.find("\n\n");
    return gap == npos ? "no empty line in: " + listed.out : listed.out.substr(gap + 2);
}

TEST_F(PackerRoundTrip, IdentityOptionsTheirDefaultsAndTheListing) {
    const std::string runs = "runs: zelmor-probe.dll, a DLL whose run_code the launcher calls\n";
    const std::string gui = runs + "subsystem: GUI\nexecution level: asInvoker\nmanifest: long paths\n"
                                   "launcher settings: version 1, error dialog on\n"
                                   "cache: none (extracted afresh for every run)\n";
    // Without identity options the program is the application, named after its file, not the launcher.
    ASSERT_EQ(packProbe({}, output("plain.exe")).exitCode, 0);
    EXPECT_EQ(listedIdentity(pack({"--list", output("plain.exe")})),
              gui + "file version: 1.0.0.0\nproduct version: 1.0.0.0\nFileDescription: plain\nFileVersion: 1.0.0.0\n"
                    "InternalName: plain\nOriginalFilename: plain.exe\nProductName: plain\nProductVersion: 1.0.0.0\n");
    // Only when asked for does the stub's own identity stay.
    ASSERT_EQ(packProbe({"--keep-stub-identity"}, output("stub.exe")).exitCode, 0);
    EXPECT_EQ(listedIdentity(pack({"--list", output("stub.exe")})),
              gui + "file version: " ZELMOR_VERSION_TEXT "\nproduct version: " ZELMOR_VERSION_TEXT "\n"
                    "CompanyName: Zelmor\nFileDescription: Zelmor onefile launcher\nFileVersion: " ZELMOR_VERSION_TEXT
                    "\nInternalName: zelmor-launcher\nOriginalFilename: zelmor-launcher.exe\nProductName: Zelmor onefile\n"
                    "ProductVersion: " ZELMOR_VERSION_TEXT "\n");
    // One option changes its value; the rest follow from the output's name.
    ASSERT_EQ(packProbe({"--product-name", "Rechner"}, output("calc.tool.exe")).exitCode, 0);
    EXPECT_EQ(listedIdentity(pack({"--list", output("calc.tool.exe")})),
              gui + "file version: 1.0.0.0\nproduct version: 1.0.0.0\n"
                    "FileDescription: Rechner\nFileVersion: 1.0.0.0\nInternalName: calc.tool\n"
                    "OriginalFilename: calc.tool.exe\nProductName: Rechner\nProductVersion: 1.0.0.0\n");
    // A project's version passes straight through: free text beside the numbers it starts with.
    ASSERT_EQ(packProbe({"--product-version", "2.5-beta+7"}, output("versioned.exe")).exitCode, 0);
    EXPECT_EQ(listedIdentity(pack({"--list", output("versioned.exe")})),
              gui + "file version: 2.5.0.0\nproduct version: 2.5.0.0\n"
                    "FileDescription: versioned\nFileVersion: 2.5.0.0\nInternalName: versioned\n"
                    "OriginalFilename: versioned.exe\nProductName: versioned\nProductVersion: 2.5-beta+7\n");
    Outcome packed = packProbe({"--console", "--uac-admin", "--no-error-dialog", "--product-name", u8"Zelmor Tool \u00fc",
                                "--company-name", "ACME", "--file-description", "Does things", "--file-version",
                                "2.0.07", "--product-version", "2.1", "--copyright", "(c) ACME", "--original-filename",
                                "tool.exe"},
                               output("all.exe"));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_NE(packed.err.find("all.exe (console subsystem)\n"), npos) << packed.err;
    EXPECT_EQ(listedIdentity(pack({"--list", output("all.exe")})),
              runs + u8"subsystem: console\nexecution level: requireAdministrator\nmanifest: long paths\n"
              u8"launcher settings: version 1, error dialog off\ncache: none (extracted afresh for every run)\n"
              u8"file version: 2.0.7.0\n"
              u8"product version: 2.1.0.0\nCompanyName: ACME\nFileDescription: Does things\nFileVersion: 2.0.7.0\n"
              u8"InternalName: tool\nLegalCopyright: (c) ACME\nOriginalFilename: tool.exe\n"
              u8"ProductName: Zelmor Tool \u00fc\nProductVersion: 2.1.0.0\n");

    // Refused before anything is written, naming the option and the reason.
    expectRefused({"--file-version", "2.0-beta"}, {"--file-version", "\"2.0-beta\" is not a version", "one to four"});
    expectRefused({"--file-version", "1.2.3.70000"}, {"--file-version", "1.2.3.70000"});
    expectRefused({"--company-name", "\xff"}, {"--company-name is not valid UTF-8"});
    Bytes stub = readWholeFile<Bytes>(kLauncher);
    const std::string element = "<requestedExecutionLevel";
    auto found = std::search(stub.begin(), stub.end(), element.begin(), element.end());
    ASSERT_NE(found, stub.end());
    found[1] = 'R';
    writeWholeFile(root_ / "in" / "levelless.exe", stub);
    std::string levelless = (root_ / "in" / "levelless.exe").string();
    expectRefused({"--uac-admin", "--stub", levelless}, {levelless, "no requestedExecutionLevel"});
    Outcome both = packProbe({"--keep-stub-identity", "--copyright", "x"}, output());
    EXPECT_EQ(both.exitCode, 2);
    EXPECT_NE(both.err.find("--keep-stub-identity keeps the stub's version resource"), npos) << both.err;
    Outcome empty = packProbe({"--product-name", ""}, output());
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_NE(empty.err.find("--product-name needs a value that is not empty"), npos) << empty.err;
    EXPECT_FALSE(fs::exists(output()));
}

TEST_F(PackerRoundTrip, AManifestOfItsOwnAndTheSettingsGuiProgramsNeed) {
    std::string manifest = input("app.manifest", "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' "
                                                 "manifestVersion='1.0'><assemblyIdentity name='My.App'/></assembly>");
    Outcome packed = packProbe({"--manifest", manifest, "--uac-admin", "--visual-styles", "--dpi-aware=system"}, output());
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    std::string listed = listedIdentity(pack({"--list", output()}));
    EXPECT_EQ(listed.substr(0, listed.find("launcher settings")),
              "runs: zelmor-probe.dll, a DLL whose run_code the launcher calls\nsubsystem: GUI\n"
              "execution level: requireAdministrator\nmanifest: long paths, visual styles, DPI awareness true\n");
    Bytes written;
    std::string error;
    ASSERT_TRUE(findResource(readWholeFile<Bytes>(output()), 24, 1, written, error)) << error;
    EXPECT_NE(std::string(written.begin(), written.end()).find("<assemblyIdentity name='My.App'/>"), npos);
    fs::remove(output());

    expectRefused({"--manifest", input("bad.manifest", "<assembly>")}, {"bad.manifest", "not well-formed XML"});
    expectRefused({"--manifest", input("two.manifest", "<a/><b/>")}, {"two.manifest", "a second root element"});
    expectRefused({"--dpi-aware", "--manifest", input("dpi.manifest",
                                                      "<assembly xmlns='urn:schemas-microsoft-com:asm.v1'><dpiAware>"
                                                      "true</dpiAware></assembly>")},
                  {"--dpi-aware", "already"});
    Outcome unknown = packProbe({"--dpi-aware=yes"}, output());
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("--dpi-aware takes system, permonitor or permonitorv2, not yes"), npos) << unknown.err;
}

TEST_F(PackerRoundTrip, AProgramsFaceIsTakenWhereNoOptionSetsItAndTheListingSaysWhence) {
    // A program with a face of its own: a packed launcher serves, console,
    // with an icon, a version and an execution level that are not the stub's.
    const std::string images[] = {randomBytes(700, 21), randomBytes(90, 22)};
    std::string group, otherGroup;
    std::string icon = input("face.ico", iconFile({images[0], images[1]}, group));
    std::string folder = tree({{"data.txt", "data"}});
    ASSERT_EQ(pack({"--level", "1", "--any-first-entry", "--console", "--uac-admin", "--icon", icon, "--product-name",
                    "Face", "--company-name", "ACME", "--file-version", "3.1", input("x.txt"), folder + "/face.exe"})
                  .exitCode,
              0);
    const std::string runs = "runs: face.exe, a program the launcher starts\n";
    const std::string settings =
        "manifest: long paths\nlauncher settings: version 1, error dialog on, starts the program\n"
        "cache: none (extracted afresh for every run)\n";
    const std::string versions = "file version: 3.1.0.0\nproduct version: 3.1.0.0\nCompanyName: ACME\n"
                                 "FileDescription: Face\nFileVersion: 3.1.0.0\nInternalName: face\n"
                                 "OriginalFilename: face.exe\nProductName: Face\nProductVersion: 3.1.0.0\n";
    Outcome packed = pack({"--level", "1", "--dir", folder, "--run", "face.exe", output()});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_NE(packed.err.find("app.exe (console subsystem)\n"), npos) << packed.err;
    EXPECT_EQ(listedIdentity(pack({"--list", output()})),
              runs + "subsystem: console (from the program)\nicon: 2 images (from the program)\n"
                     "execution level: requireAdministrator (from the program)\n" +
                  settings + "version resource: from the program\n" + versions);
    Bytes found;
    std::string error;
    ASSERT_TRUE(findResource(readWholeFile<Bytes>(output()), kGroupIcon, 1, found, error)) << error;
    EXPECT_TRUE(found == Bytes(group.begin(), group.end()));

    // Each part can still be set; the version values given are laid over the program's.
    std::string other = input("other.ico", iconFile({randomBytes(50, 23)}, otherGroup));
    std::string manifest = input("app.manifest", "<assembly xmlns='urn:schemas-microsoft-com:asm.v1'><trustInfo>"
                                                 "<security><requestedPrivileges><requestedExecutionLevel "
                                                 "level='asInvoker'/></requestedPrivileges></security></trustInfo>"
                                                 "</assembly>");
    ASSERT_EQ(pack({"--level", "1", "--dir", folder, "--run", "face.exe", "--gui", "--icon", other, "--manifest",
                    manifest, "--product-name", "New", "--file-version", "4", output("set.exe")})
                  .exitCode,
              0);
    EXPECT_EQ(listedIdentity(pack({"--list", output("set.exe")})),
              runs + "subsystem: GUI (not the program's, which is console)\nicon: 1 image (not the program's)\n"
                     "execution level: asInvoker (not the program's, which is requireAdministrator)\n" +
                  settings + "version resource: not the program's\nfile version: 4.0.0.0\nproduct version: 3.1.0.0\n"
                             "CompanyName: ACME\nFileDescription: Face\nFileVersion: 4.0.0.0\nInternalName: face\n"
                             "OriginalFilename: face.exe\nProductName: New\nProductVersion: 3.1.0.0\n");

    // An icon group that names an image the program lacks: a warning, and the stub's icon.
    Bytes damaged = readWholeFile<Bytes>(folder + "/face.exe"), groupBytes(group.begin(), group.end());
    auto at = std::search(damaged.begin(), damaged.end(), groupBytes.begin(), groupBytes.end());
    ASSERT_NE(at, damaged.end());
    at[6 + 14 + 12] = 77;
    std::string damagedFolder = tree({});
    writeWholeFile(damagedFolder + "/face.exe", damaged);
    packed = pack({"--level", "1", "--dir", damagedFolder, "--run", "face.exe", output("damaged.exe")});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_NE(packed.err.find("warning: " + damagedFolder + "/face.exe: its icon group names the image 77, which it "
                              "lacks: its icon is not taken"),
              npos)
        << packed.err;
    std::string listed = listedIdentity(pack({"--list", output("damaged.exe")}));
    EXPECT_NE(listed.find("\nicon: 1 image (not the program's: it has none)\n"), npos) << listed;
}

TEST_F(PackerList, DamagedExecutablesFailClearly) {
    ASSERT_EQ(packProbe({"--file", "notes.txt=" + input("notes.txt", textLike(100000, 9))}, output()).exitCode, 0);
    Bytes image = readWholeFile<Bytes>(output()), container;
    std::string error;
    ASSERT_TRUE(findResource(image, kRcData, kPayloadId, container, error)) << error;
    auto found = std::search(image.begin(), image.end(), container.begin(), container.end());
    ASSERT_NE(found, image.end());
    size_t start = found - image.begin(), end = start + container.size();

    struct Damage {
        const char *what;
        size_t offset;
    };
    const Damage flips[] = {{"frame data", start + 3 + (container.size() - 13) / 2},
                            {"frame checksum", end - 11},
                            {"frame header", start + 4},
                            {"trailer", end - 2},
                            {"header", start + 1}};
    for (const Damage &damage : flips) {
        SCOPED_TRACE(damage.what);
        Bytes damaged = image;
        damaged[damage.offset] ^= 0x10;
        std::string path = output(std::string("flipped ") + damage.what + ".exe");
        writeWholeFile(path, damaged);
        Outcome listed = pack({"--list", path});
        expectFailureNaming(listed, {path});
        EXPECT_EQ(listed.out, "");
    }
    const size_t lengths[] = {0, 100, image.size() / 2, start + container.size() / 2, image.size() - 1};
    for (size_t length : lengths) {
        SCOPED_TRACE(length);
        std::string path = output("truncated.exe");
        writeWholeFile(path, Bytes(image.begin(), image.begin() + length));
        Outcome listed = pack({"--list", path});
        expectFailureNaming(listed, {path});
        EXPECT_EQ(listed.out, "");
    }
}

TEST_F(PackerList, ACacheIndexThatDoesNotMatchItsPayloadIsDamage) {
    std::string notes = input("notes.txt", "first notes"), other = input("other.txt", "other notes");
    std::string longer = input("longer.txt", "longer notes");
    ASSERT_EQ(packProbe({"--cache", "--file", "notes.txt=" + notes}, output()).exitCode, 0);
    Bytes image = readWholeFile<Bytes>(output()), payload, index;
    std::string error;
    ASSERT_TRUE(findResource(image, kRcData, kPayloadId, payload, error)) << error;
    ASSERT_TRUE(findResource(image, kRcData, kCacheIndexId, index, error)) << error;
    // The payload of another pack beside this index, as a tool that replaced only the payload would leave it.
    const std::pair<std::vector<std::string>, std::string> others[] = {
        {{"--file", "notes.txt=" + other}, "entry 2 (\"notes.txt\") has other data than its digest"},
        {{"--file", "notes.txt=" + longer}, "entry 2 (\"notes.txt\") has 12 bytes, the cache index says 11"},
        {{"--file", "Notes.txt=" + notes}, "entry 2 (\"Notes.txt\") has another name"},
        {{"--file", "notes.txt=" + notes, "--file", "z.txt=" + notes}, "the payload has 3 entries, the cache index 2"},
        {{}, "the payload has 1 entries, the cache index 2"}};
    for (const auto &[options, problem] : others) {
        SCOPED_TRACE(problem);
        ASSERT_EQ(packProbe(options, output("other.exe")).exitCode, 0);
        ResourceChanges changes;
        ASSERT_TRUE(findResource(readWholeFile<Bytes>(output("other.exe")), kRcData, kPayloadId, changes.payload, error));
        changes.cacheIndex = index;
        Bytes mixed;
        ASSERT_TRUE(updateResources(readWholeFile<Bytes>(kLauncher), changes, mixed, error)) << error;
        writeWholeFile(output("mixed.exe"), mixed);
        Outcome listed = pack({"--list", output("mixed.exe")});
        expectFailureNaming(listed, {"the cache index does not match the payload: " + problem});
        EXPECT_EQ(listed.out, "");
    }
    // A digest flipped in the index: no longer the digest its version name was taken from.
    ResourceChanges changes;
    changes.payload = payload;
    changes.cacheIndex = index;
    changes.cacheIndex[24] ^= 1;
    Bytes damaged;
    ASSERT_TRUE(updateResources(readWholeFile<Bytes>(kLauncher), changes, damaged, error)) << error;
    writeWholeFile(output("damaged.exe"), damaged);
    expectFailureNaming(pack({"--list", output("damaged.exe")}), {"damaged.exe: the cache index is damaged"});
}

TEST_F(PackerList, NamesLongerThanTheLauncherTakesAreRefused) {
    // A small file whose one name runs to 300000 units once took hundreds of
    // megabytes to list; the launcher stops at 1023.
    std::string stream;
    for (int i = 0; i < 300000; ++i) {
        stream += std::string("x\0", 2);
    }
    stream += std::string(2 + 8 + 2, '\0');  // terminator, size 0, end of list
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), stream.data(), stream.size(), 19));
    ResourceChanges changes;
    std::string container = "QJY" + frame + std::string(2, '\0');
    putLittleEndian(container, container.size(), 8);
    changes.payload.assign(container.begin(), container.end());
    Bytes image;
    std::string error;
    ASSERT_TRUE(updateResources(readWholeFile<Bytes>(kLauncher), changes, image, error)) << error;
    std::string path = output("long name.exe");
    writeWholeFile(path, image);
    Outcome listed = pack({"--list", path});
    expectFailureNaming(listed, {path, "entry 1 is longer than 1023 UTF-16 units"});
    EXPECT_EQ(listed.out, "");
}

TEST_F(PackerList, UnpackedStubHasNoPayload) {
    Outcome listed = pack({"--list", kLauncher});
    expectFailureNaming(listed, {kLauncher, "payload"});
    expectFailureNaming(pack({"--list", output("missing.exe")}), {"missing.exe"});
}

}  // namespace
