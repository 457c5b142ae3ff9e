// File access on Windows: UTF-8 paths become UTF-16 for the wide API, and
// paths of MAX_PATH or more get the "\\?\" form that lifts the limit.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "packer/file_access.h"

const char kPathSeparator = '\\';
const char kPathSeparators[] = "\\/";

namespace {

constexpr int kNameAttempts = 16;
constexpr DWORD kLargestTransfer = DWORD{1} << 30;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

std::string toUtf8(const wchar_t *text, size_t length) {
    if (length == 0) {
        return std::string();
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], size, nullptr, nullptr);
    }
    return result;
}

// The system's text for `code`, in the user's language, with the number.
std::string systemText(DWORD code) {
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string message = length > 0 ? toUtf8(text, length) : std::string("no system text for this error");
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.' ||
                                message.back() == ' ')) {
        message.pop_back();
    }
    return message + " (error " + std::to_string(code) + ")";
}

bool failWithCode(std::string &error, const std::string &what, DWORD code) {
    error = what + ": " + systemText(code);
    return false;
}

// Captures the last error at once: building the message may change it.
bool failWithSystemError(std::string &error, const std::string &what) {
    return failWithCode(error, what, GetLastError());
}

bool widePath(const std::string &path, std::wstring &wide, std::string &error) {
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                     nullptr, 0);
    if (length <= 0 && !path.empty()) {
        error = quoted(path) + " is not valid UTF-8";
        return false;
    }
    wide.assign(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), &wide[0], length);
    if (wide.size() < MAX_PATH || wide.compare(0, 4, L"\\\\?\\") == 0) {
        return true;
    }
    DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    DWORD written = needed > 0 ? GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr) : 0;
    if (written == 0 || written >= needed) {
        return failWithSystemError(error, "cannot make " + quoted(path) + " absolute");
    }
    full.resize(written);
    wide = full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
    return true;
}

// Opens what the path names, following links, only to ask about it.
HANDLE openToExamine(const std::wstring &wide) {
    return CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool describeHandle(HANDLE handle, const std::string &path, PathFacts &facts, std::string &error) {
    facts = PathFacts();
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        facts.kind = PathKind::Other;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return failWithSystemError(error, "cannot examine " + quoted(path));
    }
    bool directory = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.kind = directory ? PathKind::Directory : PathKind::Regular;
    facts.size = directory ? 0 : uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    facts.volume = information.dwVolumeSerialNumber;
    facts.index = uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow;
    return true;
}

// Creates a new file of a unique name beside `beside`. CREATE_NEW refuses any
// name that exists, and with FILE_FLAG_OPEN_REPARSE_POINT a link there is
// never followed.
HANDLE createUnique(const std::string &beside, DWORD access, DWORD flags, std::string &name, std::wstring &wide,
                    std::string &error) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = uniqueNameBeside(beside);
        if (!widePath(name, wide, error)) {
            return INVALID_HANDLE_VALUE;
        }
        HANDLE handle = CreateFileW(wide.c_str(), access, 0, nullptr, CREATE_NEW, flags | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
        DWORD code = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            return handle;
        }
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            failWithCode(error, "cannot write " + quoted(beside), code);
            return INVALID_HANDLE_VALUE;
        }
    }
    error = "cannot create a file beside " + quoted(beside) + ": every name tried exists";
    return INVALID_HANDLE_VALUE;
}

}  // namespace

bool commandLineArguments(int, char **, std::vector<std::string> &arguments, std::string &error) {
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return failWithSystemError(error, "cannot read the command line");
    }
    arguments.clear();
    for (int i = 0; i < count; ++i) {
        arguments.push_back(toUtf8(wide[i], wcslen(wide[i])));
    }
    LocalFree(wide);
    return true;
}

std::string ownDirectory(const std::string &argv0) {
    std::wstring self(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
    std::string path = length > 0 && length < self.size() ? toUtf8(self.data(), length) : argv0;
    size_t cut = path.find_last_of(kPathSeparators);
    return cut == std::string::npos ? "." : path.substr(0, cut);
}

bool isTerminal(FILE *stream) {
    // _isatty also says yes for NUL; only a console has a console mode.
    DWORD mode = 0;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

bool describePath(const std::string &path, PathFacts &facts, std::string &error) {
    facts = PathFacts();
    std::wstring wide;
    if (!widePath(path, wide, error)) {
        return false;
    }
    HANDLE handle = openToExamine(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return true;
        }
        if (code == ERROR_CANT_RESOLVE_FILENAME) {
            facts.kind = PathKind::LinkLoop;
            return true;
        }
        return failWithCode(error, "cannot examine " + quoted(path), code);
    }
    bool done = describeHandle(handle, path, facts, error);
    // Opened only to ask about it: closing loses nothing.
    CloseHandle(handle);
    return done;
}

bool resolvePath(const std::string &path, std::string &resolved, std::string &error) {
    std::wstring wide;
    if (!widePath(path, wide, error)) {
        return false;
    }
    HANDLE handle = openToExamine(wide);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError(error, "cannot resolve " + quoted(path));
    }
    std::wstring final(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &final[0], static_cast<DWORD>(final.size()), 0);
    if (length >= final.size()) {
        // Too small: the result is the size needed, terminator included.
        final.assign(length, L'\0');
        length = GetFinalPathNameByHandleW(handle, &final[0], static_cast<DWORD>(final.size()), 0);
    }
    DWORD code = GetLastError();
    // Opened only to ask about it: closing loses nothing.
    CloseHandle(handle);
    if (length == 0 || length >= final.size()) {
        return failWithCode(error, "cannot resolve " + quoted(path), code);
    }
    final.resize(length);
    if (final.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        final = L"\\\\" + final.substr(8);
    } else if (final.compare(0, 4, L"\\\\?\\") == 0) {
        final = final.substr(4);
    }
    resolved = toUtf8(final.data(), final.size());
    return true;
}

bool listDirectory(const std::string &path, std::vector<DirectoryItem> &items, std::string &error) {
    items.clear();
    std::wstring wide;
    if (!widePath(joinPath(path, "*"), wide, error)) {
        return false;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // A drive's root may hold nothing at all, not even "." and "..".
        return code == ERROR_FILE_NOT_FOUND || failWithCode(error, "cannot read the directory " + quoted(path), code);
    }
    do {
        DirectoryItem item;
        item.name = toUtf8(found.cFileName, wcslen(found.cFileName));
        item.isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (item.name != "." && item.name != "..") {
            items.push_back(item);
        }
    } while (FindNextFileW(search, &found));
    DWORD code = GetLastError();
    // A search handle holds no data; closing it cannot fail in a way that matters.
    FindClose(search);
    return code == ERROR_NO_MORE_FILES || failWithCode(error, "cannot read the directory " + quoted(path), code);
}

bool openInput(const std::string &path, InputFile &file, std::string &error) {
    std::wstring wide;
    if (!widePath(path, wide, error)) {
        return false;
    }
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return failWithSystemError(error, "cannot open " + quoted(path));
    }
    if (!describeHandle(handle, path, file.facts, error)) {
        CloseHandle(handle);
        return false;
    }
    file.handle = reinterpret_cast<intptr_t>(handle);
    file.path = path;
    return true;
}

bool readInput(InputFile &file, void *buffer, size_t size, size_t &got, std::string &error) {
    got = 0;
    while (got < size) {
        DWORD wanted = size - got < kLargestTransfer ? static_cast<DWORD>(size - got) : kLargestTransfer;
        DWORD count = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(file.handle), static_cast<uint8_t *>(buffer) + got, wanted, &count,
                      nullptr)) {
            return failWithSystemError(error, "cannot read " + quoted(file.path));
        }
        if (count == 0) {
            break;
        }
        got += count;
    }
    return true;
}

void closeInput(InputFile &file) {
    if (file.handle != -1) {
        // Nothing was written through it, so closing cannot lose data.
        CloseHandle(reinterpret_cast<HANDLE>(file.handle));
        file.handle = -1;
    }
}

FILE *openScratchFile(const std::string &beside, std::string &error) {
    std::string name;
    std::wstring wide;
    // Deleted by the system when its last handle closes, however the process ends.
    HANDLE handle = createUnique(beside, GENERIC_READ | GENERIC_WRITE,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, name, wide, error);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (descriptor == -1) {
        error = "cannot use the scratch file " + quoted(name);
        CloseHandle(handle);
        return nullptr;
    }
    FILE *file = _fdopen(descriptor, "w+b");
    if (file == nullptr) {
        error = "cannot use the scratch file " + quoted(name);
        _close(descriptor);
    }
    return file;
}

bool replaceFile(const std::string &path, const std::vector<uint8_t> &bytes, bool, std::string &error) {
    std::string temporary;
    std::wstring wideTemporary, widePathName;
    if (!widePath(path, widePathName, error)) {
        return false;
    }
    HANDLE handle = createUnique(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL, temporary, wideTemporary, error);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool done = true;
    for (size_t at = 0; done && at < bytes.size();) {
        DWORD wanted = bytes.size() - at < kLargestTransfer ? static_cast<DWORD>(bytes.size() - at) : kLargestTransfer;
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + at, wanted, &written, nullptr)) {
            done = failWithSystemError(error, "cannot write " + quoted(temporary));
        } else if (written == 0) {
            error = "cannot write " + quoted(temporary) + ": the system took no bytes";
            done = false;
        }
        at += written;
    }
    if (!CloseHandle(handle) && done) {
        done = failWithSystemError(error, "cannot write " + quoted(temporary));
    }
    // Replaces an existing file in one step, unlike the C runtime's rename.
    if (done && !MoveFileExW(wideTemporary.c_str(), widePathName.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        done = failWithSystemError(error, "cannot replace " + quoted(path));
    }
    if (!done) {
        // The file is ours and unfinished; if it cannot go, the error already says why the pack failed.
        DeleteFileW(wideTemporary.c_str());
    }
    return done;
}
