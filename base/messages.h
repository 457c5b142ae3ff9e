#pragma once
// Every text the launcher prints, each written once. Users and their scripts
// match these byte for byte, so a text changes here or nowhere.

// Ended by fatalError: one line on standard output.
constexpr char kHeaderMissing[] = "Error, couldn't find attached data header.";
constexpr char kDecodeFailed[] = "Error, couldn't decode attached data.";
constexpr char kAllocationFailed[] = "Error, couldn't allocate memory.";
constexpr char kHandlerNotRegistered[] = "Error, failed to register signal handler.";
constexpr char kEntryPointMissing[] = "Error, DLL entry point not found.";

// Ended by fatalErrorWithCode: standard error, with the system's error.
constexpr char kUnpackFailed[] = "Error, couldn't unpack file to target path.";
constexpr char kLaunchFailed[] = "Error, couldn't launch child";
constexpr char kLoadFailed[] = "Error, load DLL.";
constexpr char kParentUnconfirmed[] = "Error, couldn't confirm the launching process.";

// The line of fatalErrorWithCode: the message, the error number as a signed
// 32-bit number, and the system's English text for it (which ends in its
// own line end), or kNoSystemText when the system has none.
constexpr char kSystemErrorFormat[] = "%s ([Error %ld] %s)\n";
constexpr char kNoSystemText[] = "no system text for this error";

// The lines that name a path (a wide string), on standard error.
constexpr char kOpenForWritingFormat[] = "Error, failed to open '%ls' for writing.\n";
constexpr char kSpecExpansionFormat[] = "Error, couldn't runtime expand spec '%ls'.\n";
