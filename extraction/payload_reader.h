#pragma once
// The streaming reader over the attached payload's decompressed bytes
// (format/container.h). Only the main thread uses it; its state
// (format/payload_reader_state.h) lives in launcherState.payload. This file
// is free of Windows headers so that it also builds for the host.
#include <stddef.h>
#include <stdint.h>

constexpr size_t kDecodeBufferSize = 131072;

// Checks the header of the container at `resource` (null when there is none),
// allocates the decode buffer and creates the decoder. Ends the process on
// any failure. The resource must stay in place while the reader is used.
void startPayload(const void *resource, size_t size);

// Copies exactly the next `count` decompressed bytes to `destination`, or
// ends the process (kDecodeFailed).
void readPayload(void *destination, size_t count);

// False when the frames record their content sizes and fewer than `count`
// decompressed bytes remain after those handed out. True otherwise, also
// when a frame does not record its size: the stream then tells only as it
// runs dry.
bool payloadCanDeliver(uint64_t count);

// Frees the decoder, then the decode buffer.
void closePayload();

// Locates the own executable's payload resource and starts the reader on it.
void openPayload();
