#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "base/test_seam.h"
#include "launcher/console_control.h"
#include "launcher/launcher_state.h"
#include "processes/child_launch.h"
#include "processes/cleanup.h"
#include "run_directory/tree_removal.h"
#include "scratch_files.h"

namespace {

// Set in the copy of this program that a test starts to play the launcher.
constexpr wchar_t kInnerVariable[] = L"ZELMOR_TEST_CLEANUP_INNER";

double millisecondsSince(const LARGE_INTEGER &start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter;
}

bool exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Where the cleanup takes its targets before removing them: this
// process's tombstones beside them.
std::vector<std::wstring> ownTombstones() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring prefix = std::wstring(temp) + L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((prefix + L"*.removing").c_str(), &entry);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        found.push_back(std::wstring(temp) + entry.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    return found;
}

// Neither the target nor a tombstone is left.
bool removed(const std::wstring &target) {
    return !exists(target) && ownTombstones().empty();
}

// Makes `directory` the cleanup's target, as the parent does once it has created it.
void aim(RunDirectory *record, const std::wstring &directory) {
    wcscpy(record->targetDirectory, directory.c_str());
    HANDLE opened = CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information = {};
    EXPECT_TRUE(GetFileInformationByHandle(opened, &information));
    CloseHandle(opened);
    record->fileId =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
}

std::wstring ownPath() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

// Built into the same directory as this program.
std::wstring sleepProgram() {
    std::wstring path = ownPath();
    return path.substr(0, path.rfind(L'\\')) + L"\\zelmor-sleep.exe";
}

// Counts this process's handles in the system-wide table, since Wine's
// GetProcessHandleCount always answers 0. -1 when the table is not available.
int ownHandleCount() {
    struct Entry {
        ULONG ownerProcessId;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    QueryFunction query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return -1;
    }
    const ULONG kSystemHandleInformation = 16;
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<LONG>(0xC0000004)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return -1;
    }
    const Table *table = reinterpret_cast<const Table *>(buffer.data());
    int count = 0;
    for (ULONG i = 0; i < table->count; i++) {
        count += table->entries[i].ownerProcessId == GetCurrentProcessId();
    }
    return count;
}

PROCESS_INFORMATION startSleep(const std::wstring &arguments) {
    std::wstring line = L"\"" + sleepProgram() + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(sleepProgram().c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child)) {
        ADD_FAILURE() << "cannot start zelmor-sleep: " << GetLastError();
        return child;
    }
    CloseHandle(child.hThread);
    return child;
}

HANDLE duplicateOf(HANDLE process) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}

DWORD exitCodeOf(HANDLE process) {
    DWORD code = 0xDEADBEEF;
    GetExitCodeProcess(process, &code);
    return code;
}

class CleanupTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetState();
    }

    void TearDown() override {
        for (HANDLE held : held_) {
            if (held != INVALID_HANDLE_VALUE) {
                CloseHandle(held);
            }
        }
        // Lets go of a tombstone the cleanup kept.
        removeTargetTree(directory_);
        for (const std::wstring &target : targets_) {
            removeTree(target);
        }
        for (const std::wstring &tombstone : ownTombstones()) {
            removeTree(tombstone);
        }
        resetState();
    }

    void resetState() {
        launcherState.directory = RunDirectory{};
        directory_ = &ownDirectory_;
        launcherState.child = ChildRun{};
        child_ = &ownChild_;
    }

    // A fresh directory with nested files, made the cleanup's target.
    std::wstring makeTarget() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring target = std::wstring(temp) + L"zelmor-cleanup-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(targets_.size());
        targets_.push_back(target);
        removeTree(target);
        EXPECT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        EXPECT_TRUE(CreateDirectoryW((target + L"\\sub").c_str(), nullptr));
        EXPECT_TRUE(CreateDirectoryW((target + L"\\sub\\deeper").c_str(), nullptr));
        for (const wchar_t *name : {L"\\a.txt", L"\\sub\\b.txt", L"\\sub\\deeper\\c.txt"}) {
            HANDLE file = CreateFileW((target + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_NE(file, INVALID_HANDLE_VALUE);
            DWORD written = 0;
            WriteFile(file, "data", 4, &written, nullptr);
            CloseHandle(file);
        }
        aim(directory_, target);
        return target;
    }

    // The console control handler acts on the run's own records.
    void useLauncherState() {
        directory_ = &launcherState.directory;
        child_ = &launcherState.child;
    }

    // Opened without sharing, so that nobody can delete it meanwhile.
    HANDLE hold(const std::wstring &path) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        held_.push_back(file);
        return file;
    }

    void release(HANDLE file) {
        for (HANDLE &held : held_) {
            if (held == file) {
                CloseHandle(held);
                held = INVALID_HANDLE_VALUE;
            }
        }
    }

    std::vector<std::wstring> targets_;
    std::vector<HANDLE> held_;
    RunDirectory ownDirectory_ = {};
    RunDirectory *directory_ = &ownDirectory_;
    ChildRun ownChild_ = {};
    ChildRun *child_ = &ownChild_;
};

TEST_F(CleanupTest, FiveEventsRemoveTheTargetAndEveryEventIsLeftToTheSystem) {
    useLauncherState();
    directory_->cleanupArmed = 1;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        std::wstring target = makeTarget();
        EXPECT_FALSE(consoleControlHandler(event)) << "event " << event;
        EXPECT_TRUE(removed(target)) << "event " << event;
    }
    for (DWORD event : {3ul, 4ul, 7ul, 0xFFFFFFFFul}) {
        std::wstring target = makeTarget();
        EXPECT_FALSE(consoleControlHandler(event)) << "event " << event;
        EXPECT_TRUE(exists(target + L"\\sub\\deeper\\c.txt")) << "event " << event;
    }
}

TEST_F(CleanupTest, BeforeItIsArmedTheCleanupOnlyDealsWithTheChild) {
    useLauncherState();
    std::wstring target = makeTarget();
    EXPECT_FALSE(consoleControlHandler(CTRL_C_EVENT));
    performCleanup(child_, directory_);
    EXPECT_TRUE(exists(target + L"\\sub\\deeper\\c.txt"));

    PROCESS_INFORMATION child = startSleep(L"0 5");
    HANDLE own = duplicateOf(child.hProcess);
    child_->childProcess = child.hProcess;
    performCleanup(child_, directory_);
    EXPECT_EQ(child_->childProcess, nullptr);
    EXPECT_EQ(exitCodeOf(own), 5u);
    EXPECT_TRUE(exists(target + L"\\sub\\deeper\\c.txt"));
    CloseHandle(own);
}

TEST_F(CleanupTest, AHeldFileKeepsTheTargetThrough21AttemptsAndALaterCallRemovesIt) {
    std::wstring target = makeTarget();
    HANDLE held = hold(target + L"\\sub\\deeper\\c.txt");
    directory_->cleanupArmed = 1;
    performCleanup(child_, directory_);  // ATargetThatStaysIsAttemptedExactly21Times counts the attempts
    // Under Wine a directory with an open file inside can be taken (NTFS
    // refuses, and the target itself stays).
    ASSERT_EQ(ownTombstones().size(), 1u);
    EXPECT_TRUE(exists(ownTombstones()[0] + L"\\sub\\deeper\\c.txt"));

    release(held);
    performCleanup(child_, directory_);
    EXPECT_TRUE(removed(target));
}

TEST_F(CleanupTest, ADirectoryThatAnotherInstanceHoldsIsLeftWholeUntilItLetsGo) {
    // As an instance of the application started again holds it: the
    // directory is in use, and nothing in it may go.
    std::wstring target = makeTarget();
    HANDLE holder = CreateFileW(target.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    held_.push_back(holder);
    directory_->cleanupArmed = 1;
    // In use, it is not taken, so the cleanup makes none of the attempts for held files.
    EXPECT_EQ(removeTargetTree(directory_), TreeRemoval::InUse);
    performCleanup(child_, directory_);
    for (const wchar_t *name : {L"\\a.txt", L"\\sub\\b.txt", L"\\sub\\deeper\\c.txt"}) {
        EXPECT_TRUE(exists(target + name));
    }
    EXPECT_TRUE(ownTombstones().empty());

    release(holder);
    performCleanup(child_, directory_);
    EXPECT_TRUE(removed(target));
}

TEST_F(CleanupTest, OnlyTheDirectoryThisRunCreatedIsTakenNeverOneInItsPlace) {
    std::wstring target = makeTarget();
    std::wstring moved = target + L".moved";
    targets_.push_back(moved);
    ASSERT_TRUE(MoveFileW(target.c_str(), moved.c_str()));
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    directory_->cleanupArmed = 1;
    EXPECT_EQ(removeTargetTree(directory_), TreeRemoval::Gone);
    EXPECT_TRUE(exists(target));
    EXPECT_TRUE(exists(moved + L"\\sub\\deeper\\c.txt"));
    EXPECT_TRUE(ownTombstones().empty());
}

// Closes `release` once the removal has made `after` attempts in all.
struct DelayedRelease {
    HANDLE release;
    unsigned long after;
};

DWORD WINAPI releaseAfterAttempts(void *context) {
    DelayedRelease *delayed = static_cast<DelayedRelease *>(context);
    while (seamCounted("RemovalAttempt") < delayed->after) {
        Sleep(1);
    }
    CloseHandle(delayed->release);
    return 0;
}

TEST_F(CleanupTest, ATargetThatStaysIsAttemptedExactly21Times) {
    std::wstring target = makeTarget();
    // The first attempt takes the target; every attempt empties its
    // tombstone but for the held file, and none removes it.
    hold(target + L"\\sub\\deeper\\c.txt");
    const unsigned long before = seamCounted("RemovalAttempt");
    directory_->cleanupArmed = 1;
    performCleanup(child_, directory_);
    EXPECT_EQ(seamCounted("RemovalAttempt") - before, 21u);
    std::vector<std::wstring> tombstones = ownTombstones();
    ASSERT_EQ(tombstones.size(), 1u);
    EXPECT_FALSE(exists(tombstones[0] + L"\\a.txt"));
    EXPECT_FALSE(exists(tombstones[0] + L"\\sub\\b.txt"));
    EXPECT_TRUE(exists(tombstones[0] + L"\\sub\\deeper\\c.txt"));
}

TEST_F(CleanupTest, ARetryRemovesTheTargetOnceTheFileIsReleased) {
    std::wstring target = makeTarget();
    DelayedRelease delayed = {hold(target + L"\\a.txt"), seamCounted("RemovalAttempt") + 2};
    held_.clear();  // the thread closes it
    HANDLE thread = CreateThread(nullptr, 0, releaseAfterAttempts, &delayed, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    directory_->cleanupArmed = 1;
    performCleanup(child_, directory_);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    // Released after the second attempt, it is removed by a later one.
    EXPECT_TRUE(removed(target));
}

TEST_F(CleanupTest, ATargetThatIsNotADirectoryIsNotRetried) {
    std::wstring directory = makeTarget();
    std::wstring file = directory + L"\\a.txt";
    hold(file);
    wcscpy(directory_->targetDirectory, file.c_str());
    directory_->cleanupArmed = 1;
    // The cleanup tries again only while a directory remains.
    EXPECT_EQ(removeTargetTree(directory_), TreeRemoval::Gone);
    performCleanup(child_, directory_);
    EXPECT_TRUE(exists(file));

    wcscpy(directory_->targetDirectory, (directory + L"\\missing").c_str());
    EXPECT_EQ(removeTargetTree(directory_), TreeRemoval::Gone);
}

TEST_F(CleanupTest, ATargetThatIsNotFullyQualifiedIsNeverTouched) {
    // Relative to the current directory, it would name a user's files.
    std::wstring directory = makeTarget();
    wchar_t previous[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(directory.c_str()));
    directory_->cleanupArmed = 1;
    wchar_t drive[] = L"?:sub";
    drive[0] = directory[0];
    for (const wchar_t *relative : {L"sub", L".\\sub", static_cast<const wchar_t *>(drive), L"\\\\server"}) {
        wcscpy(directory_->targetDirectory, relative);
        performCleanup(child_, directory_);
        EXPECT_TRUE(exists(directory + L"\\sub\\deeper\\c.txt")) << ::testing::PrintToString(std::wstring(relative));
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(CleanupTest, ReadOnlyEntriesGoAndTheTargetIsTakenInItsNormalForm) {
    std::wstring target = makeTarget();
    ASSERT_TRUE(SetFileAttributesW((target + L"\\sub\\b.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW((target + L"\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((target + L"\\sub\\deeper").c_str(), FILE_ATTRIBUTE_READONLY));
    // Slashes and a ".." as a temporary directory may give them: the long
    // form takes the path as it stands, so it must be normalised first.
    std::wstring spelled = target + L"/sub/../";
    std::replace(spelled.begin() + 3, spelled.end(), L'\\', L'/');
    wcscpy(directory_->targetDirectory, spelled.c_str());
    directory_->cleanupArmed = 1;
    performCleanup(child_, directory_);
    EXPECT_TRUE(removed(target));
}

TEST_F(CleanupTest, TwoThreadsRemovingAtOnceTakeTheTreeAndNothingBeside) {
    std::wstring target = makeTarget();
    std::wstring sibling = makeTarget();
    for (int i = 0; i < 100; i++) {
        std::wstring directory = target + L"\\sub\\many" + std::to_wstring(i);
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        for (int j = 0; j < 10; j++) {
            HANDLE file = CreateFileW((directory + L"\\f" + std::to_wstring(j)).c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            CloseHandle(file);
        }
    }
    aim(directory_, target);
    directory_->cleanupArmed = 1;
    auto remove = [](void *directory) -> DWORD {
        removeRunDirectory(static_cast<RunDirectory *>(directory));
        return 0;
    };
    HANDLE threads[2] = {CreateThread(nullptr, 0, remove, directory_, 0, nullptr),
                         CreateThread(nullptr, 0, remove, directory_, 0, nullptr)};
    ASSERT_NE(threads[0], nullptr);
    ASSERT_NE(threads[1], nullptr);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    EXPECT_TRUE(removed(target));
    EXPECT_TRUE(exists(sibling + L"\\sub\\deeper\\c.txt"));
}

TEST_F(CleanupTest, AChildSharedByAnIdThatCannotBeOpenedKeepsTheDirectory) {
    // Without a second handle the child is shared by its id; where that
    // cannot be opened, the child may still run and its files stay.
    std::wstring target = makeTarget();
    directory_->cleanupArmed = 1;
    child_->childProcessId = 3;  // ids are multiples of 4: no process has it
    performCleanup(child_, directory_);
    EXPECT_EQ(child_->childProcessId, 0);
    EXPECT_TRUE(exists(target + L"\\sub\\deeper\\c.txt"));

    PROCESS_INFORMATION child = startSleep(L"500 7");
    child_->childProcessId = static_cast<long>(child.dwProcessId);
    performCleanup(child_, directory_);
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(child.hProcess), 7u);
    EXPECT_TRUE(removed(target));
    CloseHandle(child.hProcess);
}

TEST_F(CleanupTest, AChildThatOutlivesTheGraceIsTerminatedAsInterrupted) {
    std::wstring target = makeTarget();
    directory_->cleanupArmed = 1;
    // It holds a file of the target until it ends.
    PROCESS_INFORMATION child = startSleep(L"60000 0x33 \"" + target + L"\\a.txt\"");
    HANDLE own = duplicateOf(child.hProcess);
    child_->childProcess = child.hProcess;
    LARGE_INTEGER start = now();
    performCleanup(child_, directory_);
    // Only the clock shows the grace; the exit code shows that the child's
    // own 60 s were not waited for.
    EXPECT_GE(millisecondsSince(start), 4900.0);
    EXPECT_EQ(child_->childProcess, nullptr);
    EXPECT_TRUE(child_->childEnded);
    EXPECT_EQ(WaitForSingleObject(own, 0), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(own), kStatusControlCExit);
    EXPECT_TRUE(removed(target));
    CloseHandle(own);
}

TEST_F(CleanupTest, AChildThatEndsWithinTheGraceKeepsItsExitCode) {
    std::wstring target = makeTarget();
    directory_->cleanupArmed = 1;
    PROCESS_INFORMATION child = startSleep(L"500 7 \"" + target + L"\\a.txt\"");
    HANDLE own = duplicateOf(child.hProcess);
    child_->childProcess = child.hProcess;
    LARGE_INTEGER start = now();
    performCleanup(child_, directory_);
    // Its own code, read at once: it was waited for to its end, not
    // terminated; and not for the rest of its grace.
    EXPECT_LT(millisecondsSince(start), 4000.0);
    EXPECT_EQ(child_->childProcess, nullptr);
    EXPECT_TRUE(child_->childEnded);
    EXPECT_EQ(exitCodeOf(own), 7u);
    EXPECT_TRUE(removed(target));
    CloseHandle(own);
}

// launchChild takes this program's own command line for the child's, so the
// test runs again in a copy of this program started with arguments that
// zelmor-sleep understands ("MILLISECONDS EXITCODE").
struct InnerRun {
    DWORD exitCode;
    std::string output;
};

void drain(HANDLE pipe, std::string *output) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char chunk[4096];
        DWORD read = 0;
        if (!ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) || read == 0) {
            return;
        }
        output->append(chunk, read);
    }
}

InnerRun runThisTestAgain(const std::wstring &arguments) {
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    InnerRun run = {0xDEADBEEF, ""};
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        ADD_FAILURE() << "CreatePipe: " << GetLastError();
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring line = L"\"" + ownPath() + L"\" " + arguments;
    wchar_t savedFilter[4096];
    DWORD savedLength = GetEnvironmentVariableW(L"GTEST_FILTER", savedFilter, 4096);
    SetEnvironmentVariableA("GTEST_FILTER", filter.c_str());
    SetEnvironmentVariableW(kInnerVariable, L"1");
    PROCESS_INFORMATION inner = {};
    BOOL started = CreateProcessW(ownPath().c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &inner);
    DWORD error = GetLastError();
    SetEnvironmentVariableW(kInnerVariable, nullptr);
    SetEnvironmentVariableW(L"GTEST_FILTER", savedLength > 0 && savedLength < 4096 ? savedFilter : nullptr);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        ADD_FAILURE() << "cannot start this program again: " << error;
        return run;
    }
    CloseHandle(inner.hThread);
    LARGE_INTEGER start = now();
    while (WaitForSingleObject(inner.hProcess, 20) == WAIT_TIMEOUT) {
        drain(readEnd, &run.output);
        if (millisecondsSince(start) > 30000) {
            TerminateProcess(inner.hProcess, 0xDEAD);
            ADD_FAILURE() << "the inner run hung";
        }
    }
    drain(readEnd, &run.output);
    GetExitCodeProcess(inner.hProcess, &run.exitCode);
    CloseHandle(inner.hProcess);
    CloseHandle(readEnd);
    return run;
}

bool isInnerRun() {
    return GetEnvironmentVariableW(kInnerVariable, nullptr, 0) != 0;
}

constexpr int kSentinelCount = 64;

struct HandlerRoad {
    HANDLE mainThread = nullptr;
    bool sawChild = false;
    bool heldMainThread = false;
    BOOL result = FALSE;
    HANDLE sentinels[kSentinelCount] = {};
};

// Processor time `thread` has used, in 100 ns units; 0 if the system cannot tell.
ULONGLONG processorTime(HANDLE thread) {
    FILETIME creation, exit, kernel, user;
    if (!GetThreadTimes(thread, &creation, &exit, &kernel, &user)) {
        return 0;
    }
    return ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
           ((static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
}

// Returns once `thread` has used no processor time for 150 ms (or after about
// 900 ms): it is blocked in a wait.
void awaitIdle(HANDLE thread) {
    ULONGLONG last = processorTime(thread);
    for (int quiet = 0, sample = 0; quiet < 3 && sample < 18; sample++) {
        Sleep(50);
        ULONGLONG current = processorTime(thread);
        quiet = current == last ? quiet + 1 : 0;
        last = current;
    }
}

// Holds the main thread back while the handler runs to its end, then fills
// the freed handle slots with events: a main thread that went on to use or
// close the handle the handler closed would meet one of these.
DWORD WINAPI interruptWhileTheChildRuns(void *context) {
    HandlerRoad *road = static_cast<HandlerRoad *>(context);
    LARGE_INTEGER start = now();
    while (launcherState.child.childProcess == nullptr && millisecondsSince(start) < 10000) {
        Sleep(1);
    }
    road->sawChild = launcherState.child.childProcess != nullptr;
    // Before its wait the main thread sweeps the temporary directory. Held
    // in there, it could hold a lock the handler needs as well (the process
    // heap's): a deadlock of this test's own making, since nothing holds a
    // launcher's main thread back. So it is held in its wait.
    awaitIdle(road->mainThread);
    road->heldMainThread = SuspendThread(road->mainThread) != static_cast<DWORD>(-1);
    road->result = consoleControlHandler(CTRL_C_EVENT);
    for (HANDLE &sentinel : road->sentinels) {
        sentinel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ResumeThread(road->mainThread);
    return 0;
}

using CleanupLaunchTest = CleanupTest;

TEST_F(CleanupLaunchTest, AnEventDuringTheWaitEndsTheChildOnceAndTheMainThreadStillFinishes) {
    if (!isInnerRun()) {
        InnerRun run = runThisTestAgain(L"1000 7");
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
        return;
    }
    // Inner run. First a round of everything the scenario does, so that
    // handles the system keeps once opened do not count.
    useLauncherState();
    directory_->cleanupArmed = 1;
    makeTarget();
    performCleanup(child_, directory_);
    PROCESS_INFORMATION warmUp = startSleep(L"0");
    WaitForSingleObject(warmUp.hProcess, INFINITE);
    CloseHandle(warmUp.hProcess);
    HANDLE warmThread = CreateThread(nullptr, 0, [](void *) -> DWORD { return 0; }, nullptr, 0, nullptr);
    WaitForSingleObject(warmThread, INFINITE);
    CloseHandle(warmThread);

    std::wstring target = makeTarget();
    wcscpy(launcherState.own.ownModulePath, sleepProgram().c_str());
    HandlerRoad road;
    road.mainThread = duplicateOf(GetCurrentThread());
    ASSERT_NE(road.mainThread, nullptr);
    const int handlesBefore = ownHandleCount();
    ASSERT_GE(handlesBefore, 0);

    HANDLE handlerThread = CreateThread(nullptr, 0, interruptWhileTheChildRuns, &road, 0, nullptr);
    ASSERT_NE(handlerThread, nullptr);
    unsigned long exitCode = launchChild(child_, &launcherState.own, directory_, L"typed-name");
    ASSERT_EQ(WaitForSingleObject(handlerThread, 15000), WAIT_OBJECT_0);
    CloseHandle(handlerThread);

    EXPECT_TRUE(road.sawChild);
    EXPECT_TRUE(road.heldMainThread);
    // The child ran its 1000 ms within the grace and ended by itself: the
    // event is handled, and the run ends with the child's own code.
    EXPECT_TRUE(road.result);
    EXPECT_EQ(exitCode, 7u);
    EXPECT_EQ(child_->childProcess, nullptr);
    EXPECT_TRUE(removed(target));
    int sentinelsLost = 0;
    for (HANDLE sentinel : road.sentinels) {
        sentinelsLost += WaitForSingleObject(sentinel, 0) != WAIT_TIMEOUT;
        CloseHandle(sentinel);
    }
    EXPECT_EQ(sentinelsLost, 0);
    // None left open.
    EXPECT_EQ(ownHandleCount(), handlesBefore);
    CloseHandle(road.mainThread);
}

}  // namespace
