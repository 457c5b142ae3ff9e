#pragma once
// An in-memory file system behind extraction/file_output.h and
// run_directory/private_directory.h on the host. Every
// path the launcher asks it to create is checked against the current target
// directory and entry name; a path that could escape the target aborts the
// process, so a fuzzer reports it as a crash.
#include <string>
#include <vector>

#include "extraction/extraction.h"
#include "run_directory/run_directory.h"

struct HostClosedFile {
    std::wstring path;  // as the launcher named it
    std::string data;
};

// Whether the launcher is to accept an entry name: no leading separator, no
// colon, and no part (split at backslash and '/') that ends in a dot or a blank or
// that names a device.
bool hostNameAccepted(const std::wstring &name);

// Forgets everything, then makes `existingDirectory` and its ancestors exist.
// Writes fail as on a full disk once `diskCapacity` bytes have been written.
// Every request is checked against `target`, the run directory the launcher
// extracts into, and the entry `extraction` is at (null: nothing may be created).
void resetHostFileSystem(const std::wstring &existingDirectory, size_t diskCapacity, const RunDirectory *target,
                         const Extraction *extraction);

// Files in the order they were closed.
const std::vector<HostClosedFile> &hostClosedFiles();

enum class HostOpen { Opened, Conflict, MissingParent };

// How the most recent createEntryFile went: Conflict when the path is a
// directory or one of its ancestors is a file, which no launcher can help.
HostOpen hostLastOpen();

// Whether a write failed because the disk was full.
bool hostDiskFull();

// The directory createPrivateDirectory made (the last one); empty if none.
const std::wstring &hostPrivateDirectory();
