#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>

#include <string>

#include "base/failure.h"

namespace {

std::string systemErrorLine(const char *message, uint32_t code) {
    ::testing::internal::CaptureStderr();
    printSystemError(message, code);
    fflush(stderr);
    return ::testing::internal::GetCapturedStderr();
}

TEST(PrintSystemErrorTest, WritesMessageNumberAndTheSystemTextWithItsOwnLineEnd) {
    std::string line = systemErrorLine("Error, load DLL.", ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(line.rfind("Error, load DLL. ([Error 2] ", 0), 0u) << line;
    // The system's text keeps its CR LF, so ")" opens the next line.
    ASSERT_GE(line.size(), 5u);
    EXPECT_EQ(line.substr(line.size() - 4), "\r\n)\n") << line;
    EXPECT_GT(line.size(), std::string("Error, load DLL. ([Error 2] \r\n)\n").size());
}

TEST(PrintSystemErrorTest, ANumberWithTheHighBitSetIsPrintedNegative) {
    std::string line = systemErrorLine("Error, couldn't launch child", 0x80070005u);
    EXPECT_EQ(line.rfind("Error, couldn't launch child ([Error -2147024891] ", 0), 0u) << line;
}

TEST(PrintSystemErrorTest, ANumberWithoutSystemTextStillGivesACompleteLine) {
    EXPECT_EQ(systemErrorLine("Error, load DLL.", 0x2000ABCDu),
              "Error, load DLL. ([Error 536914893] no system text for this error)\n");
}

using FailureDeathTest = ::testing::Test;

TEST(FailureDeathTest, ReportedFailuresEndWithExitCode2) {
    EXPECT_EXIT(fatalError("Error, DLL entry point not found."), ::testing::ExitedWithCode(2), "");
    EXPECT_EXIT(fatalErrorWithCode("Error, couldn't launch child", 5), ::testing::ExitedWithCode(2),
                "^Error, couldn't launch child \\(\\[Error 5\\] ");
    EXPECT_EXIT(fatalOpenForWriting(L"C:\\x\\y.dll"), ::testing::ExitedWithCode(2),
                "^Error, failed to open 'C:\\\\x\\\\y.dll' for writing.\n$");
}

TEST(FailureDeathTest, AbortEndsByFailFastOrElseWithCode3AndNoMessage) {
    EXPECT_EXIT(internalLimitAbort(), ::testing::ExitedWithCode(static_cast<int>(0xC0000409)), "^$");
    EXPECT_EXIT(fatalSpecExpansion(L"{TEMP}\\onefile_{PID}_{TIME}"),
                ::testing::ExitedWithCode(static_cast<int>(0xC0000409)),
                "^Error, couldn't runtime expand spec '\\{TEMP\\}\\\\onefile_\\{PID\\}_\\{TIME\\}'.\n$");
    // Systems without fail-fast take the fault-report road.
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", "IsProcessorFeaturePresent:1");
    EXPECT_EXIT(internalLimitAbort(), ::testing::ExitedWithCode(3), "^$");
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", nullptr);
}

}  // namespace
