#include "payload/payload_reader.h"

#include <stdlib.h>
#include <string.h>

#include "launcher/failure.h"
#include "launcher/launcher_state.h"
#include "launcher/test_seam.h"

namespace {

const char kDecodeFailed[] = "Error, couldn't decode attached data.";

}  // namespace

void startPayload(const void *resource, size_t size) {
    PayloadReader &reader = launcherState.payload;
    const unsigned char *bytes = static_cast<const unsigned char *>(resource);
    if (bytes == nullptr || size < 3 || bytes[0] != 'Q' || bytes[1] != 'J' || bytes[2] != 'Y') {
        fatalError("Error, couldn't find attached data header.");
    }
    void *decodeBuffer = seamFails("malloc") ? nullptr : malloc(kDecodeBufferSize);
    if (decodeBuffer == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    reader.decoder = seamFails("ZSTD_createDCtx") ? nullptr : ZSTD_createDCtx();
    if (reader.decoder == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    reader.input = {bytes + 3, size - 3, 0};
    reader.output = {decodeBuffer, 0, 0};
    reader.outputFilled = false;
}

void readPayload(void *destination, size_t count) {
    PayloadReader &reader = launcherState.payload;
    unsigned char *cursor = static_cast<unsigned char *>(destination);
    while (count > 0) {
        size_t available = reader.output.size - reader.output.pos;
        if (available > 0) {
            size_t taken = count < available ? count : available;
            memcpy(cursor, static_cast<unsigned char *>(reader.output.dst) + reader.output.pos, taken);
            reader.output.pos += taken;
            cursor += taken;
            count -= taken;
            continue;
        }
        // A step is due while input remains, and also after a step that filled
        // the buffer: the decoder may hold output that did not fit.
        if (reader.input.pos >= reader.input.size && !reader.outputFilled) {
            // The stream ended short of what is asked: no payload the packer
            // writes gets here, so the bytes cannot be trusted.
            fatalError(kDecodeFailed);
        }
        reader.output.pos = 0;
        reader.output.size = kDecodeBufferSize;
        size_t result = ZSTD_decompressStream(reader.decoder, &reader.output, &reader.input);
        reader.outputFilled = reader.output.pos == kDecodeBufferSize;
        if (ZSTD_isError(result)) {
            fatalError(kDecodeFailed);
        }
        reader.output.size = reader.output.pos;
        reader.output.pos = 0;
    }
}

void closePayload() {
    PayloadReader &reader = launcherState.payload;
    ZSTD_freeDCtx(reader.decoder);  // its result says nothing the launcher could act on
    free(reader.output.dst);
}
