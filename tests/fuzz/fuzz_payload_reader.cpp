// The payload reader and the entry loop against libzstd's own decode of the
// same container: bytes handed out in random slices must be the reference's,
// the stream may only fail where the reference says it ends or breaks, and
// the entry loop must write exactly the entries the stream lists (the host
// file system aborts on any path that could leave the target directory).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zstd.h>

#include "base/bounded_text.h"
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"
#include "testing/host/host_environment.h"
#include "testing/host/host_failure.h"
#include "testing/host/host_file_output.h"
#include "testing/host/host_system_values.h"

namespace {

// How far one run decodes: several decode buffers, yet fast per input.
constexpr size_t kDecodeBound = 512 * 1024;
constexpr size_t kReferenceBound = kDecodeBound + 4 * kDecodeBufferSize;
constexpr size_t kDiskCapacity = 512 * 1024;
constexpr size_t kLargestPlain = 3 * kDecodeBufferSize;
constexpr size_t kLargestSlice = 300000;
constexpr int kSmallestWindowLog = 10;  // zstd's minimum; its macro is not public
const char kDecodeFailed[] = "Error, couldn't decode attached data.";
const char kHeaderMissing[] = "Error, couldn't find attached data header.";
const char kOpenFailed[] = "Error, failed to open '";

enum Flags : uint8_t {
    kRawContainer = 1,  // else: an entry stream the harness compresses
    kTwoFrames = 2,     // raw: prepend no header of the harness's own
    kChecksum = 4,
    kContentSize = 8,
    kSmallWindow = 16,
    kTargetUnderHome = 32,
    kTrailer = 64,
    kTargetExists = 128,  // a directory already stands at the target's name
};

// How the reference decode of the stream ended. Only an error inside a frame
// lets the launcher fail before the bytes the reference produced: it decodes
// up to a whole buffer ahead, while both stop at the end of every frame.
enum class StreamEnd { Complete, Incomplete, BrokenAtFrameStart, BrokenInFrame, Bounded };

struct Reference {
    std::string bytes;
    StreamEnd end;
};

struct Entry {
    std::wstring name;
    std::string_view data;  // within the reference's bytes
};

enum class Verdict { End, Refused, Abort, Truncated };

struct Listing {
    std::vector<Entry> entries;
    Verdict verdict;  // what follows the last complete entry
};

// Shared by all runs: fresh large buffers per run would dominate the time.
uint8_t sliceBuffer[kLargestSlice];
char referenceChunk[65536];

struct Run {
    std::string container;
    PayloadReader reader;
    RunDirectory directory;
    Extraction extraction;
    size_t sliceSize;
    bool opened;
    bool finished;
};

[[noreturn]] void fail(const char *why) {
    fprintf(stderr, "fuzz_payload_reader: %s\n", why);
    abort();
}

uint64_t nextRandom(uint64_t *state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t seedOf(const uint8_t *data, size_t size) {
    uint64_t hash = 1469598103934665603ULL;
    for (size_t i = 0; i < size; i++) {
        hash = (hash ^ data[i]) * 1099511628211ULL;
    }
    return hash;
}

// Flushes at random points, so blocks come in all sizes and the launcher's
// decode steps meet block ends anywhere in its buffer.
void compressFrame(const std::string &plain, uint8_t flags, uint8_t tuning, uint64_t *random, std::string *out) {
    static ZSTD_CCtx *compressor = ZSTD_createCCtx();
    static char compressed[65536];
    ZSTD_CCtx_reset(compressor, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(compressor, ZSTD_c_compressionLevel, 1 + (tuning >> 5));
    ZSTD_CCtx_setParameter(compressor, ZSTD_c_checksumFlag, (flags & kChecksum) != 0);
    ZSTD_CCtx_setParameter(compressor, ZSTD_c_contentSizeFlag, (flags & kContentSize) != 0);
    if (flags & kSmallWindow) {
        ZSTD_CCtx_setParameter(compressor, ZSTD_c_windowLog, kSmallestWindowLog + (tuning & 7));
    }
    ZSTD_CCtx_setPledgedSrcSize(compressor, plain.size());
    for (size_t at = 0;;) {
        uint64_t r = nextRandom(random);
        size_t chunk = 1 + (r % 2 == 0 ? (r >> 1) % 4096 : (r >> 1) % 150000);
        bool last = chunk >= plain.size() - at;
        ZSTD_inBuffer input = {plain.data() + at, last ? plain.size() - at : chunk, 0};
        size_t pending;
        do {
            ZSTD_outBuffer output = {compressed, sizeof compressed, 0};
            pending = ZSTD_compressStream2(compressor, &output, &input, last ? ZSTD_e_end : ZSTD_e_flush);
            if (ZSTD_isError(pending)) {
                fail("the harness could not compress");
            }
            out->append(compressed, output.pos);
        } while (pending != 0);
        at += input.size;
        if (last) {
            return;
        }
    }
}

// The container as the packer lays it out: header, frames, and optionally
// the trailer of two zero bytes and the little-endian offset of its number.
std::string buildContainer(const std::string &plain, uint8_t flags, uint8_t tuning, uint64_t seed) {
    std::string container = "QJY";
    size_t split = (flags & kTwoFrames) ? plain.size() * tuning / 255 : plain.size();
    compressFrame(plain.substr(0, split), flags, tuning, &seed, &container);
    if (flags & kTwoFrames) {
        compressFrame(plain.substr(split), flags, tuning, &seed, &container);
    }
    if (flags & kTrailer) {
        container.append(2, '\0');
        uint64_t offset = container.size();
        for (int i = 0; i < 8; i++) {
            container.push_back(static_cast<char>(offset >> (8 * i)));
        }
    }
    return container;
}

bool hasHeader(const std::string &container) {
    return container.compare(0, 3, "QJY") == 0;
}

// Decodes past the harness's own bound by more than two decode buffers, so
// an error the launcher could meet while decoding ahead is seen here too.
Reference decodeReference(const std::string &container) {
    static ZSTD_DCtx *decoder = ZSTD_createDCtx();
    ZSTD_DCtx_reset(decoder, ZSTD_reset_session_and_parameters);
    Reference reference = {{}, StreamEnd::Complete};
    ZSTD_inBuffer input = {container.data() + 3, container.size() - 3, 0};
    size_t lastResult = 0;
    for (;;) {
        ZSTD_outBuffer output = {referenceChunk, sizeof referenceChunk, 0};
        size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) {
            reference.end = lastResult == 0 ? StreamEnd::BrokenAtFrameStart : StreamEnd::BrokenInFrame;
            return reference;
        }
        lastResult = result;
        reference.bytes.append(referenceChunk, output.pos);
        if (reference.bytes.size() > kReferenceBound) {
            reference.end = StreamEnd::Bounded;
            return reference;
        }
        // 0 is a frame decoded and flushed; a buffer left short is all there is.
        if (input.pos == input.size && (result == 0 || output.pos < output.size)) {
            reference.end = result == 0 ? StreamEnd::Complete : StreamEnd::Incomplete;
            return reference;
        }
    }
}

// An independent reading of the entry list in the reference bytes.
Listing listEntries(std::string_view bytes, size_t targetLength) {
    Listing listing;
    size_t at = 0;
    auto take = [&](size_t count) {
        std::string_view field = bytes.substr(at, count);
        at += count;
        return field;
    };
    for (;;) {
        Entry entry;
        for (;;) {
            if (entry.name.size() == kEntryNameCapacity) {
                listing.verdict = Verdict::Abort;
                return listing;
            }
            if (bytes.size() - at < 2) {
                listing.verdict = Verdict::Truncated;
                return listing;
            }
            std::string_view unit = take(2);
            wchar_t c = static_cast<wchar_t>(static_cast<uint8_t>(unit[0]) | static_cast<uint8_t>(unit[1]) << 8);
            if (c == 0) {
                break;
            }
            entry.name.push_back(c);
        }
        if (entry.name.empty()) {
            listing.verdict = Verdict::End;
            return listing;
        }
        if (!hostNameAccepted(entry.name)) {
            listing.verdict = Verdict::Refused;
            return listing;
        }
        if (listing.entries.empty() && targetLength + 1 + entry.name.size() >= kFirstEntryPathCapacity) {
            listing.verdict = Verdict::Abort;
            return listing;
        }
        if (bytes.size() - at < 8) {
            listing.verdict = Verdict::Truncated;
            return listing;
        }
        uint64_t size = 0;
        std::string_view sizeField = take(8);
        for (int i = 7; i >= 0; i--) {
            size = (size << 8) | static_cast<uint8_t>(sizeField[i]);
        }
        if (bytes.size() - at < size) {
            listing.verdict = Verdict::Truncated;
            return listing;
        }
        entry.data = take(size);
        listing.entries.push_back(std::move(entry));
    }
}

// Frees what the entry loop kept and starts its records afresh.
void resetRecords(Run *run) {
    for (size_t i = 0; i < run->extraction.knownDirectories.count; i++) {
        free(run->extraction.knownDirectories.paths[i]);
    }
    run->extraction = {};
    run->directory = {};
}

bool failedWith(Ending ending, const char *message) {
    return ending == Ending::Exit && lastFailure().exitCode == 2 && strcmp(lastFailure().message, message) == 0;
}

void open(void *context) {
    Run *run = static_cast<Run *>(context);
    startPayload(&run->reader, run->container.data(), run->container.size());
    run->opened = true;
}

void readSlice(void *context) {
    Run *run = static_cast<Run *>(context);
    readPayload(&run->reader, sliceBuffer, run->sliceSize);
}

size_t pickSlice(uint64_t *random) {
    uint64_t r = nextRandom(random);
    switch (r % 10) {
        case 0: case 1: case 2: case 3: case 4: {
            static const size_t kFieldWidths[] = {0, 1, 2, 8};
            return kFieldWidths[(r >> 8) % 4];
        }
        case 5: case 6: case 7:
            return 1 + (r >> 8) % 4096;
        default:
            return 1 + (r >> 8) % kLargestSlice;
    }
}

// Reads the stream in random slices up to the bound, comparing each with the
// reference; a failed read must lie past the reference's end or reach an
// error the reference also met.
void checkSlices(Run *run, const Reference &reference, uint64_t seed) {
    run->opened = false;
    Ending ending = runGuarded(open, run);
    if (!hasHeader(run->container)) {
        if (!failedWith(ending, kHeaderMissing) || run->opened) {
            fail("a container without its header was accepted");
        }
        return;
    }
    if (ending != Ending::Returned) {
        fail("opening a container with a header failed");
    }
    uint64_t random = seed;
    size_t position = 0;
    while (position < kDecodeBound) {
        run->sliceSize = pickSlice(&random);
        if (run->sliceSize > kDecodeBound - position) {
            run->sliceSize = kDecodeBound - position;
        }
        ending = runGuarded(readSlice, run);
        size_t end = position + run->sliceSize;
        if (ending != Ending::Returned) {
            if (!failedWith(ending, kDecodeFailed)) {
                fail("a read ended other than with the decode error");
            }
            if (end <= reference.bytes.size() && reference.end != StreamEnd::BrokenInFrame) {
                fail("a read failed within the stream the reference decoded");
            }
            break;
        }
        if (end > reference.bytes.size()) {
            fail("a read delivered bytes the reference did not produce");
        }
        if (memcmp(sliceBuffer, reference.bytes.data() + position, run->sliceSize) != 0) {
            fail("a read delivered other bytes than the reference");
        }
        position = end;
    }
    closePayload(&run->reader);
}

void extract(void *context) {
    Run *run = static_cast<Run *>(context);
    startPayload(&run->reader, run->container.data(), run->container.size());
    run->opened = true;
    extractPayload(&run->extraction, &run->reader, &run->directory);
    run->finished = true;
}

// `beyond`: the reference stopped at its bound before the listing could end,
// so whatever the loop met after that is not known here.
bool endingAllowed(const Run &run, Ending ending, const Listing &listing, size_t written, const Reference &reference) {
    bool atVerdict = written == listing.entries.size();
    bool beyond = reference.end == StreamEnd::Bounded && listing.verdict == Verdict::Truncated;
    if (ending == Ending::Returned) {
        return (atVerdict && listing.verdict == Verdict::End) || beyond;
    }
    if (ending == Ending::Abort) {
        return (atVerdict && listing.verdict == Verdict::Abort) || beyond;
    }
    if (failedWith(ending, kDecodeFailed)) {
        // After an error the loop may fail earlier: it decodes ahead of what it hands out.
        return (atVerdict && (listing.verdict == Verdict::Refused || listing.verdict == Verdict::Truncated)) ||
               reference.end == StreamEnd::BrokenInFrame || beyond;
    }
    if (ending != Ending::Exit || lastFailure().exitCode != 2 || !lastFailure().toStandardError) {
        return false;
    }
    if (lastFailure().errorCode != 0) {
        return hostDiskFull();
    }
    if (strncmp(lastFailure().message, kOpenFailed, strlen(kOpenFailed)) != 0) {
        return false;
    }
    // A refused file is due only where the entries themselves conflict, or
    // where a '/' in a name stands for a directory the launcher never makes.
    return hostLastOpen() == HostOpen::Conflict ||
           (hostLastOpen() == HostOpen::MissingParent && wcschr(run.extraction.entryName, L'/') != nullptr);
}

// Runs the entry loop and compares the files written with the listing.
void checkExtraction(Run *run, const Reference &reference, const std::wstring &target, const std::wstring &existing) {
    resetRecords(run);
    copyText(run->directory.targetDirectory, kTargetDirectoryCapacity, target.c_str());
    resetHostFileSystem(existing, kDiskCapacity, &run->directory, &run->extraction);
    run->opened = false;
    run->finished = false;
    Ending ending = runGuarded(extract, run);
    if (!hasHeader(run->container)) {
        if (!failedWith(ending, kHeaderMissing) || run->opened) {
            fail("the entry loop started without a header");
        }
        return;
    }
    if (run->opened && !run->finished) {
        closePayload(&run->reader);
    }
    Listing listing = listEntries(reference.bytes, target.size());
    const std::vector<HostClosedFile> &written = hostClosedFiles();
    if (written.size() > listing.entries.size() && reference.end != StreamEnd::Bounded) {
        fail("more files written than the stream lists");
    }
    // Files go only into a directory the loop made itself, never into one
    // that stood at the name before; the next start time names another.
    const std::wstring made = hostPrivateDirectory();
    if (!written.empty() && (made != run->directory.targetDirectory || made == existing || made.size() != target.size())) {
        fail("files written outside a directory of the loop's own");
    }
    for (size_t i = 0; i < written.size() && i < listing.entries.size(); i++) {
        if (written[i].path != made + L"\\" + listing.entries[i].name || written[i].data != listing.entries[i].data) {
            fail("a file differs from its entry");
        }
    }
    if (!endingAllowed(*run, ending, listing, written.size(), reference)) {
        fail("the entry loop ended otherwise than the stream calls for");
    }
}

}  // namespace

// Byte 0: flags; byte 1: compression tuning; byte 2: from 0xf0 on, the
// entry stream repeats 16 times per step (up to a bound), so streams outgrow
// the decode buffer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    uint8_t flags = data[0];
    uint8_t tuning = data[1];
    std::string body(reinterpret_cast<const char *>(data + 3), size - 3);
    uint64_t seed = seedOf(data, size);
    Run run = {};
    if (flags & kRawContainer) {
        run.container = (flags & kTwoFrames) ? body : "QJY" + body;
    } else {
        size_t repeats = data[2] >= 0xf0 ? (data[2] - 0xef) * 16 : 1;
        std::string plain;
        for (size_t i = 0; i < repeats && plain.size() < kLargestPlain; i++) {
            plain += body;
        }
        body = plain;
        run.container = buildContainer(body, flags, tuning, seed);
    }
    Reference reference = {{}, StreamEnd::Complete};
    if (hasHeader(run.container)) {
        reference = decodeReference(run.container);
    }
    // The trailer reads as a frame that is none.
    StreamEnd cleanEnd = (flags & kTrailer) ? StreamEnd::BrokenAtFrameStart : StreamEnd::Complete;
    bool decodedAll = reference.end == cleanEnd && reference.bytes == body;
    bool decodedToBound =
        reference.end == StreamEnd::Bounded && body.compare(0, reference.bytes.size(), reference.bytes) == 0;
    if (!(flags & kRawContainer) && !decodedAll && !decodedToBound) {
        fail("the reference does not decode what the harness compressed");
    }

    // The target as the expansion gives it; a name taken beforehand makes the
    // loop take the next start time, "3", for a name of the same length.
    HostSystemValues &system = hostSystemValues();
    system.hasProfile = true;
    system.profile = L"C:\\Users\\u";
    system.temporaryDirectory = (flags & kTargetUnderHome) ? L"C:\\Users\\u\\AppData\\Local\\Temp\\" : L"C:\\T\\";
    system.processId = 1;
    system.systemTime = 2;
    putHostVariable("ZELMOR_ONEFILE_START", L"2");
    std::wstring target = system.temporaryDirectory + L"onefile_1_2";
    std::wstring existing = (flags & kTargetExists) ? target : target.substr(0, target.rfind(L'\\'));

    checkSlices(&run, reference, seed);
    checkExtraction(&run, reference, target, existing);
    // Nothing may outlive the run: leak checks look at every input alone.
    resetRecords(&run);
    resetHostEnvironment();
    resetHostFileSystem(L"", 0, nullptr, nullptr);
    return 0;
}
