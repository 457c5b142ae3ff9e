#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <wchar.h>

#include <random>
#include <string>
#include <vector>

#include "base/launcher_state.h"
#include "child/child_launch.h"
#include "child/command_line.h"

namespace {

constexpr int kFastFailExit = static_cast<int>(0xC0000409);
constexpr size_t kLongestLine = kChildCommandLineCapacity - 1;

std::wstring compose(const std::vector<std::wstring> &elements) {
    std::vector<wchar_t *> pointers;
    for (const std::wstring &element : elements) {
        pointers.push_back(const_cast<wchar_t *>(element.c_str()));
    }
    composeCommandLine(static_cast<int>(pointers.size()), pointers.data());
    return launcherState.childCommandLine;
}

// The system's own splitting, the rule the child's runtime applies.
std::vector<std::wstring> split(const wchar_t *line) {
    int count = 0;
    wchar_t **elements = CommandLineToArgvW(line, &count);
    std::vector<std::wstring> result;
    if (elements == nullptr) {
        ADD_FAILURE() << "CommandLineToArgvW failed with " << GetLastError();
        return result;
    }
    result.assign(elements, elements + count);
    LocalFree(elements);
    return result;
}

TEST(CommandLineTest, ElementsWithoutTheFiveCharactersPassUnchangedBackslashesIncluded) {
    EXPECT_EQ(compose({L"C:\\data\\"}), L"C:\\data\\");
    EXPECT_EQ(compose({L"C:\\x\\app.exe", L"a\\\\b", L"|&<>^%!", L"\r", L"\\"}),
              L"C:\\x\\app.exe a\\\\b |&<>^%! \r \\");
}

TEST(CommandLineTest, EachOfTheFiveCharactersForcesQuotes) {
    EXPECT_EQ(compose({L"a b"}), L"\"a b\"");
    EXPECT_EQ(compose({L"a\tb"}), L"\"a\tb\"");
    EXPECT_EQ(compose({L"a\nb"}), L"\"a\nb\"");
    EXPECT_EQ(compose({L"a\vb"}), L"\"a\vb\"");
    EXPECT_EQ(compose({L"a\"b"}), L"\"a\\\"b\"");
    EXPECT_EQ(compose({L" "}), L"\" \"");
}

TEST(CommandLineTest, BackslashesInsideQuotesAreDoubledOnlyBeforeAQuote) {
    // n backslashes before an ordinary character stay n.
    EXPECT_EQ(compose({L"a\\\\b c"}), L"\"a\\\\b c\"");
    // Before the closing quote: 2n.
    EXPECT_EQ(compose({L"C:\\my dir\\"}), L"\"C:\\my dir\\\\\"");
    EXPECT_EQ(compose({L"x \\\\\\"}), L"\"x \\\\\\\\\\\\\"");
    // Before a literal quote: 2n + 1.
    EXPECT_EQ(compose({L"say \"hi\""}), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(compose({L"a\\\"b"}), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(compose({L"x\\\\\""}), L"\"x\\\\\\\\\\\"\"");
}

TEST(CommandLineTest, AnEmptyElementIsQuotedSoTheChildReceivesIt) {
    EXPECT_EQ(compose({L"a", L"", L"b"}), L"a \"\" b");
    EXPECT_EQ(compose({L"a", L"", L"", L"b"}), L"a \"\" \"\" b");
    EXPECT_EQ(compose({L"a", L""}), L"a \"\"");
    EXPECT_EQ(split(L"C:\\x\\app.exe --prefix \"\" \"\""),
              (std::vector<std::wstring>{L"C:\\x\\app.exe", L"--prefix", L"", L""}));
}

TEST(CommandLineTest, EveryCompositionStartsFromAnEmptyLine) {
    compose({L"C:\\x\\app.exe", L"left over"});
    EXPECT_EQ(compose({}), L"");
    EXPECT_EQ(compose({L"b"}), L"b");
}

TEST(CommandLineTest, ALineOfExactly32767CharactersFits) {
    const std::wstring first(32000, L'a');
    const std::wstring second(kLongestLine - first.size() - 1, L'b');
    std::wstring line = compose({first, second});
    EXPECT_EQ(line.size(), kLongestLine);
    EXPECT_TRUE(line == first + L" " + second);

    // The quotes and the doubled trailing backslash count too.
    std::wstring quoted = L"c d" + std::wstring(kLongestLine - 4 - 3, L'e') + L"\\";
    line = compose({quoted});
    EXPECT_EQ(line.size(), kLongestLine);
    EXPECT_TRUE(line == L"\"" + quoted + L"\\\"");
}

using CommandLineDeathTest = ::testing::Test;

TEST(CommandLineDeathTest, OneCharacterMoreThan32767Aborts) {
    const std::wstring first(32000, L'a');
    const std::wstring second(kLongestLine - first.size(), L'b');
    EXPECT_EXIT(compose({first, second}), ::testing::ExitedWithCode(kFastFailExit), "^$");
    // Only the closing quote of an empty element overflows.
    EXPECT_EXIT(compose({std::wstring(kLongestLine - 2, L'a'), L""}), ::testing::ExitedWithCode(kFastFailExit), "^$");
    // Only the escape of the trailing backslash overflows.
    std::wstring quoted = L"c d" + std::wstring(kLongestLine - 4 - 2, L'e') + L"\\";
    EXPECT_EXIT(compose({quoted}), ::testing::ExitedWithCode(kFastFailExit), "^$");
}

TEST(CommandLineTest, RandomElementListsSplitBackUnchanged) {
    // Weighted towards the characters the quoting is about.
    const wchar_t alphabet[] = L"ab\\\\\\\\\"\"  \t\n\v\x00e9";
    const size_t alphabetSize = wcslen(alphabet);
    // The system parses the program name by a rule of its own (no escapes),
    // so the first element is a path, with or without a blank, like the
    // launcher's own path.
    const wchar_t *const firsts[] = {L"C:\\x\\app.exe", L"C:\\my apps\\app.exe"};
    std::mt19937 random(20240607u);
    for (int round = 0; round < 3000; round++) {
        std::vector<std::wstring> elements{firsts[round % 2]};
        int count = static_cast<int>(random() % 7);
        for (int i = 0; i < count; i++) {
            std::wstring element;
            size_t length = random() % 9;
            for (size_t j = 0; j < length; j++) {
                element += alphabet[random() % alphabetSize];
            }
            elements.push_back(element);
        }
        std::wstring line = compose(elements);
        std::vector<std::wstring> parsed = split(line.c_str());
        ASSERT_EQ(parsed, elements) << "round " << round << ", line " << ::testing::PrintToString(line);
    }
}

class BuildChildCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = launcherState.ownModulePath;
    }
    void TearDown() override {
        wcscpy(launcherState.ownModulePath, saved_.c_str());
    }
    std::wstring saved_;
};

TEST_F(BuildChildCommandLineTest, TheProgramNameBecomesTheOwnModulePathAndTheRestIsKept) {
    const wchar_t ownPath[] = L"C:\\Program Files\\Zelmor\\app.exe";
    wcscpy(launcherState.ownModulePath, ownPath);
    wchar_t *line = buildChildCommandLine();
    EXPECT_EQ(line, launcherState.childCommandLine);
    EXPECT_EQ(std::wstring(line).rfind(L"\"C:\\Program Files\\Zelmor\\app.exe\"", 0), 0u) << line;
    // The rest is this test program's own command line.
    std::vector<std::wstring> expected = split(GetCommandLineW());
    ASSERT_GE(expected.size(), 1u);
    EXPECT_NE(expected[0], ownPath);
    expected[0] = ownPath;
    EXPECT_EQ(split(line), expected);
    EXPECT_STREQ(launcherState.ownModulePath, ownPath);
}

TEST_F(BuildChildCommandLineTest, AnEmptyOwnModulePathIsFilledFromTheSystem) {
    launcherState.ownModulePath[0] = L'\0';
    wchar_t module[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
    std::vector<std::wstring> parsed = split(buildChildCommandLine());
    EXPECT_STREQ(launcherState.ownModulePath, module);
    ASSERT_GE(parsed.size(), 1u);
    EXPECT_EQ(parsed[0], module);
}

TEST(BuildChildCommandLineDeathTest, ASplitThatFailsIsALaunchFailure) {
    // Also when the shell cannot be loaded or lacks the function: each death
    // test runs in a fresh process, where the shell is not loaded yet.
    const struct {
        const char *failures;
        const char *expected;
    } cases[] = {{"CommandLineToArgvW:1", "^Error, couldn't launch child \\(\\[Error 8\\] "},
                 {"LoadLibraryExW:1:126", "^Error, couldn't launch child \\(\\[Error 126\\] "},
                 {"GetProcAddress:1:127", "^Error, couldn't launch child \\(\\[Error 127\\] "}};
    for (const auto &road : cases) {
        SetEnvironmentVariableA("ZELMOR_TEST_FAIL", road.failures);
        EXPECT_EXIT(buildChildCommandLine(), ::testing::ExitedWithCode(2), road.expected) << road.failures;
    }
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", nullptr);
}

}  // namespace
