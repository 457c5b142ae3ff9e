#include "extraction/extraction.h"

#include <stdint.h>

#include "base/bounded_text.h"
#include "base/failure.h"
#include "base/messages.h"
#include "base/stage_stamps.h"
#include "base/test_seam.h"
#include "extraction/file_output.h"
#include "extraction/parent_directories.h"
#include "extraction/payload_reader.h"
#include "format/name_rules.h"
#include "run_directory/directory_creation.h"

namespace {

// Device names compare ignoring ASCII case.
wchar_t asciiUpper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Names the packer writes are relative paths without "." or ".." parts.
// Anything that could reach outside the target directory is refused: a
// leading separator, a colon (drive or alternate stream), a part that ends
// in what Windows trims (".. " would become ".."), and a device name, where
// data written would leave the directory.
bool staysInsideTarget(const wchar_t *name) {
    if (isNameSeparator(name[0])) {
        return false;
    }
    const wchar_t *part = name;
    for (const wchar_t *c = name; *c != L'\0'; c++) {
        if (*c == L':') {
            return false;
        }
        bool partEnds = c[1] == L'\0' || isNameSeparator(c[1]);
        if (partEnds && !isNameSeparator(*c)) {
            if (isTrimmedAtPartEnd(*c) || isReservedDeviceName(part, static_cast<size_t>(c + 1 - part), asciiUpper)) {
                return false;
            }
        }
        if (isNameSeparator(*c)) {
            part = c + 1;
        }
    }
    return true;
}

void readEntryName(Extraction *extraction, PayloadReader *payload) {
    wchar_t *name = extraction->entryName;
    for (size_t length = 0;; length++) {
        if (length == kEntryNameCapacity) {
            internalLimitAbort();
        }
        uint16_t unit;
        readPayload(payload, &unit, sizeof unit);
        name[length] = static_cast<wchar_t>(unit);
        if (unit == 0) {
            return;
        }
    }
}

uint64_t readEntrySize(PayloadReader *payload) {
    unsigned char bytes[8];
    readPayload(payload, bytes, sizeof bytes);
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--) {
        size = (size << 8) | bytes[i];
    }
    return size;
}

void writeEntryData(Extraction *extraction, PayloadReader *payload, uint64_t size) {
    // Where a test stops a run in the middle of its extraction.
    seamPause("writeEntryData");
    void *file = createEntryFile(extraction->entryPath);
    if (file == nullptr) {
        fatalOpenForWriting(extraction->entryPath);
    }
    // Kept where a failure's cleanup finds it: an open file could not be removed.
    extraction->entryFile = file;
    while (size > 0) {
        uint32_t piece = size < kWriteChunkSize ? static_cast<uint32_t>(size) : static_cast<uint32_t>(kWriteChunkSize);
        readPayload(payload, extraction->writeChunk, piece);
        uint32_t errorCode = 0;
        if (!writeEntryFile(file, extraction->writeChunk, piece, &errorCode)) {
            fatalErrorWithCode(kUnpackFailed, errorCode);
        }
        size -= piece;
    }
    closeOpenEntryFile(extraction);
}

// entryPath: the run directory, a backslash and the entry's name.
void composeEntryPath(Extraction *extraction, const RunDirectory *directory) {
    size_t length = copyText(extraction->entryPath, kEntryPathCapacity, directory->targetDirectory);
    length = appendUnits(extraction->entryPath, kEntryPathCapacity, length, L"\\", 1);
    appendText(extraction->entryPath, kEntryPathCapacity, extraction->entryName);
}

}  // namespace

void closeOpenEntryFile(Extraction *extraction) {
    if (extraction->entryFile != nullptr) {
        closeEntryFile(extraction->entryFile);
        extraction->entryFile = nullptr;
    }
}

bool readEntryHeader(Extraction *extraction, PayloadReader *payload, const RunDirectory *directory) {
    readEntryName(extraction, payload);
    if (extraction->entryName[0] == L'\0') {
        return false;
    }
    if (!staysInsideTarget(extraction->entryName)) {
        fatalError(kDecodeFailed);
    }
    composeEntryPath(extraction, directory);
    if (extraction->firstEntryPath[0] == L'\0') {
        copyText(extraction->firstEntryPath, kFirstEntryPathCapacity, extraction->entryPath);
    }
    return true;
}

void extractPayload(Extraction *extraction, PayloadReader *payload, RunDirectory *directory) {
    while (readEntryHeader(extraction, payload, directory)) {
        uint64_t size = readEntrySize(payload);
        // A size the stream cannot deliver would fill the disk before the
        // stream ran dry; no file is made for it.
        if (!payloadCanDeliver(payload, size)) {
            fatalError(kDecodeFailed);
        }
        // Made with the first file, so that a payload refused at its first
        // entry leaves nothing; its name may change on the way.
        if (!directory->cleanupArmed) {
            const bool created = createRunDirectory(directory);
            stampStage("directory");
            composeEntryPath(extraction, directory);
            // Refused, it is reported as the file that cannot be made in it.
            if (!created) {
                fatalOpenForWriting(extraction->entryPath);
            }
            // Every entry's directory lies below it: none needs {HOME}.
            rememberDirectory(&extraction->knownDirectories, directory->targetDirectory);
        }
        // A refusal shows when the file is created.
        createParentDirectories(&extraction->knownDirectories, extraction->entryPath);
        writeEntryData(extraction, payload, size);
    }
    closePayload(payload);
}
