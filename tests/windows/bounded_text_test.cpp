#include <gtest/gtest.h>

#include <string>

#include "base/bounded_text.h"

namespace {

constexpr int kFastFailExit = static_cast<int>(0xC0000409);

TEST(BoundedTextTest, TextThatFitsWithItsTerminatorIsCopiedAndAppended) {
    wchar_t buffer[8] = L"";
    EXPECT_EQ(copyText(buffer, 8, L"abc"), 3u);
    EXPECT_EQ(appendText(buffer, 8, L"defg"), 7u);  // capacity - 1 characters
    EXPECT_EQ(std::wstring(buffer), L"abcdefg");
    EXPECT_EQ(appendUnits(buffer, 8, 2, L"XYZ", 1), 3u);  // appends behind a given length
    EXPECT_EQ(std::wstring(buffer), L"abX");
    EXPECT_EQ(appendText(buffer, 8, L""), 3u);
}

TEST(BoundedTextDeathTest, TextThatLeavesNoRoomForTheTerminatorAborts) {
    wchar_t buffer[8] = L"abcd";
    EXPECT_EXIT(appendText(buffer, 8, L"efgh"), ::testing::ExitedWithCode(kFastFailExit), "");
    EXPECT_EXIT(copyText(buffer, 4, L"abcd"), ::testing::ExitedWithCode(kFastFailExit), "");
    wchar_t unterminated[4] = {L'a', L'b', L'c', L'd'};
    EXPECT_EXIT(boundedLength(unterminated, 4), ::testing::ExitedWithCode(kFastFailExit), "");
    EXPECT_EXIT(appendUnits(buffer, 8, 8, L"", 0), ::testing::ExitedWithCode(kFastFailExit), "");
}

}  // namespace
