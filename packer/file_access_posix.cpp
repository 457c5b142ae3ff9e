// File access on Linux and other POSIX systems: paths are bytes, passed on as they are.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "packer/file_access.h"

const char kPathSeparator = '/';
const char kPathSeparators[] = "/";

namespace {

constexpr int kNameAttempts = 16;
constexpr size_t kLargestTransfer = size_t{1} << 30;

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// Captures errno at once: building the message may change it.
bool failWithSystemError(std::string &error, const std::string &what) {
    int code = errno;
    error = what + ": " + strerror(code);
    return false;
}

void describeStatus(const struct stat &status, PathFacts &facts) {
    facts.kind = S_ISREG(status.st_mode) ? PathKind::Regular
                 : S_ISDIR(status.st_mode) ? PathKind::Directory
                                           : PathKind::Other;
    facts.size = S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
    facts.volume = static_cast<uint64_t>(status.st_dev);
    facts.index = static_cast<uint64_t>(status.st_ino);
}

// Creates a new file of a unique name beside `beside`: O_EXCL refuses any
// name that exists, a link included, so nothing is ever written through one.
int createUnique(const std::string &beside, mode_t mode, std::string &name, std::string &error) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = uniqueNameBeside(beside);
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) {
                failWithSystemError(error, "cannot write " + quoted(beside));
            }
            return fd;
        }
    }
    error = "cannot create a file beside " + quoted(beside) + ": every name tried exists";
    return -1;
}

bool writeAll(int fd, const uint8_t *data, size_t size, const std::string &path, std::string &error) {
    while (size > 0) {
        ssize_t written = write(fd, data, size < kLargestTransfer ? size : kLargestTransfer);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return failWithSystemError(error, "cannot write " + quoted(path));
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool commandLineArguments(int argc, char **argv, std::vector<std::string> &arguments, std::string &) {
    arguments.assign(argv, argv + argc);
    return true;
}

std::string ownDirectory(const std::string &argv0) {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = length > 0 ? std::string(self, static_cast<size_t>(length)) : argv0;
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

bool isTerminal(FILE *stream) {
    return isatty(fileno(stream)) == 1;
}

bool describePath(const std::string &path, PathFacts &facts, std::string &error) {
    facts = PathFacts();
    struct stat status;
    if (stat(path.c_str(), &status) == 0) {
        describeStatus(status, facts);
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        return true;
    }
    if (errno == ELOOP) {
        facts.kind = PathKind::LinkLoop;
        return true;
    }
    return failWithSystemError(error, "cannot examine " + quoted(path));
}

bool resolvePath(const std::string &path, std::string &resolved, std::string &error) {
    char *full = realpath(path.c_str(), nullptr);
    if (full == nullptr) {
        return failWithSystemError(error, "cannot resolve " + quoted(path));
    }
    resolved = full;
    free(full);
    return true;
}

bool listDirectory(const std::string &path, std::vector<DirectoryItem> &items, std::string &error) {
    items.clear();
    DIR *directory = opendir(path.c_str());
    if (directory == nullptr) {
        return failWithSystemError(error, "cannot read the directory " + quoted(path));
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(directory);
        if (entry == nullptr) {
            break;
        }
        DirectoryItem item;
        item.name = entry->d_name;
        if (item.name == "." || item.name == "..") {
            continue;
        }
        item.isLink = entry->d_type == DT_LNK;
        struct stat status;
        // Some file systems do not give the type in the listing.
        if (entry->d_type == DT_UNKNOWN && lstat(joinPath(path, item.name).c_str(), &status) == 0) {
            item.isLink = S_ISLNK(status.st_mode);
        }
        items.push_back(item);
    }
    bool done = errno == 0 || failWithSystemError(error, "cannot read the directory " + quoted(path));
    // Closing a directory opened for reading has nothing left to report.
    closedir(directory);
    return done;
}

bool openInput(const std::string &path, InputFile &file, std::string &error) {
    // Non-blocking, so that a pipe named as an input is refused instead of waited on.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return failWithSystemError(error, "cannot open " + quoted(path));
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        failWithSystemError(error, "cannot examine " + quoted(path));
        close(fd);
        return false;
    }
    file.handle = fd;
    file.path = path;
    describeStatus(status, file.facts);
    return true;
}

bool readInput(InputFile &file, void *buffer, size_t size, size_t &got, std::string &error) {
    got = 0;
    while (got < size) {
        size_t wanted = size - got < kLargestTransfer ? size - got : kLargestTransfer;
        ssize_t count = read(static_cast<int>(file.handle), static_cast<uint8_t *>(buffer) + got, wanted);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return failWithSystemError(error, "cannot read " + quoted(file.path));
        }
        if (count == 0) {
            break;
        }
        got += static_cast<size_t>(count);
    }
    return true;
}

void closeInput(InputFile &file) {
    if (file.handle >= 0) {
        // Nothing was written through it, so closing cannot lose data.
        close(static_cast<int>(file.handle));
        file.handle = -1;
    }
}

FILE *openScratchFile(const std::string &beside, std::string &error) {
    std::string name;
    int fd = createUnique(beside, 0600, name, error);
    if (fd < 0) {
        return nullptr;
    }
    // Unnamed from the start: no failure, signal or crash can leave it behind.
    if (unlink(name.c_str()) != 0) {
        failWithSystemError(error, "cannot remove the scratch file " + quoted(name));
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, "w+b");
    if (file == nullptr) {
        failWithSystemError(error, "cannot use the scratch file beside " + quoted(beside));
        close(fd);
    }
    return file;
}

bool replaceFile(const std::string &path, const std::vector<uint8_t> &bytes, bool executable, std::string &error) {
    std::string temporary;
    // The mode passes through the umask, as for any file a program creates.
    int fd = createUnique(path, executable ? 0777 : 0666, temporary, error);
    if (fd < 0) {
        return false;
    }
    bool done = writeAll(fd, bytes.data(), bytes.size(), temporary, error);
    if (close(fd) != 0 && done) {
        done = failWithSystemError(error, "cannot write " + quoted(temporary));
    }
    if (done && rename(temporary.c_str(), path.c_str()) != 0) {
        done = failWithSystemError(error, "cannot replace " + quoted(path));
    }
    if (!done) {
        // The file is ours and unfinished; if it cannot go, the error already says why the pack failed.
        unlink(temporary.c_str());
    }
    return done;
}
