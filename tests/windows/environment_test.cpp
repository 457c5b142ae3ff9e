#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "paths/environment.h"

namespace {

constexpr int kFastFailExit = static_cast<int>(0xC0000409);
constexpr char kName[] = "ZELMOR_TEST_ENVIRONMENT";
constexpr wchar_t kWideName[] = L"ZELMOR_TEST_ENVIRONMENT";
// 39 characters, the longest name the 40-character name buffer takes.
constexpr char kLongestName[] = "ZELMOR_TEST_NAME_OF_THIRTY_NINE_CHARS_X";
// The same with one character more.
constexpr char kTooLongName[] = "ZELMOR_TEST_NAME_OF_THIRTY_NINE_CHARS_XY";

// What the system itself holds, bypassing the module under test; a distinct
// marker for "not set" so that an empty value cannot pass for it.
std::wstring systemValue(const wchar_t *name) {
    // Wine mishandles buffers beyond 32768 characters; no value is longer.
    static wchar_t buffer[32768];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return L"<unset>";
    }
    return std::wstring(buffer, length);
}

// Compares and frees a value returned by getEnvVar, which the caller owns.
::testing::AssertionResult readsAs(wchar_t *value, const std::wstring &expected) {
    if (value == nullptr) {
        return ::testing::AssertionFailure() << "read none";
    }
    std::wstring got(value);
    free(value);
    if (got != expected) {
        return ::testing::AssertionFailure() << "read " << got.size() << " characters, expected " << expected.size();
    }
    return ::testing::AssertionSuccess();
}

class EnvironmentTest : public ::testing::Test {
protected:
    void TearDown() override {
        SetEnvironmentVariableW(kWideName, nullptr);
        SetEnvironmentVariableA(kLongestName, nullptr);
    }
};

TEST_F(EnvironmentTest, SetGetAndUnsetActOnTheProcessEnvironment) {
    ASSERT_EQ(getEnvVar(kName), nullptr);

    EXPECT_TRUE(setEnvVar(kName, L"C:\\T\\first"));
    EXPECT_EQ(systemValue(kWideName), L"C:\\T\\first");
    EXPECT_TRUE(readsAs(getEnvVar(kName), L"C:\\T\\first"));

    // A value set by anyone else is read too, and replacing one takes effect.
    SetEnvironmentVariableW(kWideName, L"second");
    EXPECT_TRUE(readsAs(getEnvVar(kName), L"second"));

    // Wide values pass unchanged, beyond Latin-1 and surrogate pairs included.
    const std::wstring wide = L"C:\\\u00dcber\\\u65e5\u672c\\\U0001F600";
    EXPECT_TRUE(setEnvVar(kName, wide.c_str()));
    EXPECT_EQ(systemValue(kWideName), wide);
    EXPECT_TRUE(readsAs(getEnvVar(kName), wide));

    // Also from the C runtime's copy, which programs sharing the runtime hand on.
    ASSERT_EQ(_wputenv((std::wstring(kWideName) + L"=runtime").c_str()), 0);
    EXPECT_TRUE(unsetEnvVar(kName));
    EXPECT_EQ(systemValue(kWideName), L"<unset>");
    EXPECT_EQ(getEnvVar(kName), nullptr);
    EXPECT_EQ(_wgetenv(kWideName), nullptr);
}

TEST_F(EnvironmentTest, EveryReadIsAnOwnCopyTheCallerMayChange) {
    setEnvVar(kName, L"shared");
    wchar_t *first = getEnvVar(kName);
    wchar_t *second = getEnvVar(kName);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    first[0] = L'X';
    EXPECT_EQ(std::wstring(second), L"shared");
    EXPECT_TRUE(readsAs(getEnvVar(kName), L"shared"));
    free(first);
    free(second);
}

TEST_F(EnvironmentTest, AnEmptyValueReadsLikeOneThatIsNotSet) {
    ASSERT_TRUE(SetEnvironmentVariableW(kWideName, L""));
    ASSERT_EQ(systemValue(kWideName), L"");  // the system does hold it
    EXPECT_EQ(getEnvVar(kName), nullptr);

    setEnvVar(kName, L"x");
    setEnvVar(kName, L"");
    EXPECT_EQ(getEnvVar(kName), nullptr);
}

TEST_F(EnvironmentTest, TheLongestValueReadsBackWhole) {
    std::wstring longest(32767, L'v');
    longest[0] = L'a';
    longest[32766] = L'z';
    // Wine's SetEnvironmentVariableW keeps at most 32766 characters; the
    // native call below stores the system's largest value exactly.
    using SetVariable = LONG(WINAPI *)(void *, UNICODE_STRING *, UNICODE_STRING *);
    auto setVariable = reinterpret_cast<SetVariable>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlSetEnvironmentVariable")));
    ASSERT_NE(setVariable, nullptr);
    UNICODE_STRING name = {static_cast<USHORT>(wcslen(kWideName) * 2), static_cast<USHORT>(wcslen(kWideName) * 2),
                           const_cast<wchar_t *>(kWideName)};
    UNICODE_STRING value = {32767 * 2, 32767 * 2, &longest[0]};
    ASSERT_EQ(setVariable(nullptr, &name, &value), 0);
    ASSERT_EQ(systemValue(kWideName).size(), 32767u);

    EXPECT_TRUE(readsAs(getEnvVar(kName), longest));
}

TEST_F(EnvironmentTest, ANameOfThirtyNineCharactersIsWidenedWhole) {
    EXPECT_TRUE(setEnvVar(kLongestName, L"39"));
    char narrow[8] = "";
    EXPECT_EQ(GetEnvironmentVariableA(kLongestName, narrow, sizeof narrow), 2u);
    EXPECT_STREQ(narrow, "39");
    EXPECT_TRUE(readsAs(getEnvVar(kLongestName), L"39"));
    EXPECT_TRUE(unsetEnvVar(kLongestName));
    EXPECT_EQ(GetEnvironmentVariableA(kLongestName, narrow, sizeof narrow), 0u);
    EXPECT_EQ(getEnvVar(kLongestName), nullptr);
}

TEST_F(EnvironmentTest, AnEmptyNameIsHandedToTheSystemWhichRefusesIt) {
    EXPECT_EQ(getEnvVar(""), nullptr);
    EXPECT_FALSE(setEnvVar("", L"x"));
}

TEST_F(EnvironmentTest, AProcessStartedAfterwardsInheritsTheChange) {
    setEnvVar(kName, L"37");
    wchar_t commandLine[] = L"cmd.exe /c exit %ZELMOR_TEST_ENVIRONMENT%";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 37u);
}

using EnvironmentDeathTest = EnvironmentTest;

TEST_F(EnvironmentDeathTest, ANameOfFortyCharactersEndsTheProcessInEveryOperation) {
    // If the name reached the system the read would find this value and return.
    SetEnvironmentVariableA(kTooLongName, "present");
    EXPECT_EXIT(free(getEnvVar(kTooLongName)), ::testing::ExitedWithCode(kFastFailExit), "^$");
    EXPECT_EXIT(setEnvVar(kTooLongName, L"x"), ::testing::ExitedWithCode(kFastFailExit), "^$");
    EXPECT_EXIT(unsetEnvVar(kTooLongName), ::testing::ExitedWithCode(kFastFailExit), "^$");
    SetEnvironmentVariableA(kTooLongName, nullptr);
}

}  // namespace
