#include "extraction/payload_reader.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <zstd.h>

#include "base/failure.h"
#include "base/messages.h"
#include "base/test_seam.h"
#include "format/container.h"

namespace {

constexpr uint32_t kLegacyMagicFirst = 0xFD2FB51E;  // zstd frames before format 0.8
constexpr uint32_t kLegacyMagicLast = 0xFD2FB527;
// Reads at least this long that find the decode buffer empty are decoded
// straight into their destination: a piece of an entry's data then crosses
// memory once less. Names and sizes, read a few bytes at a time, still come
// through the buffer, where a decoder call per unit would cost more than a copy.
constexpr size_t kDirectReadMinimum = 4096;

// One decode step into `size` bytes at `into`; returns the bytes produced.
size_t decodeStep(PayloadReader *reader, void *into, size_t size) {
    ZSTD_inBuffer input = {reader->input.src, reader->input.size, reader->input.pos};
    ZSTD_outBuffer output = {into, size, 0};
    size_t result = ZSTD_decompressStream(static_cast<ZSTD_DCtx *>(reader->decoder), &output, &input);
    reader->input.pos = input.pos;
    // A step that fills its room may leave output in the decoder.
    reader->outputFilled = output.pos == size;
    if (ZSTD_isError(result)) {
        fatalError(kDecodeFailed);
    }
    return output.pos;
}

// Sums the content sizes that the frames from `bytes` on record, up to the
// first bytes that are no frame (the container's trailer). False when a
// frame records none or its header cannot be read: there is no bound then.
bool sumFrameContentSizes(const unsigned char *bytes, size_t size, uint64_t *sum) {
    uint64_t total = 0;
    size_t at = 0;
    while (size - at >= 4) {
        const unsigned char *frame = bytes + at;
        uint32_t magic = static_cast<uint32_t>(frame[0]) | static_cast<uint32_t>(frame[1]) << 8 |
                         static_cast<uint32_t>(frame[2]) << 16 | static_cast<uint32_t>(frame[3]) << 24;
        bool skippable = (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
        if (magic >= kLegacyMagicFirst && magic <= kLegacyMagicLast) {
            return false;  // a decoder built with the old formats would read on
        }
        if (magic != ZSTD_MAGICNUMBER && !skippable) {
            break;
        }
        unsigned long long content = ZSTD_getFrameContentSize(frame, size - at);
        size_t compressed = ZSTD_findFrameCompressedSize(frame, size - at);
        if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR || ZSTD_isError(compressed) ||
            content > UINT64_MAX - total) {
            return false;
        }
        total += content;
        at += compressed;
    }
    *sum = total;
    return true;
}

}  // namespace

void startPayload(PayloadReader *reader, const void *resource, size_t size) {
    const unsigned char *bytes = static_cast<const unsigned char *>(resource);
    if (bytes == nullptr || !hasContainerHeader(bytes, size)) {
        fatalError(kHeaderMissing);
    }
    void *decodeBuffer = seamFails("malloc") ? nullptr : malloc(kDecodeBufferSize);
    if (decodeBuffer == nullptr) {
        fatalError(kAllocationFailed);
    }
    reader->decoder = seamFails("ZSTD_createDCtx") ? nullptr : ZSTD_createDCtx();
    if (reader->decoder == nullptr) {
        fatalError(kAllocationFailed);
    }
    reader->input = {bytes + kContainerHeaderSize, size - kContainerHeaderSize, 0};
    reader->output = {decodeBuffer, 0, 0};
    reader->outputFilled = false;
    reader->delivered = 0;
    reader->contentSizeChecked = false;
}

void readPayload(PayloadReader *reader, void *destination, size_t count) {
    unsigned char *cursor = static_cast<unsigned char *>(destination);
    while (count > 0) {
        size_t available = reader->output.size - reader->output.pos;
        if (available > 0) {
            size_t taken = count < available ? count : available;
            memcpy(cursor, static_cast<unsigned char *>(reader->output.dst) + reader->output.pos, taken);
            reader->output.pos += taken;
            reader->delivered += taken;
            cursor += taken;
            count -= taken;
            continue;
        }
        // A step is due while input remains, and also after a step that filled
        // its room: the decoder may hold output that did not fit.
        if (reader->input.pos >= reader->input.size && !reader->outputFilled) {
            // The stream ended short of what is asked: no payload the packer
            // writes gets here, so the bytes cannot be trusted.
            fatalError(kDecodeFailed);
        }
        if (count >= kDirectReadMinimum) {
            size_t produced = decodeStep(reader, cursor, count);
            reader->delivered += produced;
            cursor += produced;
            count -= produced;
        } else {
            reader->output.size = decodeStep(reader, reader->output.dst, kDecodeBufferSize);
            reader->output.pos = 0;
        }
    }
}

// Asked first at the first entry's size, so the child, which reads only a
// name, never walks the frames.
bool payloadCanDeliver(PayloadReader *reader, uint64_t count) {
    if (!reader->contentSizeChecked) {
        reader->contentSizeKnown = sumFrameContentSizes(static_cast<const unsigned char *>(reader->input.src),
                                                        reader->input.size, &reader->contentSize);
        reader->contentSizeChecked = true;
    }
    return !reader->contentSizeKnown ||
           (reader->delivered <= reader->contentSize && count <= reader->contentSize - reader->delivered);
}

void closePayload(PayloadReader *reader) {
    ZSTD_freeDCtx(static_cast<ZSTD_DCtx *>(reader->decoder));  // its result says nothing the launcher could act on
    free(reader->output.dst);
}
