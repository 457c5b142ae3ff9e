#include "packer/payload_writer.h"
#include "packer/sha256.h"
#include "testing/host/test_files.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

struct Record {
    std::u16string name;
    std::string data;
};

struct Container {
    ZSTD_frameHeader header;
    std::string plain;
    std::vector<Record> records;
};

fs::path makeTempDir() {
    std::string pattern = testing::TempDir() + "payload_writer_XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    return pattern;
}

bool writeToBytes(const std::vector<PayloadEntry> &entries, const PayloadOptions &options, std::string &bytes,
                  std::string &error) {
    FILE *file = tmpfile();
    PayloadSummary summary;
    bool written = writePayload(file, entries, options, summary, error);
    bytes.resize(ftell(file));
    EXPECT_EQ(summary.containerSize, bytes.size());
    rewind(file);
    EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), file), bytes.size());
    fclose(file);
    return written;
}

void parseRecords(const std::string &plain, std::vector<Record> &records) {
    size_t at = 0;
    for (;;) {
        std::u16string name;
        for (char16_t unit = 1; unit != 0; at += 2) {
            ASSERT_LE(at + 2, plain.size()) << "name runs past the end";
            unit = static_cast<char16_t>(littleEndian(plain, at, 2));
            if (unit != 0) {
                name.push_back(unit);
            }
        }
        if (name.empty()) {
            break;
        }
        ASSERT_LE(at + 8, plain.size());
        uint64_t size = littleEndian(plain, at, 8);
        at += 8;
        ASSERT_LE(size, plain.size() - at);
        records.push_back({name, plain.substr(at, size)});
        at += size;
    }
    EXPECT_EQ(at, plain.size()) << "bytes follow the end-of-list record";
}

// Decodes with the window capped at `windowLog`, so a frame that reaches
// further back than the launcher allows fails here too.
void parseContainer(const std::string &bytes, int windowLog, Container &container) {
    ASSERT_GE(bytes.size(), 13u);
    ASSERT_EQ(bytes.substr(0, 3), "QJY");
    EXPECT_EQ(bytes.substr(bytes.size() - 10, 2), std::string(2, '\0'));
    EXPECT_EQ(littleEndian(bytes, bytes.size() - 8, 8), bytes.size() - 8);
    std::string frame = bytes.substr(3, bytes.size() - 13);
    ASSERT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size()) << "not exactly one frame";
    ASSERT_EQ(ZSTD_getFrameHeader(&container.header, frame.data(), frame.size()), 0u);
    EXPECT_EQ(container.header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(container.header.checksumFlag, 0u);
    EXPECT_LE(container.header.windowSize, uint64_t{1} << windowLog);

    ZSTD_DCtx *decoder = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(decoder, ZSTD_d_windowLogMax, windowLog);
    std::vector<char> buffer(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input = {frame.data(), frame.size(), 0};
    ZSTD_outBuffer output;
    size_t result;
    do {
        output = {buffer.data(), buffer.size(), 0};
        result = ZSTD_decompressStream(decoder, &output, &input);
        container.plain.append(buffer.data(), output.pos);
    } while (!ZSTD_isError(result) && result != 0 && (input.pos < input.size || output.pos == output.size));
    ZSTD_freeDCtx(decoder);
    ASSERT_EQ(result, 0u) << ZSTD_getErrorName(result);
    parseRecords(container.plain, container.records);
}

void expectRecords(const Container &container, const std::vector<Record> &expected) {
    ASSERT_EQ(container.records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(container.records[i].name == expected[i].name) << "entry " << i;
        EXPECT_TRUE(container.records[i].data == expected[i].data) << "entry " << i;
    }
}

// FIPS 180-4's example messages and one million 'a', fed whole and in
// pieces that end on each side of a block's and of the padding's edge.
TEST(Sha256, StandardVectorsWholeAndInPieces) {
    const std::pair<std::string, const char *> vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
    for (const auto &[message, expected] : vectors) {
        for (size_t piece : {message.size() + 1, size_t{1}, size_t{55}, size_t{63}, size_t{64}, size_t{65}}) {
            Sha256 hash;
            sha256Start(hash);
            for (size_t at = 0; at < message.size(); at += piece) {
                sha256Add(hash, message.data() + at, std::min(piece, message.size() - at));
            }
            uint8_t digest[kSha256Size];
            sha256Finish(hash, digest);
            std::string hex;
            for (uint8_t byte : digest) {
                hex += "0123456789abcdef"[byte >> 4];
                hex += "0123456789abcdef"[byte & 15];
            }
            EXPECT_EQ(hex, expected) << message.size() << " bytes in pieces of " << piece;
        }
    }
}

TEST(PayloadWriter, StoresEntriesInGivenOrder) {
    fs::path dir = makeTempDir();
    std::string big = randomBytes(1536 * 1024 + 123, 1);  // spans several read pieces, ends mid-piece
    writeWholeFile(dir / "z", "hello");
    writeWholeFile(dir / "empty", "");
    writeWholeFile(dir / "big", big);
    std::vector<PayloadEntry> entries = {{"zeta.txt", dir / "z"},
                                         {"empty", dir / "empty"},
                                         {"dir/sub/big.bin", dir / "big"},
                                         {u8"dir/ü€😀.txt", dir / "z"}};
    std::string bytes, error;
    ASSERT_TRUE(writeToBytes(entries, {}, bytes, error)) << error;
    Container container;
    ASSERT_NO_FATAL_FAILURE(parseContainer(bytes, 27, container));
    std::u16string unicodeName = {'d', 'i', 'r', '\\', 0x00FC, 0x20AC, 0xD83D, 0xDE00, '.', 't', 'x', 't'};
    expectRecords(container,
                  {{u"zeta.txt", "hello"}, {u"empty", ""}, {u"dir\\sub\\big.bin", big}, {unicodeName, "hello"}});
    fs::remove_all(dir);
}

TEST(PayloadWriter, MatchesDocumentedLayout) {
    fs::path dir = makeTempDir();
    writeWholeFile(dir / "a", "xyz");
    std::string bytes, error;
    ASSERT_TRUE(writeToBytes({{"a", dir / "a"}}, {}, bytes, error)) << error;
    Container one;
    ASSERT_NO_FATAL_FAILURE(parseContainer(bytes, 27, one));
    EXPECT_EQ(one.plain, std::string("a\0\0\0\3\0\0\0\0\0\0\0xyz\0\0", 17));

    ASSERT_TRUE(writeToBytes({}, {}, bytes, error)) << error;
    Container none;
    ASSERT_NO_FATAL_FAILURE(parseContainer(bytes, 27, none));
    EXPECT_EQ(none.plain, std::string(2, '\0'));
    fs::remove_all(dir);
}

TEST(PayloadWriter, HonoursRequestedWindow) {
    fs::path dir = makeTempDir();
    // A block repeated just beyond 2^20 bytes back: a larger window would reference it.
    std::string block = randomBytes((1 << 20) + 4096, 2);
    writeWholeFile(dir / "repeat", block + block);
    PayloadOptions options;
    options.windowLog = 20;
    std::string bytes, error;
    ASSERT_TRUE(writeToBytes({{"repeat", dir / "repeat"}}, options, bytes, error)) << error;
    Container container;
    ASSERT_NO_FATAL_FAILURE(parseContainer(bytes, 20, container));
    expectRecords(container, {{u"repeat", block + block}});
    fs::remove_all(dir);
}

TEST(PayloadWriter, ProgressRunsToTheEndOfTheFrame) {
    // With worker threads most of the work may be left for the end of the
    // frame, after the last input: the progress must go on through it.
    fs::path dir = makeTempDir();
    writeWholeFile(dir / "data", randomBytes(3 << 20, 3));
    std::vector<std::array<uint64_t, 3>> calls;
    PayloadOptions options;
    options.workers = 2;
    options.progress = [](uint64_t read, uint64_t total, uint64_t written, void *context) {
        static_cast<std::vector<std::array<uint64_t, 3>> *>(context)->push_back({read, total, written});
    };
    options.progressContext = &calls;
    std::string bytes, error;
    ASSERT_TRUE(writeToBytes({{"data", dir / "data"}}, options, bytes, error)) << error;
    ASSERT_FALSE(calls.empty());
    const uint64_t stream = 2 * 5 + 8 + (3 << 20) + 2;  // name, size, data, end of list
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i][1], stream);
        EXPECT_TRUE(i == 0 || (calls[i][0] >= calls[i - 1][0] && calls[i][2] >= calls[i - 1][2])) << i;
    }
    EXPECT_EQ(calls.back()[0], stream);
    EXPECT_GE(calls.back()[2], uint64_t{3} << 20) << "random data does not shrink";
    fs::remove_all(dir);
}

TEST(PayloadWriter, RejectsBadNamesBeforeWriting) {
    fs::path dir = makeTempDir();
    writeWholeFile(dir / "f", "data");
    std::string emoji = u8"😀", longest(1023, 'a'), longestPairs;
    for (int i = 0; i < 511; ++i) {
        longestPairs += emoji;
    }
    const std::string bad[] = {"", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80",
                               std::string("a\0b", 3), longest + "a", longestPairs + emoji};
    for (const std::string &name : bad) {
        std::string bytes, error;
        EXPECT_FALSE(writeToBytes({{"ok", dir / "f"}, {name, dir / "f"}}, {}, bytes, error)) << name;
        EXPECT_EQ(bytes, "") << name;
        EXPECT_NE(error.find("entry 2"), std::string::npos) << error;
    }
    for (const std::string &name : {longest, longestPairs + "a"}) {
        std::string bytes, error;
        EXPECT_TRUE(writeToBytes({{name, dir / "f"}}, {}, bytes, error)) << error;
    }
    fs::remove_all(dir);
}

TEST(PayloadWriter, RejectsMissingSourceAndBadOptions) {
    std::string missing = makeTempDir() / "missing.txt";
    std::string bytes, error;
    EXPECT_FALSE(writeToBytes({{"a", missing}}, {}, bytes, error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    fs::remove_all(fs::path(missing).parent_path());

    const PayloadOptions badOptions[] = {{3, 28}, {3, 9}, {ZSTD_maxCLevel() + 1, 27}};
    for (const PayloadOptions &options : badOptions) {
        EXPECT_FALSE(writeToBytes({}, options, bytes, error));
        EXPECT_EQ(bytes, "");
    }
}

int runTool(const std::string &arguments, const fs::path &errors) {
    std::string command = "'" + std::string(ZELMOR_WRITE_PAYLOAD) + "' " + arguments + " 2>'" + errors.string() + "'";
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WritePayloadTool, WritesContainerFromPairs) {
    fs::path dir = makeTempDir();
    writeWholeFile(dir / "one", "first");
    writeWholeFile(dir / "b=c", "split at the first =");
    std::string out = dir / "out.bin";
    ASSERT_EQ(runTool("--level 5 --window-log 20 '" + out + "' one='" + (dir / "one").string() + "' sub/x='" +
                          (dir / "b=c").string() + "'",
                      dir / "errors"),
              0)
        << readWholeFile(dir / "errors");
    Container pairs;
    ASSERT_NO_FATAL_FAILURE(parseContainer(readWholeFile(out), 20, pairs));
    expectRecords(pairs, {{u"one", "first"}, {u"sub\\x", "split at the first ="}});

    ASSERT_EQ(runTool("'" + out + "'", dir / "errors"), 0);
    Container empty;
    ASSERT_NO_FATAL_FAILURE(parseContainer(readWholeFile(out), 27, empty));
    EXPECT_TRUE(empty.records.empty());
    EXPECT_FALSE(fs::exists(out + ".tmp"));
    fs::remove_all(dir);
}

TEST(WritePayloadTool, FailureLeavesOutputAsItWas) {
    fs::path dir = makeTempDir();
    std::string out = dir / "out.bin", missing = dir / "missing";
    std::string arguments = "'" + out + "' a='" + missing + "'";
    EXPECT_EQ(runTool(arguments, dir / "errors"), 1);
    EXPECT_EQ(readWholeFile(dir / "errors").rfind("zelmor-write-payload: ", 0), 0u);
    EXPECT_NE(readWholeFile(dir / "errors").find(missing), std::string::npos);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".tmp"));

    writeWholeFile(out, "older");
    EXPECT_EQ(runTool(arguments, dir / "errors"), 1);
    EXPECT_EQ(readWholeFile(out), "older");
    EXPECT_FALSE(fs::exists(out + ".tmp"));
    fs::remove_all(dir);
}

TEST(WritePayloadTool, BadArgumentsPrintUsage) {
    fs::path dir = makeTempDir();
    std::string out = "'" + (dir / "out.bin").string() + "'";
    const std::string cases[] = {"", "--level", "--level x " + out, "--bogus 1 " + out, out + " no-separator"};
    for (const std::string &arguments : cases) {
        EXPECT_EQ(runTool(arguments, dir / "errors"), 2) << arguments;
        EXPECT_NE(readWholeFile(dir / "errors").find("usage:"), std::string::npos) << arguments;
    }
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
    fs::remove_all(dir);
}

}  // namespace
