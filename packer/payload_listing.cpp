#include "packer/payload_listing.h"

#include <zstd.h>

#include <algorithm>

#include "format/container.h"
#include "packer/utf16_name.h"

namespace {

// Hands out the decompressed stream in exact widths, as the launcher reads it.
struct StreamReader {
    ZSTD_DCtx *decoder;
    ZSTD_inBuffer input;
    std::vector<uint8_t> buffer;
    size_t held;
    size_t taken;
    bool lastStepFilled;
    bool frameEnded;  // the last step finished a frame
    std::string &error;
    Sha256 *hash;  // unless null, takes the bytes skipped
};

bool fill(StreamReader &reader) {
    if (reader.input.pos >= reader.input.size && !reader.lastStepFilled) {
        reader.error = "the payload ends early";
        return false;
    }
    ZSTD_outBuffer output = {reader.buffer.data(), reader.buffer.size(), 0};
    size_t result = ZSTD_decompressStream(reader.decoder, &output, &reader.input);
    if (ZSTD_isError(result)) {
        reader.error = std::string("the payload is damaged (") + ZSTD_getErrorName(result) + ")";
        return false;
    }
    reader.lastStepFilled = output.pos == output.size;
    reader.frameEnded = result == 0;
    reader.held = output.pos;
    reader.taken = 0;
    return true;
}

bool read(StreamReader &reader, void *destination, uint64_t count) {
    uint8_t *cursor = static_cast<uint8_t *>(destination);
    while (count > 0) {
        if (reader.taken == reader.held && !fill(reader)) {
            return false;
        }
        size_t piece = reader.held - reader.taken;
        if (piece > count) {
            piece = static_cast<size_t>(count);
        }
        if (cursor != nullptr) {
            std::copy(reader.buffer.begin() + reader.taken, reader.buffer.begin() + reader.taken + piece, cursor);
            cursor += piece;
        } else if (reader.hash != nullptr) {
            sha256Add(*reader.hash, reader.buffer.data() + reader.taken, piece);
        }
        reader.taken += piece;
        count -= piece;
    }
    return true;
}

bool readUnit(StreamReader &reader, char16_t &unit) {
    uint8_t bytes[2];
    if (!read(reader, bytes, 2)) {
        return false;
    }
    unit = static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

// Reads `count` bytes into `data` a piece at a time, so that memory grows
// only with what the stream really holds, whatever size it declared.
bool readInto(StreamReader &reader, std::vector<uint8_t> &data, uint64_t count) {
    constexpr uint64_t kPiece = 1 << 20;
    data.clear();
    while (count > 0) {
        size_t piece = static_cast<size_t>(std::min(count, kPiece));
        data.resize(data.size() + piece);
        if (!read(reader, data.data() + data.size() - piece, piece)) {
            return false;
        }
        count -= piece;
    }
    return true;
}

bool readEntries(StreamReader &reader, ListedEntryVisitor visit, void *context, bool digests,
                 std::vector<uint8_t> *firstEntry) {
    for (uint64_t number = 1;; ++number) {
        ListedEntry entry = {};
        char16_t unit;
        while (readUnit(reader, unit) && unit != 0) {
            // The launcher's name buffer ends here, so no longer name can run.
            if (entry.name.size() + 1 >= kEntryNameUnitLimit) {
                reader.error = "the name of entry " + std::to_string(number) + " is longer than " +
                               std::to_string(kEntryNameUnitLimit - 1) + " UTF-16 units, more than the launcher takes";
                return false;
            }
            entry.name += unit;
        }
        if (!reader.error.empty()) {
            return false;
        }
        if (entry.name.empty()) {
            return true;
        }
        uint8_t size[8];
        if (!read(reader, size, 8)) {
            return false;
        }
        for (int i = 7; i >= 0; --i) {
            entry.size = (entry.size << 8) | size[i];
        }
        Sha256 hash;
        sha256Start(hash);
        reader.hash = digests ? &hash : nullptr;
        bool captured = number == 1 && firstEntry != nullptr && entry.size <= kLargestFirstEntry;
        bool whole = captured ? readInto(reader, *firstEntry, entry.size) : read(reader, nullptr, entry.size);
        reader.hash = nullptr;
        if (!whole) {
            return false;
        }
        if (digests) {
            sha256Finish(hash, entry.digest);
        }
        if (visit != nullptr) {
            visit(entry, context);
        }
    }
}

// After the end-of-list record: the rest of the frame (its checksum, if any)
// must decode to nothing, and only the trailer may follow it.
bool checkEnd(StreamReader &reader) {
    if (reader.taken != reader.held) {
        reader.error = "data follows the end of the entry list";
        return false;
    }
    while (!reader.frameEnded) {
        if (!fill(reader)) {
            return false;
        }
        if (reader.held != 0) {
            reader.error = "data follows the end of the entry list";
            return false;
        }
    }
    size_t rest = reader.input.size - reader.input.pos;
    const uint8_t *tail = static_cast<const uint8_t *>(reader.input.src) + reader.input.pos;
    uint64_t front = 0;
    for (size_t i = kContainerTrailerSize; i > kTrailerZeroBytes && rest == kContainerTrailerSize; --i) {
        front = (front << 8) | tail[i - 1];
    }
    // The trailer's number counts the container's bytes in front of it.
    if (rest != kContainerTrailerSize || tail[0] != 0 || tail[1] != 0 ||
        front != kContainerHeaderSize + reader.input.size - kTrailerCountBytes) {
        reader.error = "the payload's trailer is missing or damaged";
        return false;
    }
    return true;
}

}  // namespace

bool listPayload(const std::vector<uint8_t> &container, ListedEntryVisitor visit, void *context,
                 std::string &error, bool digests, std::vector<uint8_t> *firstEntry) {
    if (firstEntry != nullptr) {
        firstEntry->clear();
    }
    if (!hasContainerHeader(container.data(), container.size())) {
        error = "no payload header";
        return false;
    }
    StreamReader reader = {ZSTD_createDCtx(),
                           {container.data() + kContainerHeaderSize, container.size() - kContainerHeaderSize, 0},
                           std::vector<uint8_t>(ZSTD_DStreamOutSize()), 0, 0, false, false, error, nullptr};
    if (reader.decoder == nullptr) {
        error = "cannot create the zstd decoder";
        return false;
    }
    error.clear();
    bool done = readEntries(reader, visit, context, digests, firstEntry) && checkEnd(reader);
    ZSTD_freeDCtx(reader.decoder);
    return done;
}
