#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "format/version.h"
#include "paths/path_template.h"
#include "run_directory/run_directory_names.h"

namespace {

constexpr int kFastFailExit = static_cast<int>(0xC0000409);
constexpr size_t kGuardLength = 16;
constexpr wchar_t kGuard = 0xFEFE;
// The version project() gives the build, which {VERSION} inserts.
const std::wstring kBuildVersion = L"" ZELMOR_VERSION_TEXT;
const wchar_t *const kSavedVariables[] = {L"TMP", L"TEMP", L"ZELMOR_ONEFILE_PARENT", L"ZELMOR_ONEFILE_START"};

std::wstring variable(const wchar_t *name) {
    static wchar_t buffer[32768];
    DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return length == 0 ? L"" : std::wstring(buffer, length);
}

int64_t systemTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

std::wstring shellFolder(int folderId) {
    wchar_t path[MAX_PATH];
    if (SHGetFolderPathW(nullptr, folderId, nullptr, 0, path) != S_OK) {
        return L"<none>";
    }
    std::wstring text(path);
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

// Runs the expansion in a buffer of `capacity` followed by guard characters
// that it must never touch.
bool expand(const wchar_t *spec, size_t capacity, std::wstring *text) {
    std::vector<wchar_t> buffer(capacity + kGuardLength, kGuard);
    bool ok = expandPathSpec(buffer.data(), spec, capacity);
    for (size_t i = capacity; i < buffer.size(); i++) {
        if (buffer[i] != kGuard) {
            ADD_FAILURE() << "wrote beyond the capacity of " << capacity;
            break;
        }
    }
    size_t length = wcsnlen(buffer.data(), capacity);
    if (length == capacity) {
        ADD_FAILURE() << "output not terminated within the capacity";
    }
    *text = std::wstring(buffer.data(), length);
    return ok;
}

::testing::AssertionResult expandsTo(const wchar_t *spec, const std::wstring &expected, size_t capacity = 4096) {
    std::wstring text;
    if (!expand(spec, capacity, &text)) {
        return ::testing::AssertionFailure() << "refused, after " << ::testing::PrintToString(text);
    }
    if (text != expected) {
        return ::testing::AssertionFailure() << "gave " << ::testing::PrintToString(text);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult isRefused(const wchar_t *spec, size_t capacity = 4096) {
    std::wstring text;
    if (expand(spec, capacity, &text)) {
        return ::testing::AssertionFailure() << "expanded to " << ::testing::PrintToString(text);
    }
    return ::testing::AssertionSuccess();
}

// A start time taken now: 18 digits (present-day dates) within the window.
::testing::AssertionResult isTimeBetween(const std::wstring &text, int64_t before, int64_t after) {
    if (text.size() != 18 || text.find_first_not_of(L"0123456789") != std::wstring::npos) {
        return ::testing::AssertionFailure() << ::testing::PrintToString(text) << " is not 18 digits";
    }
    int64_t value = _wcstoi64(text.c_str(), nullptr, 10);
    if (value < before || value > after) {
        return ::testing::AssertionFailure() << value << " is outside [" << before << ", " << after << "]";
    }
    return ::testing::AssertionSuccess();
}

// Each test starts without the inherited variables; the environment and argv
// are restored afterwards.
class PathSpecTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const wchar_t *name : kSavedVariables) {
            saved_.push_back({name, variable(name)});
        }
        savedArgc_ = __argc;
        savedArgv_ = __wargv;
        SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", nullptr);
        SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", nullptr);
    }
    void TearDown() override {
        for (const Saved &entry : saved_) {
            SetEnvironmentVariableW(entry.name, entry.value.empty() ? nullptr : entry.value.c_str());
        }
        __argc = savedArgc_;
        __wargv = savedArgv_;
    }
    // A directory that need not exist; death tests need a real one to
    // capture the child's output.
    void setTemporaryDirectory(const wchar_t *path = L"C:\\T\\") {
        SetEnvironmentVariableW(L"TMP", path);
        SetEnvironmentVariableW(L"TEMP", path);
    }
    void setProgram(const wchar_t *argv0) {
        program_ = argv0;
        argv_[0] = &program_[0];
        argv_[1] = nullptr;
        __wargv = argv_;
        __argc = 1;
    }

private:
    struct Saved {
        const wchar_t *name;
        std::wstring value;  // empty when unset, which reads the same
    };
    std::vector<Saved> saved_;
    int savedArgc_ = 0;
    wchar_t **savedArgv_ = nullptr;
    std::wstring program_;
    wchar_t *argv_[2] = {};
};

TEST_F(PathSpecTest, TargetDirectoryTakesTempWithoutItsBackslashAndTheInheritedPidAndTime) {
    setTemporaryDirectory();
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", L"42");
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", L"123");
    EXPECT_TRUE(expandsTo(kTargetDirectorySpec, L"C:\\T\\onefile_42_123"));
    // A start time of digits is used unchanged, leading zeros included.
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", L"0042");
    EXPECT_TRUE(expandsTo(kTargetDirectorySpec, L"C:\\T\\onefile_42_0042"));
    EXPECT_EQ(variable(L"ZELMOR_ONEFILE_START"), L"0042");
}

TEST_F(PathSpecTest, OnlyTheCanonicalDecimalTextOfAnIdIsAParentIdElseTheOwnIdStandsIn) {
    // The role decision applies the same rule, so both agree on the directory.
    const std::wstring own = std::to_wstring(GetCurrentProcessId());
    EXPECT_TRUE(expandsTo(L"{PID}", own));
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", L"4294967295");
    EXPECT_TRUE(expandsTo(L"{PID}", L"4294967295"));
    for (const wchar_t *other : {L"007", L"0", L"+42", L" 42", L"42 ", L"4 2", L"-1", L"12a", L"4294967296",
                                 L"99999999999999999999", L"\uff14\uff12"}) {
        SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", other);
        EXPECT_TRUE(expandsTo(L"{PID}", own)) << ::testing::PrintToString(std::wstring(other));
    }
}

TEST_F(PathSpecTest, WithoutInheritedValuesTheOwnPidAndOneStartTimePerProcessAreUsed) {
    setTemporaryDirectory();
    const std::wstring prefix = L"C:\\T\\onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    int64_t before = systemTime();
    std::wstring first;
    ASSERT_TRUE(expand(kTargetDirectorySpec, 4096, &first));
    int64_t after = systemTime();
    ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << ::testing::PrintToString(first);
    const std::wstring time = first.substr(prefix.size());
    EXPECT_TRUE(isTimeBetween(time, before, after));
    // The time is published for later expansions and children; the id is not.
    EXPECT_EQ(variable(L"ZELMOR_ONEFILE_START"), time);
    EXPECT_EQ(GetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", nullptr, 0), 0u);
    Sleep(20);
    EXPECT_TRUE(expandsTo(kTargetDirectorySpec, first));
    EXPECT_TRUE(expandsTo(L"{TIME}", time));
    // Empty inherited values read as unset.
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", L"");
    EXPECT_TRUE(expandsTo(L"{PID}", std::to_wstring(GetCurrentProcessId())));
}

TEST_F(PathSpecTest, AnInheritedStartTimeOfAnythingButAsciiDigitsIsReplacedByTheCurrentTime) {
    // The target directory is later removed recursively, so an inherited
    // value must never steer it elsewhere.
    const wchar_t *const kBadValues[] = {L"", L"..\\..\\Windows", L"12a", L" 123", L"-5", L"\uff11\uff12"};
    for (const wchar_t *bad : kBadValues) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(bad)));
        SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", bad);
        int64_t before = systemTime();
        std::wstring time;
        ASSERT_TRUE(expand(L"{TIME}", 4096, &time));
        EXPECT_TRUE(isTimeBetween(time, before, systemTime()));
        EXPECT_EQ(variable(L"ZELMOR_ONEFILE_START"), time);
    }
}

TEST_F(PathSpecTest, ARenewedStartTimeIsTheClockOrOneMoreThanAPublishedTimeTheClockHasNotPassed) {
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", L"123");
    int64_t before = systemTime();
    renewStartTime();
    EXPECT_TRUE(isTimeBetween(variable(L"ZELMOR_ONEFILE_START"), before, systemTime()));
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", L"999999999999999990");
    renewStartTime();
    EXPECT_EQ(variable(L"ZELMOR_ONEFILE_START"), L"999999999999999991");
    EXPECT_TRUE(expandsTo(L"{TIME}", L"999999999999999991"));
}

TEST_F(PathSpecTest, VariableNamesMatchIgnoringTheCaseOfAsciiLetters) {
    setTemporaryDirectory();
    setProgram(L"C:\\x\\t.exe");
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", L"42");
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", L"123");
    EXPECT_TRUE(expandsTo(L"{temp}|{Temp}|{vErSiOn}|{Program_Dir}|{pid}|{Time}",
                          L"C:\\T|C:\\T|" + kBuildVersion + L"|C:\\x|42|123"));
}

TEST_F(PathSpecTest, UnknownEmptyAndOverlongNamesAndAStrayClosingBraceAreRefused) {
    const std::wstring longName(1023, L'N');
    const std::wstring specs[] = {
        L"{}", L"{NOPE}", L"{TEM}", L"{TEMPX}", L"{TEMP }", L"a\\{PID_}",
        L"{" + longName + L"}", L"{" + longName + L"N}", L"{TEMP" + std::wstring(5000, L'x') + L"}",
        L"a}b", L"}", L"{TEMP}}",
    };
    for (const std::wstring &spec : specs) {
        EXPECT_TRUE(isRefused(spec.c_str())) << ::testing::PrintToString(spec.substr(0, 40));
    }
}

TEST_F(PathSpecTest, AnOpenNameAtTheEndIsDroppedAndABraceInsideANameStartsItAgain) {
    setTemporaryDirectory();
    EXPECT_TRUE(expandsTo(L"abc{TEMP", L"abc"));
    EXPECT_TRUE(expandsTo(L"abc{NOPE", L"abc"));
    EXPECT_TRUE(expandsTo(L"abc{", L"abc"));
    EXPECT_TRUE(expandsTo(L"{AB{TEMP}", L"C:\\T"));
    const std::wstring overlongThenVersion = L"{" + std::wstring(3000, L'x') + L"{VERSION}x";
    EXPECT_TRUE(expandsTo(overlongThenVersion.c_str(), kBuildVersion + L"x"));
}

TEST_F(PathSpecTest, LiteralTextFitsUpToOneCharacterShortOfTheCapacity) {
    EXPECT_TRUE(expandsTo(L"1234567", L"1234567", 8));
    EXPECT_TRUE(isRefused(L"12345678", 8));
    EXPECT_TRUE(expandsTo(L"", L"", 1));
    EXPECT_TRUE(isRefused(L"a", 1));
    // After a value: the value fits with its terminator, the literal no more.
    EXPECT_TRUE(expandsTo(L"{VERSION}x", kBuildVersion + L"x", kBuildVersion.size() + 2));
    EXPECT_TRUE(isRefused(L"{VERSION}x", kBuildVersion.size() + 1));
}

TEST_F(PathSpecTest, TempLosesTrailingBackslashesOfTheWholeOutputAndMustGiveADirectory) {
    setTemporaryDirectory();
    EXPECT_TRUE(expandsTo(L"{TEMP}\\x", L"C:\\T\\x"));
    EXPECT_TRUE(expandsTo(L"{TEMP}", L"C:\\T", 6));
    // Too little room for the directory fails the expansion: without it the
    // target would land at the root of the current drive.
    EXPECT_TRUE(isRefused(L"{TEMP}", 5));
    EXPECT_TRUE(isRefused(L"x\\{TEMP}", 6));
    setTemporaryDirectory(L"C:\\");
    EXPECT_TRUE(expandsTo(L"{TEMP}", L"C:"));
    EXPECT_TRUE(expandsTo(L"{TEMP}\\onefile", L"C:\\onefile"));
    // The system takes TMP before TEMP and would make a relative value absolute.
    SetEnvironmentVariableW(L"TEMP", L"relative");
    EXPECT_TRUE(expandsTo(L"{TEMP}", L"C:"));
    SetEnvironmentVariableW(L"TMP", nullptr);
    EXPECT_TRUE(isRefused(L"{TEMP}\\onefile"));
}

TEST_F(PathSpecTest, ProgramBaseAndDirWorkOnlyOnThePartTheyAppend) {
    struct Case {
        const wchar_t *argv0, *program, *base, *dir;
    };
    const Case kCases[] = {
        {L"C:\\x\\Tool.EXE", L"C:\\x\\Tool.EXE", L"C:\\x\\Tool", L"C:\\x"},
        {L"tool", L"tool", L"tool", L"tool"},
        {L"tool.exe", L"tool.exe", L"tool", L"tool.exe"},
        {L"a.exe.exe", L"a.exe.exe", L"a.exe", L"a.exe.exe"},
        {L".exe", L".exe", L"", L".exe"},
        {L"exe", L"exe", L"exe", L"exe"},
        {L"C:\\dir.exe\\tool", L"C:\\dir.exe\\tool", L"C:\\dir.exe\\tool", L"C:\\dir.exe"},
        {L"\\\\srv\\share\\tool.exe", L"\\\\srv\\share\\tool.exe", L"\\\\srv\\share\\tool", L"\\\\srv\\share"},
        {L"C:\\x\\", L"C:\\x\\", L"C:\\x\\", L"C:\\x"},  // no backslash is dropped from argv[0]
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.argv0)));
        setProgram(c.argv0);
        EXPECT_TRUE(expandsTo(L"{PROGRAM}", c.program));
        EXPECT_TRUE(expandsTo(L"{PROGRAM_BASE}", c.base));
        EXPECT_TRUE(expandsTo(L"{PROGRAM_DIR}", c.dir));
    }
    setProgram(L"");
    EXPECT_TRUE(expandsTo(L"x.exe{PROGRAM_BASE}", L"x.exe"));
    EXPECT_TRUE(expandsTo(L"C:\\pre\\{PROGRAM_DIR}", L"C:\\pre\\"));
    setProgram(L"tool");
    EXPECT_TRUE(expandsTo(L"C:\\pre\\{PROGRAM_DIR}", L"C:\\pre\\tool"));
}

TEST_F(PathSpecTest, HomeAndCacheDirAreTheShellFoldersWithoutTrailingBackslashes) {
    const std::wstring home = shellFolder(CSIDL_PROFILE);
    const std::wstring cache = shellFolder(CSIDL_LOCAL_APPDATA);
    ASSERT_NE(home, L"<none>");
    ASSERT_NE(cache, L"<none>");
    EXPECT_TRUE(expandsTo(kHomeSpec, home));
    EXPECT_TRUE(expandsTo(L"{home}\\.cache|{CACHE_DIR}\\x", home + L"\\.cache|" + cache + L"\\x"));
}

TEST_F(PathSpecTest, AppendKnownFolderAppendsTheWholeFolderOrLeavesTheOutputAlone) {
    wchar_t path[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, path), S_OK);
    const std::wstring expected = L"pre" + std::wstring(path);
    std::vector<wchar_t> output(expected.size() + 1, kGuard);
    wcscpy(output.data(), L"pre");
    ASSERT_TRUE(appendKnownFolder(output.data(), CSIDL_PROFILE, output.size()));  // exactly fills it
    EXPECT_EQ(std::wstring(output.data()), expected);

    wcscpy(output.data(), L"pre");
    EXPECT_FALSE(appendKnownFolder(output.data(), 0xFFFF, output.size()));
    EXPECT_EQ(std::wstring(output.data()), L"pre");
}

using PathSpecDeathTest = PathSpecTest;

void expandInto(const wchar_t *spec, size_t capacity) {
    std::vector<wchar_t> buffer(capacity);
    expandPathSpec(buffer.data(), spec, capacity);
}

TEST_F(PathSpecDeathTest, AValueThatLeavesNoRoomForItsTerminatorEndsTheProcess) {
    EXPECT_TRUE(expandsTo(L"ab{VERSION}", L"ab" + kBuildVersion, kBuildVersion.size() + 3));
    EXPECT_EXIT(expandInto(L"ab{VERSION}", kBuildVersion.size() + 2), ::testing::ExitedWithCode(kFastFailExit), "^$");

    setProgram(L"C:\\x\\a.exe");  // 10 characters
    EXPECT_TRUE(expandsTo(L"{PROGRAM}", L"C:\\x\\a.exe", 11));
    EXPECT_EXIT(expandInto(L"{PROGRAM}", 10), ::testing::ExitedWithCode(kFastFailExit), "^$");
    // Cutting ".exe" off afterwards does not make a longer argv[0] fit.
    EXPECT_TRUE(expandsTo(L"{PROGRAM_BASE}", L"C:\\x\\a", 11));
    EXPECT_EXIT(expandInto(L"{PROGRAM_BASE}", 10), ::testing::ExitedWithCode(kFastFailExit), "^$");

    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", L"12345");
    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_START", L"678");
    EXPECT_TRUE(expandsTo(L"{PID}_{TIME}", L"12345_678", 10));
    EXPECT_EXIT(expandInto(L"{PID}", 5), ::testing::ExitedWithCode(kFastFailExit), "^$");
    EXPECT_EXIT(expandInto(L"{PID}_{TIME}", 9), ::testing::ExitedWithCode(kFastFailExit), "^$");

    SetEnvironmentVariableW(L"ZELMOR_ONEFILE_PARENT", nullptr);
    const size_t ownIdLength = std::to_wstring(GetCurrentProcessId()).size();
    EXPECT_EXIT(expandInto(L"{PID}", ownIdLength), ::testing::ExitedWithCode(kFastFailExit), "^$");

    const std::wstring home = shellFolder(CSIDL_PROFILE);
    EXPECT_TRUE(expandsTo(L"{HOME}", home, home.size() + 1));
    EXPECT_EXIT(expandInto(L"{HOME}", home.size()), ::testing::ExitedWithCode(kFastFailExit), "^$");
    wchar_t output[4] = L"pre";
    EXPECT_EXIT(appendKnownFolder(output, CSIDL_PROFILE, 4), ::testing::ExitedWithCode(kFastFailExit), "^$");
}

TEST_F(PathSpecDeathTest, AMissingArgv0EndsTheProcess) {
    setProgram(L"tool");
    __argc = 0;
    EXPECT_EXIT(expandInto(L"{PROGRAM}", 4096), ::testing::ExitedWithCode(kFastFailExit), "^$");
    EXPECT_EXIT(expandInto(L"{PROGRAM_BASE}", 4096), ::testing::ExitedWithCode(kFastFailExit), "^$");
    __argc = 1;
    __wargv = nullptr;
    EXPECT_EXIT(expandInto(L"{PROGRAM}", 4096), ::testing::ExitedWithCode(kFastFailExit), "^$");
}

}  // namespace
