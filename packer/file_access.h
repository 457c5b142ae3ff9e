#pragma once
// The packer tools' one door to the file system and the command line. Paths
// are UTF-8 in both builds; the Windows build hands them to the wide API as
// UTF-16, so each build takes any path its system can name. Sizes and
// offsets are 64-bit. Every failure returns false with `error` naming the
// path and the system's reason; nothing here prints.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// The separator the system puts between a directory and a name, and every
// character it takes as one.
extern const char kPathSeparator;
extern const char kPathSeparators[];

// The arguments as UTF-8, program name first: argv itself on Linux, the wide
// command line split by the system on Windows.
bool commandLineArguments(int argc, char **argv, std::vector<std::string> &arguments, std::string &error);

// The directory that holds the running program.
std::string ownDirectory(const std::string &argv0);

// True when `stream` is a terminal a person watches.
bool isTerminal(FILE *stream);

enum class PathKind {
    Missing,    // nothing there, or a link to nothing
    LinkLoop,   // links that lead to each other without end
    Regular,
    Directory,
    Other,      // device, pipe, socket
};

// What a path names once every link is followed. `volume` and `index`
// identify the file: two paths to one file give the same pair.
struct PathFacts {
    PathKind kind = PathKind::Missing;
    uint64_t size = 0;
    uint64_t volume = 0;
    uint64_t index = 0;
};

// Missing and LinkLoop are facts, not failures; false only when the system
// cannot tell (no permission, a path it cannot take).
bool describePath(const std::string &path, PathFacts &facts, std::string &error);

// The absolute path with every link resolved.
bool resolvePath(const std::string &path, std::string &resolved, std::string &error);

struct DirectoryItem {
    std::string name;
    bool isLink = false;  // the item itself is a symbolic link (or another kind of redirection)
};

// The names in a directory, without "." and "..", in no particular order.
bool listDirectory(const std::string &path, std::vector<DirectoryItem> &items, std::string &error);

// `directory`, a separator, `name`.
std::string joinPath(const std::string &directory, const std::string &name);

// The last component of `path` ("app.dll" of "dir/app.dll").
std::string lastComponent(const std::string &path);

// True when the resolved path `inner` is `outer` or lies below it.
bool isWithin(const std::string &inner, const std::string &outer);

// The directory that holds `path` ("." for a bare name).
std::string parentDirectory(const std::string &path);

// `beside` with a random part and a suffix added: a name for a new file in
// the same directory that no other run picks.
std::string uniqueNameBeside(const std::string &beside);

// True when `name` has the form uniqueNameBeside gives the name `besideName`.
bool isNameBeside(const std::string &name, const std::string &besideName);

// A file opened for reading, with the facts of the open file itself.
struct InputFile {
    intptr_t handle = -1;
    std::string path;
    PathFacts facts;
};

bool openInput(const std::string &path, InputFile &file, std::string &error);

// Reads up to `size` bytes; `got` is short only at the end of the file.
bool readInput(InputFile &file, void *buffer, size_t size, size_t &got, std::string &error);

void closeInput(InputFile &file);

// The whole file in memory.
bool readWholeFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error);

// A scratch file for reading and writing, created new in the directory of
// `beside` under a name no other run uses, never through a link. It leaves
// no trace: it is gone from the directory once open (on Windows, once
// closed), also when the process ends without closing it. fclose ends it.
// A failure to create it is reported as a failure to write `beside`.
FILE *openScratchFile(const std::string &beside, std::string &error);

// Reads the first `size` bytes of a scratch file back into memory.
bool readScratchFile(FILE *file, uint64_t size, std::vector<uint8_t> &bytes, std::string &error);

// Puts `bytes` at `path` in one step: they go to a new file of a unique name
// beside it (created exclusively, never through a link) that then replaces
// `path`. On failure that file is removed and `path` stays as it was.
// `executable` marks the result executable where the system has such a mark.
bool replaceFile(const std::string &path, const std::vector<uint8_t> &bytes, bool executable, std::string &error);
