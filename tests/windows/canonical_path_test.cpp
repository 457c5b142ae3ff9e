#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "paths/canonical_path.h"
#include "scratch_files.h"

namespace {

constexpr int kFastFailExit = static_cast<int>(0xC0000409);
constexpr size_t kOwnPathCapacity = 4097;
constexpr size_t kGuardLength = 16;
constexpr wchar_t kGuard = 0xFEFE;
// A death test's child runs the fixture again and must find the parent's files.
constexpr wchar_t kScratchVariable[] = L"ZELMOR_TEST_CANONICAL_SCRATCH";

struct Outcome {
    bool ok;
    std::wstring text;
};

// Runs `operation` on `path` in a buffer of `capacity` followed by guard
// characters that it must never touch.
template <typename Operation>
Outcome inBuffer(const std::wstring &path, size_t capacity, Operation operation) {
    std::vector<wchar_t> buffer(capacity + kGuardLength, kGuard);
    wcscpy(buffer.data(), path.c_str());
    bool ok = operation(buffer.data(), capacity);
    for (size_t i = capacity; i < buffer.size(); i++) {
        if (buffer[i] != kGuard) {
            ADD_FAILURE() << "wrote beyond the capacity of " << capacity;
            break;
        }
    }
    return {ok, std::wstring(buffer.data(), wcsnlen(buffer.data(), capacity))};
}

Outcome finalPath(const std::wstring &path, size_t capacity = kOwnPathCapacity) {
    return inBuffer(path, capacity, [](wchar_t *buffer, size_t size) { return finalPathOf(buffer, size); });
}

std::wstring resolved(const std::wstring &path, size_t capacity = kOwnPathCapacity) {
    return inBuffer(path, capacity, [](wchar_t *buffer, size_t size) {
               resolveFinalPath(buffer, size);
               return true;
           }).text;
}

std::wstring shortened(const std::wstring &path, size_t capacity = kOwnPathCapacity) {
    return inBuffer(path, capacity, [](wchar_t *buffer, size_t size) {
               shortenDirectoryPart(buffer, size);
               return true;
           }).text;
}

std::wstring canonical(const std::wstring &path) {
    return shortened(resolved(path));
}

std::wstring directoryPart(const std::wstring &path) {
    return path.substr(0, path.rfind(L'\\'));
}

std::wstring fileNamePart(const std::wstring &path) {
    return path.substr(path.rfind(L'\\') + 1);
}

// What the system reports, prefix and all.
std::wstring systemFinalPath(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return L"<cannot open: " + std::to_wstring(GetLastError()) + L">";
    }
    std::vector<wchar_t> buffer(32768);
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), 32768, 0);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (length == 0 || length >= 32768) {
        return L"<failed: " + std::to_wstring(error) + L">";
    }
    return std::wstring(buffer.data(), length);
}

bool sameFile(const std::wstring &a, const std::wstring &b) {
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::wstring *paths[2] = {&a, &b};
    for (int i = 0; i < 2; i++) {
        HANDLE file = CreateFileW(paths[i]->c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        BOOL ok = GetFileInformationByHandle(file, &info[i]);
        CloseHandle(file);
        if (!ok) {
            return false;
        }
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

void createFile(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(file);
}

// gtest's own regular expressions on Windows: punctuation is escaped.
std::string literalPattern(const std::wstring &text) {
    std::string pattern;
    for (wchar_t c : text) {
        if (c < 0x80 && strchr("^$.*+?()[]{}|\\", static_cast<char>(c)) != nullptr) {
            pattern += '\\';
        }
        pattern += static_cast<char>(c);
    }
    return pattern;
}

// For death tests: the result goes to standard error, where the parent matches it.
[[noreturn]] void reportAndExit(const Outcome &outcome) {
    fprintf(stderr, "ok=%d [%ls]", outcome.ok ? 1 : 0, outcome.text.c_str());
    fflush(stderr);
    _exit(0);
}

std::string reportPattern(bool ok, const std::wstring &text) {
    return std::string("^ok=") + (ok ? "1" : "0") + " \\[" + literalPattern(text) + "\\]$";
}

class CanonicalPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t inherited[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(kScratchVariable, inherited, MAX_PATH);
        owner_ = length == 0 || length >= MAX_PATH;
        if (owner_) {
            wchar_t temp[MAX_PATH];
            ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
            // Itself a valid short name, so that only the directories below
            // it have a short form that differs.
            scratch_ = std::wstring(temp) + L"zcp" + std::to_wstring(GetCurrentProcessId() % 100000);
            SetEnvironmentVariableW(kScratchVariable, scratch_.c_str());
        } else {
            scratch_ = inherited;
        }
        longDirectory_ = scratch_ + L"\\a long directory name";
        // Long, but short enough for Wine, whose final path query fails
        // (error 234) from 264 characters on.
        file_ = longDirectory_ + L"\\a long file name " + std::wstring(120, L'n') + L".exe";
        sibling_ = longDirectory_ + L"\\sibling.exe";
        blankDirectory_ = scratch_ + L"\\x y";
        if (owner_) {
            CreateDirectoryW(scratch_.c_str(), nullptr);
            CreateDirectoryW(longDirectory_.c_str(), nullptr);
            CreateDirectoryW((longDirectory_ + L"\\sub").c_str(), nullptr);
            CreateDirectoryW(blankDirectory_.c_str(), nullptr);
            createFile(file_);
            createFile(sibling_);
        }
        systemFinal_ = systemFinalPath(file_);
        ASSERT_EQ(systemFinal_.rfind(L"\\\\?\\", 0), 0u) << "premise: a \\\\?\\ path, got " << ::testing::PrintToString(systemFinal_);
        ASSERT_EQ(systemFinal_[5], L':');
        final_ = systemFinal_.substr(4);
    }

    void TearDown() override {
        if (owner_) {
            removeTree(scratch_);
            SetEnvironmentVariableW(kScratchVariable, nullptr);
        }
    }

    bool owner_ = false;
    std::wstring scratch_, longDirectory_, file_, sibling_, blankDirectory_, systemFinal_, final_;
};

using CanonicalPathDeathTest = CanonicalPathTest;

TEST_F(CanonicalPathTest, TheLongPathPrefixOfADrivePathIsDropped) {
    Outcome outcome = finalPath(longDirectory_ + L"/./" + fileNamePart(file_));
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text, final_);
    outcome = finalPath(L"\\\\?\\" + file_);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text, final_);
}

TEST_F(CanonicalPathTest, AFinalPathStaysAndBothOperationsTwiceEqualOnce) {
    Outcome outcome = finalPath(final_);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text, final_);

    std::wstring once = canonical(file_);
    EXPECT_NE(once, final_);  // the directory has a short form
    EXPECT_EQ(canonical(once), once);
    EXPECT_EQ(resolved(once), final_);
}

TEST_F(CanonicalPathTest, EveryNameOfOneFileGivesTheSameCanonicalPath) {
    std::wstring expected = canonical(file_);
    EXPECT_EQ(fileNamePart(expected), fileNamePart(file_));

    std::wstring upper = file_;
    for (wchar_t &c : upper) {
        c = towupper(c);
    }
    std::wstring slashes = file_;
    for (wchar_t &c : slashes) {
        c = c == L'\\' ? L'/' : c;
    }
    std::vector<wchar_t> shortName(32768);
    ASSERT_NE(GetShortPathNameW(file_.c_str(), shortName.data(), 32768), 0u);
    const std::wstring names[] = {
        upper,
        slashes,
        longDirectory_ + L"\\sub\\..\\.\\" + fileNamePart(file_),
        shortName.data(),
        L"\\\\?\\" + file_,
    };
    for (const std::wstring &name : names) {
        EXPECT_EQ(canonical(name), expected) << "for the name " << ::testing::PrintToString(name);
    }
    EXPECT_NE(canonical(sibling_), expected);
}

TEST_F(CanonicalPathTest, AFinalPathOfCapacityMinusOneFitsAndOneMoreIsRefused) {
    const size_t length = systemFinal_.size();  // what the system writes, prefix included
    Outcome outcome = finalPath(file_, length + 1);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text, final_);
    for (size_t capacity : {length, length - 1}) {
        outcome = finalPath(file_, capacity);
        EXPECT_FALSE(outcome.ok) << "capacity " << capacity;
        EXPECT_EQ(outcome.text, file_) << "capacity " << capacity;
    }
}

TEST_F(CanonicalPathTest, AMissingFileOrADirectoryIsRefusedAndLeftAlone) {
    for (const std::wstring &path : {longDirectory_ + L"\\missing.exe", scratch_ + L"\\missing\\tool.exe",
                                     longDirectory_}) {
        Outcome outcome = finalPath(path);
        EXPECT_FALSE(outcome.ok) << ::testing::PrintToString(path);
        EXPECT_EQ(outcome.text, path);
    }
}

TEST_F(CanonicalPathDeathTest, WhatFinalPathOfRefusesEndsResolveFinalPath) {
    EXPECT_EQ(resolved(file_, systemFinal_.size() + 1), final_);
    EXPECT_EXIT(resolved(file_, systemFinal_.size()), ::testing::ExitedWithCode(kFastFailExit), "^$");
    EXPECT_EXIT(resolved(longDirectory_ + L"\\missing.exe"), ::testing::ExitedWithCode(kFastFailExit), "^$");
}

TEST_F(CanonicalPathDeathTest, WithoutTheFinalPathFunctionOnlyThePrefixIsDropped) {
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", "GetFinalPathNameByHandleW:1");
    EXPECT_EXIT(reportAndExit(finalPath(L"\\\\?\\" + file_)), ::testing::ExitedWithCode(0),
                reportPattern(true, file_));
    std::wstring slashes = longDirectory_ + L"/sub/../" + fileNamePart(file_);
    EXPECT_EXIT(reportAndExit(finalPath(slashes)), ::testing::ExitedWithCode(0), reportPattern(true, slashes));
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", nullptr);
}

TEST_F(CanonicalPathTest, ShorteningReplacesTheDirectoryAndKeepsTheFileName) {
    std::wstring result = shortened(file_);
    EXPECT_EQ(fileNamePart(result), fileNamePart(file_));
    std::wstring directory = directoryPart(result);
    EXPECT_NE(directory, longDirectory_);
    EXPECT_EQ(fileNamePart(directory).find(L' '), std::wstring::npos) << ::testing::PrintToString(result);
    EXPECT_LE(fileNamePart(directory).size(), 12u) << ::testing::PrintToString(result);
    EXPECT_TRUE(sameFile(result, file_)) << ::testing::PrintToString(result);

    // Only the directory must exist.
    EXPECT_EQ(shortened(longDirectory_ + L"\\not there.exe"), directory + L"\\not there.exe");
    EXPECT_EQ(shortened(longDirectory_ + L"\\"), directory + L"\\");
}

TEST_F(CanonicalPathTest, WithoutAShortFormThePathStaysAsItWas) {
    for (const std::wstring &path : {scratch_ + L"\\no such directory\\tool.exe", std::wstring(L"no-backslash-here"),
                                     scratch_ + L"\\tool.exe"}) {
        EXPECT_EQ(shortened(path), path);
    }
}

TEST_F(CanonicalPathDeathTest, ASecondShortFormQueryThatFailsLeavesThePathAlone) {
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", "GetShortPathNameW:1");
    EXPECT_EXIT(reportAndExit({true, shortened(file_)}), ::testing::ExitedWithCode(0), reportPattern(true, file_));
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", nullptr);
}

TEST_F(CanonicalPathDeathTest, AShortFormThatDoesNotFitAborts) {
    // Short names can be longer: "x y" has none of its own.
    const std::wstring path = blankDirectory_ + L"\\f.exe";
    std::wstring roomy = shortened(path);
    ASSERT_GT(roomy.size(), path.size());
    EXPECT_EQ(fileNamePart(roomy), L"f.exe");
    EXPECT_EQ(shortened(path, roomy.size() + 1), roomy);
    EXPECT_EXIT(shortened(path, roomy.size()), ::testing::ExitedWithCode(kFastFailExit), "^$");
    EXPECT_EXIT(shortened(path, path.size() + 1), ::testing::ExitedWithCode(kFastFailExit), "^$");
}

TEST_F(CanonicalPathDeathTest, AFileNameThatCannotBeSetAsideAborts) {
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", "wcsdup:1");
    EXPECT_EXIT(shortened(file_), ::testing::ExitedWithCode(kFastFailExit), "^$");
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", nullptr);
}

// Forms that real files under Wine never produce: network shares and volumes
// without a drive letter.
TEST(LongPathPrefixTest, OnlyDriveAndUncFormsLoseThePrefix) {
    const struct {
        const wchar_t *given;
        const wchar_t *expected;
    } kCases[] = {
        {L"\\\\?\\C:\\Apps\\tool.exe", L"C:\\Apps\\tool.exe"},
        {L"\\\\?\\UNC\\srv\\share\\tool.exe", L"\\\\srv\\share\\tool.exe"},
        {L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\tool.exe",
         L"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\tool.exe"},
        {L"\\\\?\\C", L"\\\\?\\C"},
        {L"C:\\Apps\\tool.exe", L"C:\\Apps\\tool.exe"},
        {L"\\\\srv\\share\\tool.exe", L"\\\\srv\\share\\tool.exe"},
    };
    for (const auto &c : kCases) {
        wchar_t path[128];
        wcscpy(path, c.given);
        dropLongPathPrefix(path);
        EXPECT_EQ(std::wstring(path), std::wstring(c.expected)) << std::wstring(c.given).size();
    }
}

}  // namespace
