// The Windows side of the benchmarks: what only a Windows process can time or
// see. Prints "name=value" lines for bench/run_benchmarks.py.
//
//   zelmor-bench start [--set NAME=VALUE]... [--limited-token] APPLICATION COMMANDLINE
//       Starts a program and waits for it (with --limited-token unelevated,
//       with this process's linked token where its own is the elevated half
//       of a split token, as Wine 8 gives every process). started: the FILETIME taken right
//       before CreateProcessW; child_created: the creation time of the first
//       process it starts (the launcher's child), empty if none was seen;
//       ended: the time the program ended; peak_working_set: the
//       program's peak working set in bytes.
//   zelmor-bench write PACKED.exe DIRECTORY
//       Writes the packed executable's entries, decompressed in memory
//       beforehand, into the new DIRECTORY with the launcher's file calls,
//       and prints the seconds taken.
//   zelmor-bench decompress PACKED.exe
//       Decompresses the same payload through a buffer of the launcher's
//       size, discarding the output, and prints the seconds taken.
//   zelmor-bench remove DIRECTORY
//       Removes DIRECTORY with the launcher's own removal, one attempt, and
//       prints the seconds taken and whether the directory remains.
//   zelmor-bench stages PACKED.exe
//       Times, once each in this fresh process, the launcher's own start-up
//       steps on PACKED.exe: the canonical paths the child's role decision
//       compares, the payload resource's lookup, the reader's start and first
//       decode step (all the child needs for the first name), ADVAPI32's
//       load with what it brings (which the access list no longer needs),
//       SHELL32's and the profile folder (asked only where a directory
//       outside the run's must be made), and the parent's split of its
//       command line. Prints seconds per step.
#include <windows.h>
#include <psapi.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <set>
#include <string>
#include <vector>

#include <zstd.h>

#include "base/bounded_text.h"
#include "base/system_library.h"
#include "extraction/extraction.h"
#include "extraction/payload_reader.h"
#include "format/container.h"
#include "paths/canonical_path.h"
#include "processes/argument_split.h"
#include "run_directory/tree_removal.h"

namespace {

// How often the peak working set is read while the program runs: often
// enough that the launcher's parent is read after its extraction, seldom
// enough to cost the measured processes nothing noticeable.
constexpr DWORD kPollMilliseconds = 50;

int usage() {
    fwprintf(stderr,
             L"usage: zelmor-bench start [--set NAME=VALUE]... APPLICATION COMMANDLINE\n"
             L"       zelmor-bench write PACKED.exe DIRECTORY\n"
             L"       zelmor-bench decompress PACKED.exe\n"
             L"       zelmor-bench remove DIRECTORY\n"
             L"       zelmor-bench stages PACKED.exe\n");
    return 2;
}

int failure(const wchar_t *what, DWORD code) {
    fwprintf(stderr, L"zelmor-bench: %ls failed with %lu\n", what, code);
    return 1;
}

unsigned long long fileTimeValue(const FILETIME &time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

double seconds(const LARGE_INTEGER &from, const LARGE_INTEGER &to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / frequency.QuadPart;
}

// PeakWorkingSetSize never falls, so the largest reading is the latest.
void samplePeak(HANDLE process, SIZE_T &peak) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(process, &counters, sizeof counters) && counters.PeakWorkingSetSize > peak) {
        peak = counters.PeakWorkingSetSize;
    }
}

unsigned long long creationTime(HANDLE process) {
    FILETIME creation, exit, kernel, user;
    return GetProcessTimes(process, &creation, &exit, &kernel, &user) ? fileTimeValue(creation) : 0;
}

unsigned long long exitTime(HANDLE process) {
    FILETIME creation, exit, kernel, user;
    return GetProcessTimes(process, &creation, &exit, &kernel, &user) ? fileTimeValue(exit) : 0;
}

int startCommand(int argc, wchar_t **argv) {
    int i = 2;
    for (; i + 1 < argc && wcscmp(argv[i], L"--set") == 0; i += 2) {
        wchar_t *equals = wcschr(argv[i + 1], L'=');
        if (equals == nullptr) {
            return usage();
        }
        *equals = L'\0';
        SetEnvironmentVariableW(argv[i + 1], equals + 1);
    }
    HANDLE limitedToken = nullptr;
    if (i < argc && wcscmp(argv[i], L"--limited-token") == 0) {
        HANDLE token = nullptr;
        TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
        TOKEN_LINKED_TOKEN linked = {};
        DWORD size = 0;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
            !GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) ||
            (type == TokenElevationTypeFull &&
             !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size))) {
            return failure(L"reading the linked token", GetLastError());
        }
        limitedToken = linked.LinkedToken;  // null where this process's own is limited already
        i++;
    }
    if (argc - i != 2) {
        return usage();
    }
    // A job reports each process started inside it, so the launcher's child
    // is known as soon as it exists, without searching the process list.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
    if (job == nullptr || port == nullptr ||
        !SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association, sizeof association)) {
        return failure(L"setting up the job", GetLastError());
    }
    std::wstring commandLine = argv[i + 1];
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    FILETIME started;
    GetSystemTimeAsFileTime(&started);
    // Suspended until it is in the job, so that no child can escape it.
    if (limitedToken != nullptr
            ? !CreateProcessAsUserW(limitedToken, argv[i], &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                    nullptr, nullptr, &startup, &process)
            : !CreateProcessW(argv[i], &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                              &startup, &process)) {
        return failure(L"CreateProcessW", GetLastError());
    }
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 1);
        return failure(L"AssignProcessToJobObject", error);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    SIZE_T peak = 0;
    HANDLE child = nullptr;  // held open, so that its creation time can be read after its end
    do {
        DWORD message;
        ULONG_PTR key;
        OVERLAPPED *detail;
        if (GetQueuedCompletionStatus(port, &message, &key, &detail, kPollMilliseconds) &&
            message == JOB_OBJECT_MSG_NEW_PROCESS && child == nullptr) {
            DWORD id = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(detail));
            if (id != process.dwProcessId) {
                child = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
            }
        }
        // Wine answers only while the process lives (it reads the Unix
        // process's peak resident size); Windows also after its end.
        samplePeak(process.hProcess, peak);
    } while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    const unsigned long long ended = exitTime(process.hProcess);
    CloseHandle(process.hProcess);
    printf("started=%llu\n", fileTimeValue(started));
    printf("ended=%llu\n", ended);
    if (child != nullptr) {
        printf("child_created=%llu\n", creationTime(child));
        CloseHandle(child);
    } else {
        printf("child_created=\n");
    }
    printf("peak_working_set=%llu\n", static_cast<unsigned long long>(peak));
    printf("exit_code=%lu\n", exitCode);
    CloseHandle(port);
    CloseHandle(job);
    return 0;
}

// The compressed frames of a packed executable's payload, copied out of the
// image so that no run pays for first touching its pages.
bool readFrames(const wchar_t *path, std::vector<unsigned char> &frames) {
    HMODULE image = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) {
        return false;
    }
    HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(kPayloadResourceId), MAKEINTRESOURCEW(kPayloadResourceType));
    HGLOBAL loaded = resource ? LoadResource(image, resource) : nullptr;
    const unsigned char *bytes = loaded ? static_cast<const unsigned char *>(LockResource(loaded)) : nullptr;
    DWORD size = resource ? SizeofResource(image, resource) : 0;
    bool ok = bytes != nullptr && size > kContainerHeaderSize + kContainerTrailerSize;
    if (ok) {
        frames.assign(bytes + kContainerHeaderSize, bytes + size - kContainerTrailerSize);
    }
    FreeLibrary(image);
    return ok;
}

// Decodes every frame through a buffer of the launcher's size; `sink` gets
// each piece of output.
template <typename Sink> bool decodeFrames(const std::vector<unsigned char> &frames, Sink sink) {
    ZSTD_DCtx *decoder = ZSTD_createDCtx();
    std::vector<unsigned char> buffer(kDecodeBufferSize);
    ZSTD_inBuffer input = {frames.data(), frames.size(), 0};
    size_t pending = 0;
    bool ok = decoder != nullptr;
    while (ok && (input.pos < input.size || pending != 0)) {
        ZSTD_outBuffer output = {buffer.data(), buffer.size(), 0};
        pending = ZSTD_decompressStream(decoder, &output, &input);
        ok = !ZSTD_isError(pending) && (output.pos > 0 || input.pos < input.size);
        if (ok) {
            sink(buffer.data(), output.pos);
        }
    }
    ZSTD_freeDCtx(decoder);
    return ok;
}

int decompressCommand(int argc, wchar_t **argv) {
    if (argc != 3) {
        return usage();
    }
    std::vector<unsigned char> frames;
    if (!readFrames(argv[2], frames)) {
        return failure(L"reading the payload", GetLastError());
    }
    unsigned long long total = 0;
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    bool ok = decodeFrames(frames, [&](const unsigned char *, size_t count) { total += count; });
    QueryPerformanceCounter(&to);
    if (!ok) {
        return failure(L"decoding", 0);
    }
    printf("bytes=%llu seconds=%.6f\n", total, seconds(from, to));
    return 0;
}

struct Entry {
    std::wstring name;
    const unsigned char *data;
    uint64_t size;
};

// Splits the decompressed stream into its (UTF-16 name, 64-bit size, data) records.
bool parseEntries(const std::vector<unsigned char> &stream, std::vector<Entry> &entries) {
    size_t at = 0;
    for (;;) {
        std::wstring name;
        for (;; at += 2) {
            if (at + 2 > stream.size()) {
                return false;
            }
            wchar_t unit = static_cast<wchar_t>(stream[at] | (stream[at + 1] << 8));
            if (unit == L'\0') {
                at += 2;
                break;
            }
            name += unit == L'/' ? L'\\' : unit;
        }
        if (name.empty()) {
            return true;
        }
        if (at + 8 > stream.size()) {
            return false;
        }
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) {
            size = (size << 8) | stream[at + i];
        }
        at += 8;
        if (size > stream.size() - at) {
            return false;
        }
        entries.push_back({name, stream.data() + at, size});
        at += size;
    }
}

// Makes the directories and files the launcher would, with its calls; false
// on the first failing call.
bool writeEntries(const std::wstring &root, const std::vector<Entry> &entries) {
    if (!CreateDirectoryW(root.c_str(), nullptr)) {
        return false;
    }
    std::set<std::wstring> known;
    for (const Entry &entry : entries) {
        for (size_t cut = entry.name.find(L'\\'); cut != std::wstring::npos; cut = entry.name.find(L'\\', cut + 1)) {
            std::wstring directory = root + L"\\" + entry.name.substr(0, cut);
            if (known.insert(directory).second && !CreateDirectoryW(directory.c_str(), nullptr)) {
                return false;
            }
        }
        std::wstring path = root + L"\\" + entry.name;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        for (uint64_t done = 0; done < entry.size;) {
            uint64_t left = entry.size - done;
            DWORD piece = left < kWriteChunkSize ? static_cast<DWORD>(left) : static_cast<DWORD>(kWriteChunkSize);
            DWORD written = 0;
            if (!WriteFile(file, entry.data + done, piece, &written, nullptr)) {
                CloseHandle(file);
                return false;
            }
            done += piece;
        }
        CloseHandle(file);
    }
    return true;
}

int writeCommand(int argc, wchar_t **argv) {
    if (argc != 4) {
        return usage();
    }
    std::vector<unsigned char> frames, stream;
    std::vector<Entry> entries;
    if (!readFrames(argv[2], frames)) {
        return failure(L"reading the payload", GetLastError());
    }
    if (!decodeFrames(frames, [&](const unsigned char *bytes, size_t count) {
            stream.insert(stream.end(), bytes, bytes + count);
        }) ||
        !parseEntries(stream, entries)) {
        return failure(L"decoding", 0);
    }
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    bool ok = writeEntries(argv[3], entries);
    QueryPerformanceCounter(&to);
    if (!ok) {
        return failure(L"writing", GetLastError());
    }
    printf("files=%zu seconds=%.6f\n", entries.size(), seconds(from, to));
    return 0;
}

int removeCommand(int argc, wchar_t **argv) {
    if (argc != 3) {
        return usage();
    }
    static RunDirectory target;
    copyText(target.targetDirectory, kTargetDirectoryCapacity, argv[2]);
    // The removal takes only the directory the run created: its file ID, as the parent records it.
    HANDLE directory = CreateFileW(argv[2], FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    if (directory == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(directory, &information)) {
        return failure(L"reading the directory's file ID", GetLastError());
    }
    CloseHandle(directory);
    target.fileId = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    bool remains = removeTargetTree(&target) != TreeRemoval::Gone;
    QueryPerformanceCounter(&to);
    printf("seconds=%.6f remains=%d\n", seconds(from, to), remains ? 1 : 0);
    return 0;
}

// Seconds since `from`, which moves on to now.
double lap(LARGE_INTEGER *from) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    double elapsed = seconds(*from, now);
    *from = now;
    return elapsed;
}

int stagesCommand(int argc, wchar_t **argv) {
    if (argc != 3) {
        return usage();
    }
    LARGE_INTEGER from;
    QueryPerformanceCounter(&from);
    // The child's role decision: the parent's path, read from the process,
    // and its own, each made final and given its short directory form.
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId());
    wchar_t parentPath[kCanonicalPathCapacity], ownPath[kCanonicalPathCapacity];
    DWORD length = process ? K32GetModuleFileNameExW(process, nullptr, parentPath, kCanonicalPathCapacity) : 0;
    if (process != nullptr) {
        CloseHandle(process);
    }
    copyText(ownPath, kCanonicalPathCapacity, argv[2]);
    copyText(parentPath, kCanonicalPathCapacity, argv[2]);
    if (length == 0 || !finalPathOf(parentPath, kCanonicalPathCapacity) ||
        !finalPathOf(ownPath, kCanonicalPathCapacity)) {
        return failure(L"the canonical paths", GetLastError());
    }
    shortenDirectoryPart(parentPath, kCanonicalPathCapacity);
    shortenDirectoryPart(ownPath, kCanonicalPathCapacity);
    double canonical = lap(&from);
    // Mapped as the system maps an image; only the lookup is the launcher's.
    HMODULE image = LoadLibraryExW(argv[2], nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    lap(&from);
    HRSRC resource = image ? FindResourceA(image, MAKEINTRESOURCEA(kPayloadResourceId),
                                           MAKEINTRESOURCEA(kPayloadResourceType)) : nullptr;
    HGLOBAL loaded = resource ? LoadResource(image, resource) : nullptr;
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = resource ? SizeofResource(image, resource) : 0;
    double lookup = lap(&from);
    if (bytes == nullptr) {
        return failure(L"the resource lookup", GetLastError());
    }
    PayloadReader reader = {};
    startPayload(&reader, bytes, size);
    uint16_t firstUnit;
    readPayload(&reader, &firstUnit, sizeof firstUnit);
    double firstStep = lap(&from);
    closePayload(&reader);
    lap(&from);
    // Before SHELL32, which would bring it along; as the access list loaded
    // it before it took NTDLL's calls instead.
    HMODULE advapi = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    void *tokenAddress =
        advapi == nullptr ? nullptr : reinterpret_cast<void *>(GetProcAddress(advapi, "OpenProcessToken"));
    double advapiLoad = lap(&from);
    if (tokenAddress == nullptr) {
        return failure(L"loading ADVAPI32", GetLastError());
    }
    typedef HRESULT(WINAPI * FolderFunction)(HWND, int, HANDLE, DWORD, LPWSTR);
    void *folderAddress = systemFunction(SystemLibrary::Shell32, "SHGetFolderPathW");
    double shellLoad = lap(&from);
    wchar_t home[MAX_PATH];
    if (folderAddress == nullptr ||
        reinterpret_cast<FolderFunction>(folderAddress)(nullptr, 40 /* the profile */, nullptr, 0, home) != S_OK) {
        return failure(L"SHGetFolderPathW", GetLastError());
    }
    double homeFolder = lap(&from);
    static SplitArguments split;  // as the launcher's, in zero pages
    splitCommandLine(GetCommandLineW(), argv[0], &split);
    double splitTime = lap(&from);
    FreeLibrary(image);
    printf("canonical=%.6f lookup=%.6f first_step=%.6f advapi32=%.6f shell32=%.6f home=%.6f split=%.6f\n",
           canonical, lookup, firstStep, advapiLoad, shellLoad, homeFolder, splitTime);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc >= 2 && wcscmp(argv[1], L"start") == 0) {
        return startCommand(argc, argv);
    }
    if (argc >= 2 && wcscmp(argv[1], L"write") == 0) {
        return writeCommand(argc, argv);
    }
    if (argc >= 2 && wcscmp(argv[1], L"decompress") == 0) {
        return decompressCommand(argc, argv);
    }
    if (argc >= 2 && wcscmp(argv[1], L"remove") == 0) {
        return removeCommand(argc, argv);
    }
    if (argc >= 2 && wcscmp(argv[1], L"stages") == 0) {
        return stagesCommand(argc, argv);
    }
    return usage();
}
