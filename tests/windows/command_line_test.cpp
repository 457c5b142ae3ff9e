#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <stdlib.h>
#include <wchar.h>

#include <random>
#include <string>
#include <vector>

#include "processes/argument_split.h"
#include "processes/child_launch.h"
#include "processes/command_line.h"

namespace {

constexpr int kFastFailExit = static_cast<int>(0xC0000409);
constexpr size_t kLongestLine = kChildCommandLineCapacity - 1;

std::wstring compose(const std::vector<std::wstring> &elements) {
    std::vector<wchar_t *> pointers;
    for (const std::wstring &element : elements) {
        pointers.push_back(const_cast<wchar_t *>(element.c_str()));
    }
    static wchar_t line[kChildCommandLineCapacity];
    composeCommandLine(static_cast<int>(pointers.size()), pointers.data(), line);
    return line;
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

// The launcher's split of `line` is the system's, element for element.
void expectSplitAsTheSystem(const std::wstring &line) {
    static SplitArguments ours;
    static wchar_t module[MAX_PATH];
    if (module[0] == L'\0') {
        GetModuleFileNameW(nullptr, module, MAX_PATH);  // a failure shows in the empty line's split
    }
    splitCommandLine(line.c_str(), module, &ours);
    ASSERT_EQ(std::vector<std::wstring>(ours.elements, ours.elements + ours.count), split(line.c_str()))
        << "line " << ::testing::PrintToString(line);
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
        ASSERT_NO_FATAL_FAILURE(expectSplitAsTheSystem(line));
    }
}

TEST(CommandLineSplitTest, TrickyAndRandomLinesSplitAsTheSystemSplitsThem) {
    std::vector<std::wstring> lines = {
        L"", L" ", L"\t", L" abc d", L"\tabc d", L"a\vb c", L"a\nb c", L"a\rb c", L"a\x3000" L"b c", L"\"a b\"c d",
        L"\"a b\"\"c d", L"\"a b", L"\"", L"\"\" x", L"a\"b c", L"a\\\"b c\" d", L"\"a\\\"b c", L"\"C:\\d\\\" x",
        L"x \"", L"x \"\"", L"x \"\"\"", L"x \"\"\"\"", L"x \"\"\"\"\"", L"x \"\"\"\"\"\"\"", L"x \"a\"\"b\" c",
        L"x \"a\"\"\"b\" c", L"x \"a\"\"\"\"b\" c", L"x a\\\\\\\"b", L"x a\\\\\"b c\"", L"x a\\\\b", L"x \\",
        L"x a\\\\\"", L"x   ", L"x \"\" \"\"", L"x \\\"\"a", L"x \"\\\"\"a b", L"x \"a\\\\\"\"b c", L"x a\"\\\"\"\"b",
        L"x\t\ty\t", L"x a\" b\"c\" d", L"x \\\\\\\\\"\"\"\" \\\\\\\"\"\"",
        // As long as a line can be: one element, the most quotes, backslashes, elements.
        std::wstring(kLongestLine, L'a'), L"x " + std::wstring(kLongestLine - 2, L'"'),
        L"x " + std::wstring(kLongestLine - 3, L'\\') + L"\"", L"\t"};
    while (lines.back().size() + 2 <= kLongestLine) {
        lines.back().insert(0, L" a");
    }
    for (const std::wstring &line : lines) {
        ASSERT_NO_FATAL_FAILURE(expectSplitAsTheSystem(line));
    }
    // Runs of what the rules name and of what they do not (other white space, non-ASCII, half a
    // surrogate pair), every thousandth line at full length; scripts/fuzz.sh split searches on.
    const wchar_t alphabet[] = L"ab  \t\"\"\"\\\\\\\v\n\r\x00e9\x3000\xd83d";
    const char *count = getenv("ZELMOR_SPLIT_LINES"), *seed = getenv("ZELMOR_SPLIT_SEED");
    const unsigned long randomLines = count ? strtoul(count, nullptr, 10) : 10000;
    std::mt19937 random(seed ? strtoul(seed, nullptr, 10) : 20240611u);
    for (unsigned long i = 0; i < randomLines; i++) {
        const size_t length = i % 1000 == 999 ? kLongestLine : random() % 40;
        std::wstring line;
        while (line.size() < length) {
            line.append(1 + random() % 3, alphabet[random() % wcslen(alphabet)]);
        }
        line.resize(length);
        ASSERT_NO_FATAL_FAILURE(expectSplitAsTheSystem(line)) << "random line " << i << " of seed " << (seed ? seed : "default");
    }
}

class BuildChildCommandLineTest : public ::testing::Test {
protected:
    OwnModule own_ = {};
    ChildRun run_ = {};
};

TEST_F(BuildChildCommandLineTest, TheProgramNameBecomesTheOwnModulePathAndTheRestIsKept) {
    const wchar_t ownPath[] = L"C:\\Program Files\\Zelmor\\app.exe";
    wcscpy(own_.ownModulePath, ownPath);
    wchar_t *line = buildChildCommandLine(&run_, &own_);
    EXPECT_EQ(line, run_.childCommandLine);
    EXPECT_EQ(std::wstring(line).rfind(L"\"C:\\Program Files\\Zelmor\\app.exe\"", 0), 0u) << line;
    // The rest is this test program's own command line.
    std::vector<std::wstring> expected = split(GetCommandLineW());
    ASSERT_GE(expected.size(), 1u);
    EXPECT_NE(expected[0], ownPath);
    expected[0] = ownPath;
    EXPECT_EQ(split(line), expected);
    EXPECT_STREQ(own_.ownModulePath, ownPath);
}

TEST_F(BuildChildCommandLineTest, AnEmptyOwnModulePathIsFilledFromTheSystem) {
    wchar_t module[MAX_PATH];
    ASSERT_NE(GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
    std::vector<std::wstring> parsed = split(buildChildCommandLine(&run_, &own_));
    EXPECT_STREQ(own_.ownModulePath, module);
    ASSERT_GE(parsed.size(), 1u);
    EXPECT_EQ(parsed[0], module);
}

TEST(BuildChildCommandLineDeathTest, TheSplitLoadsNoLibrary) {
    // Were a library loaded for the split, these would end the launch (each death test runs afresh).
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", "LoadLibraryExW:1:126,GetProcAddress:1:127");
    static OwnModule own;
    static ChildRun run;
    EXPECT_EXIT((buildChildCommandLine(&run, &own), exit(0)), ::testing::ExitedWithCode(0), "^$");
    SetEnvironmentVariableA("ZELMOR_TEST_FAIL", nullptr);
}

}  // namespace
