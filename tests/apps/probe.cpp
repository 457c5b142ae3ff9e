// A payload DLL that shows a test what run_code sees: its arguments, the
// launcher's environment variables, where it was loaded from, the files
// beside it, whether it runs in a job, which modules its parent has loaded
// and which library a load by bare name finds; it can start its own executable again or another program.
// Environment variables (ZELMOR_PROBE_*) choose what it does.
#include <windows.h>
#include <tlhelp32.h>

#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv);

namespace {

bool readEnvironment(const wchar_t *name, std::wstring &value) {
    value.assign(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
        if (length == 0) {
            value.clear();
            return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        }
        if (length < value.size()) {
            value.resize(length);
            return true;
        }
        value.assign(length, L'\0');
    }
}

std::wstring moduleDirectory() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&run_code), &self);
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring currentDirectory() {
    std::wstring path(32768, L'\0');
    path.resize(GetCurrentDirectoryW(static_cast<DWORD>(path.size()), &path[0]));
    return path;
}

// Extracted trees may be deeper than MAX_PATH allows without this prefix.
std::wstring longPath(const std::wstring &path) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return path;
    }
    if (path.compare(0, 2, L"\\\\") == 0) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
        return L"\\\\?\\" + path;
    }
    return path;
}

std::string utf8(const std::wstring &text) {
    if (text.empty()) {
        return std::string();
    }
    int units = static_cast<int>(text.size());
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    std::string bytes(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &bytes[0], length, nullptr, nullptr);
    return bytes;
}

void appendJsonString(std::string &json, const std::wstring &text) {
    json += '"';
    for (char byte : utf8(text)) {
        unsigned char code = static_cast<unsigned char>(byte);
        if (byte == '"' || byte == '\\') {
            json += '\\';
            json += byte;
        } else if (code < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", code);
            json += escaped;
        } else {
            json += byte;
        }
    }
    json += '"';
}

// Calls visit(relativePath, findData) for every entry below root, parents
// before their contents. Reparse points are listed but not entered.
template <typename Visit> void walk(const std::wstring &root, const std::wstring &relative, Visit visit) {
    std::wstring pattern = longPath(relative.empty() ? root + L"\\*" : root + L"\\" + relative + L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        visit(path, found);
        bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool reparse = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (directory && !reparse) {
            walk(root, path, visit);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool createDirectories(const std::wstring &path) {
    std::wstring full = longPath(path);
    for (size_t separator = full.find(L'\\', 0); separator != std::wstring::npos;
         separator = full.find(L'\\', separator + 1)) {
        CreateDirectoryW(full.substr(0, separator).c_str(), nullptr);
    }
    CreateDirectoryW(full.c_str(), nullptr);
    DWORD attributes = GetFileAttributesW(full.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool copyTree(const std::wstring &source, const std::wstring &destination) {
    bool ok = createDirectories(destination);
    walk(source, std::wstring(), [&](const std::wstring &path, const WIN32_FIND_DATAW &found) {
        std::wstring from = longPath(source + L"\\" + path);
        std::wstring to = longPath(destination + L"\\" + path);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!CreateDirectoryW(to.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                ok = false;
            }
        } else if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
            ok = false;
        }
    });
    return ok;
}

std::string report(int argc, wchar_t **argv, const std::wstring &directory, const FILETIME &entered) {
    std::string json = "{\"argv\": [";
    for (int i = 0; i < argc; ++i) {
        if (i > 0) {
            json += ", ";
        }
        appendJsonString(json, argv[i]);
    }
    json += "], \"env\": {";
    const wchar_t *names[] = {L"ZELMOR_ONEFILE_PARENT", L"ZELMOR_ONEFILE_START", L"ZELMOR_ONEFILE_DIRECTORY",
                              L"ZELMOR_ORIGINAL_ARGV0", L"ZELMOR_ONEFILE_CHILD"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (i > 0) {
            json += ", ";
        }
        appendJsonString(json, names[i]);
        json += ": ";
        std::wstring value;
        if (readEnvironment(names[i], value)) {
            appendJsonString(json, value);
        } else {
            json += "null";
        }
    }
    json += "}, \"module_dir\": ";
    appendJsonString(json, directory);
    json += ", \"cwd\": ";
    appendJsonString(json, currentDirectory());
    json += ", \"pid\": " + std::to_string(GetCurrentProcessId());
    BOOL inJob = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
    json += inJob ? ", \"in_job\": true" : ", \"in_job\": false";
    // Decimal FILETIME, comparable with ZELMOR_ONEFILE_START, for start-up timing.
    unsigned long long enteredTime =
        (static_cast<unsigned long long>(entered.dwHighDateTime) << 32) | entered.dwLowDateTime;
    json += ", \"entered\": \"" + std::to_string(enteredTime) + "\"";
    // The launcher's parent while its child runs: which libraries it mapped.
    std::wstring asked, parent;
    HANDLE snapshot = readEnvironment(L"ZELMOR_PROBE_PARENT_MODULES", asked) &&
                              readEnvironment(L"ZELMOR_ONEFILE_PARENT", parent)
                          ? CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, wcstoul(parent.c_str(), nullptr, 10))
                          : INVALID_HANDLE_VALUE;
    if (snapshot != INVALID_HANDLE_VALUE) {
        json += ", \"parent_modules\": [";
        MODULEENTRY32W module = {};
        module.dwSize = sizeof module;
        for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module)) {
            json += json.back() == '[' ? "" : ", ";
            appendJsonString(json, module.szModule);
        }
        json += "]";
        CloseHandle(snapshot);
    }
    json += ", \"files\": [";
    bool first = true;
    walk(directory, std::wstring(), [&](const std::wstring &path, const WIN32_FIND_DATAW &found) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            return;
        }
        unsigned long long size = (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        json += first ? "{\"path\": " : ", {\"path\": ";
        appendJsonString(json, path);
        json += ", \"size\": " + std::to_string(size) + "}";
        first = false;
    });
    json += "]}\n";
    return json;
}

// Through a temporary file and a rename, so a polling test never reads half.
bool writeWhole(const std::wstring &path, const std::string &bytes) {
    std::wstring temporary = path + L".tmp";
    HANDLE file =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    ok = CloseHandle(file) && ok;
    return ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

void writeReport(const std::wstring &path, int argc, wchar_t **argv, const std::wstring &directory,
                 const FILETIME &entered) {
    if (!writeWhole(path, report(argc, argv, directory, entered))) {
        DWORD error = GetLastError();
        fprintf(stderr, "probe: writing report %s failed with %lu\n", utf8(path).c_str(), error);
    }
}

BOOL WINAPI ignoreControlEvent(DWORD) { return TRUE; }

// Waits, at most a minute, until `path` exists.
bool awaitFile(const std::wstring &path) {
    for (int waited = 0; GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 10) {
        if (waited > 60000) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// Starts this process's own executable again, as an application that
// restarts itself would, without handle inheritance and detached; that
// instance reports to `report` and takes over ZELMOR_PROBE_AWAIT. Returns
// once its report is there, or the file ZELMOR_PROBE_RELAUNCH_UNTIL names.
bool relaunch(const wchar_t *executable, const std::wstring &report) {
    std::wstring ownReport;
    bool reporting = readEnvironment(L"ZELMOR_PROBE_REPORT", ownReport);
    SetEnvironmentVariableW(L"ZELMOR_PROBE_RELAUNCH", nullptr);
    SetEnvironmentVariableW(L"ZELMOR_PROBE_REPORT", report.c_str());
    std::wstring commandLine = L"\"" + std::wstring(executable) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(executable, &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                  nullptr, &startup, &process);
    SetEnvironmentVariableW(L"ZELMOR_PROBE_REPORT", reporting ? ownReport.c_str() : nullptr);
    if (!started) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::wstring until;
    return awaitFile(readEnvironment(L"ZELMOR_PROBE_RELAUNCH_UNTIL", until) ? until : report);
}

// Detached, so the holder shares neither the console nor the standard
// handles: a test reading this process's output need not wait for it.
// "{DIR}" in the command line stands for the probe's own directory, which
// the test cannot know in advance. With ZELMOR_PROBE_BREAKAWAY=1 it asks to
// leave the launcher's job explicitly, as some programs do.
bool startHolder(std::wstring commandLine, const std::wstring &directory) {
    for (size_t at = commandLine.find(L"{DIR}"); at != std::wstring::npos; at = commandLine.find(L"{DIR}")) {
        commandLine.replace(at, 5, directory);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring breakaway;
    DWORD flags = DETACHED_PROCESS;
    if (readEnvironment(L"ZELMOR_PROBE_BREAKAWAY", breakaway) && breakaway == L"1") {
        flags |= CREATE_BREAKAWAY_FROM_JOB;
    }
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                  &startup, &process);
    if (!started) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv) {
    FILETIME entered;
    GetSystemTimeAsFileTime(&entered);
    printf("probe: argc=%d\n", argc);
    fflush(stdout);
    std::wstring value;
    if (readEnvironment(L"ZELMOR_PROBE_IGNORE_CTRL_C", value) && value == L"1") {
        SetConsoleCtrlHandler(ignoreControlEvent, TRUE);
    }
    std::wstring directory = moduleDirectory();
    if (readEnvironment(L"ZELMOR_PROBE_COPY_TO", value) && !copyTree(directory, value)) {
        fprintf(stderr, "probe: copying to %s failed\n", utf8(value).c_str());
    }
    std::wstring awaited;
    bool awaiting = readEnvironment(L"ZELMOR_PROBE_AWAIT", awaited);
    if (readEnvironment(L"ZELMOR_PROBE_RELAUNCH", value)) {
        awaiting = false;
        if (!relaunch(argv[0], value)) {
            fprintf(stderr, "probe: relaunching failed\n");
        }
    }
    bool holding = readEnvironment(L"ZELMOR_PROBE_HOLD", value);
    if (holding && !startHolder(value, directory)) {
        DWORD error = GetLastError();
        fprintf(stderr, "probe: starting %s failed with %lu\n", utf8(value).c_str(), error);
    }
    // Written after the copy and the holder's start, so a test that sees the
    // report can rely on both.
    if (readEnvironment(L"ZELMOR_PROBE_REPORT", value)) {
        writeReport(value, argc, argv, directory, entered);
    }
    if (readEnvironment(L"ZELMOR_PROBE_SLEEP_MS", value)) {
        Sleep(wcstoul(value.c_str(), nullptr, 10));
    }
    if (holding) {
        // Gives the holder time to open its file before run_code returns.
        Sleep(1000);
    }
    if (awaiting && !awaitFile(awaited)) {
        fprintf(stderr, "probe: %s never appeared\n", utf8(awaited).c_str());
    }
    // What the files are at the end, for a test that runs others beside it.
    if (readEnvironment(L"ZELMOR_PROBE_FINAL_REPORT", value)) {
        writeReport(value, argc, argv, directory, entered);
    }
    // A library loaded by bare name, as applications do: its helper_value
    // (zelmor-helper.dll) becomes the exit code, telling which copy was found.
    if (readEnvironment(L"ZELMOR_PROBE_LOAD", value)) {
        HMODULE library = LoadLibraryW(value.c_str());
        if (library == nullptr) {
            DWORD error = GetLastError();
            fprintf(stderr, "probe: loading %s failed with %lu\n", utf8(value).c_str(), error);
            return 121;
        }
        typedef int (*HelperValue)();
        HelperValue helperValue =
            reinterpret_cast<HelperValue>(reinterpret_cast<void *>(GetProcAddress(library, "helper_value")));
        return helperValue != nullptr ? helperValue() : 122;
    }
    // Another program, started as runtimes built on msvcrt start them: with
    // the runtime's copy of the environment. Its exit code becomes this one's.
    // The copy goes on as it is, but for this mode's own variable: removing
    // that with _wputenv would make Wine's runtime build the copy anew.
    if (readEnvironment(L"ZELMOR_PROBE_SPAWN", value)) {
        std::vector<const wchar_t *> environment;
        for (wchar_t **entry = _wenviron; *entry != nullptr; ++entry) {
            if (wcsncmp(*entry, L"ZELMOR_PROBE_SPAWN=", 19) != 0) {
                environment.push_back(*entry);
            }
        }
        environment.push_back(nullptr);
        const wchar_t *arguments[] = {value.c_str(), nullptr};
        return static_cast<int>(_wspawnve(_P_WAIT, value.c_str(), arguments, environment.data()));
    }
    // Through a 64-bit parse so that unsigned NTSTATUS-style codes above
    // INT_MAX wrap to the same 32-bit exit code instead of saturating.
    return readEnvironment(L"ZELMOR_PROBE_EXIT", value) ? static_cast<int>(wcstoll(value.c_str(), nullptr, 10)) : 0;
}
