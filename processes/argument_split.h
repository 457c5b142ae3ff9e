#pragma once
// A command line split into its elements exactly as the system's shell
// splits one (CommandLineToArgvW), without loading the shell for it:
// - an empty line gives one element, the program's own path;
// - the first element, the program name, knows no escapes: a quoted one ends
//   at the next double quote, else it ends at the first blank or tab (so
//   leading blanks give an empty one); text right behind its closing quote
//   starts the next element;
// - then blanks and tabs separate elements outside quotes; a run of 2n
//   backslashes before a double quote gives n backslashes and the quote
//   toggles quoting, 2n+1 give n backslashes and a literal quote, other
//   backslashes are literal; inside quotes a doubled quote gives a literal
//   quote and ends the quoted part. No other character is special.
#include <stddef.h>

// The system keeps a command line in at most 32767 characters.
constexpr size_t kCommandLineCapacity = 32768;

// Each element with its terminator takes no more room than the characters
// of the line it stands for (escapes only shrink; every terminator has a
// blank, a quote or the line's end to pay for it), so the text of all of
// them fits in as much as the line does. The elements after the first take
// two characters each at least (one of them a blank, or the first
// element's quotes), so a line has at most 16384.
constexpr size_t kSplitTextCapacity = kCommandLineCapacity;
constexpr size_t kSplitElementCapacity = kCommandLineCapacity / 2;

struct SplitArguments {
    int count;
    wchar_t *elements[kSplitElementCapacity];  // `count` of them, into `text`
    wchar_t text[kSplitTextCapacity];
};

// Splits `line` into `split`, replacing what it held. `programPath` is the
// one element of an empty line (GetModuleFileNameW's result, as the system
// gives it). Never fails on a line the system can hold; a longer line, or a
// path beyond the text's room, is an internal-limit abort.
void splitCommandLine(const wchar_t *line, const wchar_t *programPath, SplitArguments *split);
