#pragma once
// Turns the payload's entries into files in the run directory `directory`.
// `payload` is the reader over them, open (openPayload).
#include <stddef.h>

#include "extraction/parent_directories.h"
#include "extraction/payload_reader.h"
#include "format/container.h"
#include "run_directory/run_directory.h"

constexpr size_t kEntryNameCapacity = kEntryNameUnitLimit;
constexpr size_t kEntryPathCapacity = 4096;
constexpr size_t kFirstEntryPathCapacity = 1024;
constexpr size_t kWriteChunkSize = 32768;

// Where the entry loop stands, zero-filled before the first entry. Main
// thread only.
struct Extraction {
    wchar_t entryName[kEntryNameCapacity];  // the entry being read
    wchar_t entryPath[kEntryPathCapacity];  // the run directory, a backslash, entryName
    wchar_t firstEntryPath[kFirstEntryPathCapacity];  // the first entry's path: the application's library or program
    void *entryFile;  // the file being written (a HANDLE), null between files
    unsigned char writeChunk[kWriteChunkSize];  // an entry's data on its way to its file
    KnownDirectories knownDirectories;  // the directories the entries' files go into
};

// Reads the next entry's name and composes extraction->entryPath (and, at
// the first entry, firstEntryPath). False at the end of the list. A name that
// would place a file outside the run directory ends the process.
bool readEntryHeader(Extraction *extraction, PayloadReader *payload, const RunDirectory *directory);

// Parent role: creates the run directory with the first file
// (run_directory/directory_creation.h), writes every entry in payload order
// in pieces of at most 32768 bytes, creating directories as needed, then
// closes the reader. An entry larger than the stream can still deliver is
// refused before its file is made.
void extractPayload(Extraction *extraction, PayloadReader *payload, RunDirectory *directory);

// Closes the file that extraction is writing, if any: a failure may end the
// process in the middle of an entry, and the cleanup cannot remove an open file.
void closeOpenEntryFile(Extraction *extraction);
