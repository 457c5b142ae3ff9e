#include "zstd_frames.h"

#include <zstd.h>

#include <stdint.h>

std::string compressFrame(const std::string &raw, const FrameOptions &options) {
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, options.windowLog);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, options.checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, options.contentSize ? 1 : 0);
    if (options.contentSize) {
        ZSTD_CCtx_setPledgedSrcSize(context, raw.size());
    }
    std::string out(ZSTD_compressBound(raw.size()) + 64, '\0');
    ZSTD_inBuffer input = {raw.data(), raw.size(), 0};
    ZSTD_outBuffer output = {&out[0], out.size(), 0};
    // Feeding with e_continue first keeps the size unknown to the compressor,
    // so the frame declares the window asked for instead of one fitted to the data.
    size_t remaining = 0;
    if (options.blockEndAfter > 0) {
        ZSTD_inBuffer head = {raw.data(), options.blockEndAfter, 0};
        do {
            remaining = ZSTD_compressStream2(context, &output, &head, ZSTD_e_flush);
        } while (!ZSTD_isError(remaining) && remaining != 0);
        input.pos = options.blockEndAfter;
    }
    while (!ZSTD_isError(remaining) && input.pos < input.size) {
        remaining = ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue);
    }
    do {
        remaining = ZSTD_compressStream2(context, &output, &input, ZSTD_e_end);
    } while (remaining != 0 && !ZSTD_isError(remaining));
    ZSTD_freeCCtx(context);
    out.resize(ZSTD_isError(remaining) ? 0 : output.pos);
    return out;
}

std::string container(const std::string &frames) {
    std::string bytes = "QJY" + frames;
    bytes.append(2, '\0');
    uint64_t front = bytes.size();
    for (int i = 0; i < 8; i++) {
        bytes.push_back(static_cast<char>(front >> (8 * i)));
    }
    return bytes;
}
