#pragma once
// Turns the payload's entries into files in the run directory `directory`.
// `payload` is the reader over them, open (openPayload).
#include "extraction/payload_reader.h"
#include "run_directory/run_directory.h"

// Reads the next entry's name and composes launcherState.entryPath (and, at
// the first entry, firstEntryPath). False at the end of the list. A name that
// would place a file outside the target directory ends the process.
bool readEntryHeader(PayloadReader *payload, const RunDirectory *directory);

// Parent role: creates the run directory with the first file
// (run_directory/directory_creation.h), writes every entry in payload order
// in pieces of at most 32768 bytes, creating directories as needed, then closes the
// reader. An entry larger than the stream can still deliver is refused
// before its file is made.
void extractPayload(PayloadReader *payload, RunDirectory *directory);

// Closes the file that extraction is writing, if any: a failure may end the
// process in the middle of an entry, and the cleanup cannot remove an open file.
void closeOpenEntryFile();
