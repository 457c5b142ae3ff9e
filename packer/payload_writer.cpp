#include "packer/payload_writer.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression
#include <zstd.h>

#include "format/container.h"
#include "packer/file_access.h"
#include "packer/utf16_name.h"

namespace {

constexpr size_t kReadPieceSize = 131072;

struct Compressor {
    FILE *out;
    ZSTD_CCtx *context;
    std::vector<char> output;
    uint64_t written;  // container bytes so far: the trailer records this count
    std::string &error;
    const PayloadOptions &options;
    uint64_t streamSize;  // the whole decompressed stream
};

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

bool writeRaw(Compressor &compressor, const void *data, size_t size) {
    if (compressor.written + size > kMaxContainerSize) {
        compressor.error = "the compressed payload grows beyond " + std::to_string(kMaxContainerSize) +
                           " bytes, the most a PE resource can hold (its size field has 32 bits)";
        return false;
    }
    if (fwrite(data, 1, size, compressor.out) != size) {
        compressor.error = std::string("cannot write the payload: ") + strerror(errno);
        return false;
    }
    compressor.written += size;
    return true;
}

// With worker threads the compressor takes input well ahead of its work, and
// at the end of the frame it may still have most of it to do: what it has
// worked through is its own count, not what was handed to it.
void reportProgress(const Compressor &compressor) {
    if (compressor.options.progress != nullptr) {
        ZSTD_frameProgression progression = ZSTD_getFrameProgression(compressor.context);
        compressor.options.progress(progression.consumed, compressor.streamSize, progression.produced,
                                    compressor.options.progressContext);
    }
}

bool compress(Compressor &compressor, const void *data, size_t size, ZSTD_EndDirective mode) {
    ZSTD_inBuffer input = {data, size, 0};
    size_t remaining;
    do {
        ZSTD_outBuffer output = {compressor.output.data(), compressor.output.size(), 0};
        remaining = ZSTD_compressStream2(compressor.context, &output, &input, mode);
        if (ZSTD_isError(remaining)) {
            compressor.error = std::string("compression failed: ") + ZSTD_getErrorName(remaining);
            return false;
        }
        if (!writeRaw(compressor, output.dst, output.pos)) {
            return false;
        }
        reportProgress(compressor);
        // Continuing is done once the input is taken; ending, once nothing is left to flush.
    } while (mode == ZSTD_e_end ? remaining != 0 : input.pos < input.size);
    return true;
}

void appendLittleEndian(std::string &bytes, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

std::string recordHeader(const std::u16string &name, uint64_t size) {
    std::string bytes;
    for (char16_t unit : name) {
        appendLittleEndian(bytes, unit, 2);
    }
    appendLittleEndian(bytes, 0, 2);
    appendLittleEndian(bytes, size, 8);
    return bytes;
}

// `hash`, unless null, takes the data as it is read.
bool compressFile(Compressor &compressor, InputFile &source, const std::u16string &name, uint64_t measuredSize,
                  Sha256 *hash) {
    const std::string &path = source.path;
    if (source.facts.kind != PathKind::Regular) {
        compressor.error = quoted(path) + " is not a regular file";
        return false;
    }
    // The sizes went into the frame header before any data: a file that has
    // changed since cannot be stored truthfully.
    if (source.facts.size != measuredSize) {
        compressor.error = quoted(path) + " changed size while being packed";
        return false;
    }
    // The size goes out first, so the data must stop at exactly that many bytes.
    uint64_t left = measuredSize;
    std::string header = recordHeader(name, left);
    if (!compress(compressor, header.data(), header.size(), ZSTD_e_continue)) {
        return false;
    }
    std::vector<char> piece(kReadPieceSize);
    size_t got = 0;
    while (left > 0) {
        size_t wanted = left < piece.size() ? static_cast<size_t>(left) : piece.size();
        if (!readInput(source, piece.data(), wanted, got, compressor.error)) {
            return false;
        }
        if (got != wanted) {
            compressor.error = quoted(path) + " shrank while being packed";
            return false;
        }
        if (hash != nullptr) {
            sha256Add(*hash, piece.data(), wanted);
        }
        if (!compress(compressor, piece.data(), wanted, ZSTD_e_continue)) {
            return false;
        }
        left -= wanted;
    }
    // More bytes than measured: what was stored is only the file's beginning.
    if (!readInput(source, piece.data(), 1, got, compressor.error)) {
        return false;
    }
    if (got != 0) {
        compressor.error = quoted(path) + " grew while being packed";
        return false;
    }
    return true;
}

bool compressEntry(Compressor &compressor, const std::u16string &name, const PayloadEntry &entry,
                   uint64_t measuredSize, std::vector<StoredEntry> &stored) {
    InputFile source;
    if (!openInput(entry.sourcePath, source, compressor.error)) {
        return false;
    }
    Sha256 hash;
    sha256Start(hash);
    bool done = compressFile(compressor, source, name, measuredSize, compressor.options.digests ? &hash : nullptr);
    closeInput(source);
    if (done && compressor.options.digests) {
        stored.push_back({name, measuredSize, {}});
        sha256Finish(hash, stored.back().digest);
    }
    return done;
}

bool setParameter(Compressor &compressor, ZSTD_cParameter parameter, int value) {
    size_t result = ZSTD_CCtx_setParameter(compressor.context, parameter, value);
    if (ZSTD_isError(result)) {
        compressor.error = std::string("cannot configure the zstd compressor: ") + ZSTD_getErrorName(result);
        return false;
    }
    return true;
}

bool compressAll(Compressor &compressor, const std::vector<std::u16string> &names,
                 const std::vector<PayloadEntry> &entries, const std::vector<uint64_t> &sizes,
                 std::vector<StoredEntry> &stored) {
    const PayloadOptions &options = compressor.options;
    if (!setParameter(compressor, ZSTD_c_compressionLevel, options.level) ||
        !setParameter(compressor, ZSTD_c_windowLog, options.windowLog) ||
        !setParameter(compressor, ZSTD_c_contentSizeFlag, options.recordContentSize ? 1 : 0) ||
        !setParameter(compressor, ZSTD_c_checksumFlag, options.checksum ? 1 : 0) ||
        (options.workers > 0 && !setParameter(compressor, ZSTD_c_nbWorkers, options.workers))) {
        return false;
    }
    if (options.recordContentSize) {
        size_t result = ZSTD_CCtx_setPledgedSrcSize(compressor.context, compressor.streamSize);
        if (ZSTD_isError(result)) {
            compressor.error = std::string("cannot declare the payload size: ") + ZSTD_getErrorName(result);
            return false;
        }
    }
    if (!writeRaw(compressor, kContainerHeader, kContainerHeaderSize)) {
        return false;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!compressEntry(compressor, names[i], entries[i], sizes[i], stored)) {
            return false;
        }
    }
    const char endOfList[2] = {0, 0};
    if (!compress(compressor, endOfList, sizeof endOfList, ZSTD_e_continue) ||
        !compress(compressor, nullptr, 0, ZSTD_e_end)) {
        return false;
    }
    std::string trailer(kTrailerZeroBytes, '\0');
    appendLittleEndian(trailer, compressor.written + kTrailerZeroBytes, kTrailerCountBytes);
    if (!writeRaw(compressor, trailer.data(), trailer.size())) {
        return false;
    }
    if (fflush(compressor.out) != 0) {
        compressor.error = std::string("cannot write the payload: ") + strerror(errno);
        return false;
    }
    return true;
}

bool measure(const std::string &path, uint64_t &size, std::string &error) {
    PathFacts facts;
    if (!describePath(path, facts, error)) {
        return false;
    }
    switch (facts.kind) {
    case PathKind::Regular:
        size = facts.size;
        return true;
    case PathKind::Missing:
        error = "cannot open " + quoted(path) + ": nothing is there";
        return false;
    case PathKind::LinkLoop:
        error = quoted(path) + " is a link that leads into a loop of links";
        return false;
    default:
        error = quoted(path) + " is not a regular file";
        return false;
    }
}

bool inRange(int value, int lowest, int highest, const char *what, std::string &error) {
    if (value < lowest || value > highest) {
        error = std::string(what) + " " + std::to_string(value) + " is outside " + std::to_string(lowest) + ".." +
                std::to_string(highest);
        return false;
    }
    return true;
}

}  // namespace

bool writePayload(FILE *out, const std::vector<PayloadEntry> &entries, const PayloadOptions &options,
                  PayloadSummary &summary, std::string &error) {
    summary = PayloadSummary();
    ZSTD_bounds window = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    if (!inRange(options.level, ZSTD_minCLevel(), ZSTD_maxCLevel(), "compression level", error) ||
        !inRange(options.windowLog, window.lowerBound, kMaxPayloadWindowLog, "window log", error)) {
        return false;
    }
    std::vector<std::u16string> names(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string problem;
        if (!entryNameToUtf16(entries[i].name, names[i], problem)) {
            error = problem + " (entry " + std::to_string(i + 1) + ", file " + quoted(entries[i].sourcePath) + ")";
            return false;
        }
    }
    // Every size is known before the first byte is compressed: the frame may declare the total.
    std::vector<uint64_t> sizes(entries.size());
    uint64_t streamSize = 2;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!measure(entries[i].sourcePath, sizes[i], error)) {
            return false;
        }
        summary.inputSize += sizes[i];
        streamSize += 2 * (names[i].size() + 1) + 8 + sizes[i];
    }
    Compressor compressor = {out, ZSTD_createCCtx(), std::vector<char>(ZSTD_CStreamOutSize()), 0, error, options,
                             streamSize};
    if (compressor.context == nullptr) {
        error = "cannot create the zstd compressor";
        return false;
    }
    bool done = compressAll(compressor, names, entries, sizes, summary.entries);
    ZSTD_freeCCtx(compressor.context);
    summary.containerSize = compressor.written;
    return done;
}

bool compressPayload(const std::string &beside, const std::vector<PayloadEntry> &entries,
                     const PayloadOptions &options, std::vector<uint8_t> &container, PayloadSummary &summary,
                     std::string &error) {
    FILE *scratch = openScratchFile(beside, error);
    if (scratch == nullptr) {
        return false;
    }
    bool done = writePayload(scratch, entries, options, summary, error) &&
                readScratchFile(scratch, summary.containerSize, container, error);
    // Only read from here on: closing it loses nothing, and removes it.
    fclose(scratch);
    return done;
}
