#pragma once
// The streaming reader over the attached payload's decompressed bytes
// (format/container.h). Only the main thread uses it. This file is free of
// Windows and zstd headers, so that it also builds for the host and the
// decoder stays the reader's own (payload_reader.cpp).
#include <stddef.h>
#include <stdint.h>

constexpr size_t kDecodeBufferSize = 131072;

// The fields of the decoder's own buffer records, which the reader fills
// from these at each decode step and reads back after it.
struct ReaderInput {
    const void *src;
    size_t size;
    size_t pos;
};
struct ReaderOutput {
    void *dst;
    size_t size;
    size_t pos;
};

// One reader over one container, zero-filled before startPayload.
struct PayloadReader {
    void *decoder;        // the decoder's context, known to payload_reader.cpp alone
    ReaderInput input;    // the compressed bytes after the header, read in place
    ReaderOutput output;  // the decode buffer: between steps size = bytes held, pos = bytes handed out
    bool outputFilled;    // the last decode step filled its room: more may be pending
    uint64_t delivered;   // decompressed bytes handed out so far
    // What the frames say they hold in all, once asked (payloadCanDeliver).
    bool contentSizeChecked;
    bool contentSizeKnown;
    uint64_t contentSize;
};

// Checks the header of the container at `resource` (null when there is none),
// allocates the decode buffer and creates the decoder. Ends the process on
// any failure. The resource must stay in place while the reader is used.
void startPayload(PayloadReader *reader, const void *resource, size_t size);

// Copies exactly the next `count` decompressed bytes to `destination`, or
// ends the process (kDecodeFailed).
void readPayload(PayloadReader *reader, void *destination, size_t count);

// False when the frames record their content sizes and fewer than `count`
// decompressed bytes remain after those handed out. True otherwise, also
// when a frame does not record its size: the stream then tells only as it
// runs dry.
bool payloadCanDeliver(PayloadReader *reader, uint64_t count);

// Frees the decoder, then the decode buffer.
void closePayload(PayloadReader *reader);

// Locates the own executable's payload resource and starts the reader on it.
void openPayload(PayloadReader *reader);
