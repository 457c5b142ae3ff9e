#pragma once
// The state of the launcher's streaming reader over the container
// (format/container.h). Only the record is here: the run state
// (base/launcher_state.h) holds one, so its type must be complete below the
// reader's own layer; the reader's operations are in extraction/payload_reader.h.
#include <stdint.h>

#include <zstd.h>

struct PayloadReader {
    ZSTD_DCtx *decoder;
    ZSTD_inBuffer input;    // the compressed bytes after the header, read in place
    ZSTD_outBuffer output;  // between steps: size = bytes held, pos = bytes handed out
    bool outputFilled;      // the last decode step filled its room: more may be pending
    uint64_t delivered;     // decompressed bytes handed out so far
    // What the frames say they hold in all, once asked (payloadCanDeliver).
    bool contentSizeChecked;
    bool contentSizeKnown;
    uint64_t contentSize;
};
