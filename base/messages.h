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

// ZELMOR_CACHE_TRACE=1: the one line on standard error that says which road
// a run of an executable packed with --cache took, and why.
constexpr char kCacheTraceFormat[] = "zelmor cache: %s\n";
constexpr char kCacheWarm[] = "warm";                  // a checked version, run in this process
constexpr char kCacheCold[] = "cold";                  // extracted and published by this run
constexpr char kCacheRepaired[] = "repaired";          // a damaged version replaced by this run's extraction
constexpr char kCacheJoined[] = "joined";              // another run published first; its version used
constexpr char kCacheOff[] = "per-run: ZELMOR_CACHE=off";
constexpr char kCacheElevated[] = "per-run: elevated";
constexpr char kCacheNoBase[] = "per-run: no usable base folder";
constexpr char kCacheNotLocal[] = "per-run: ZELMOR_CACHE_DIR is not a local fully qualified path";
constexpr char kCacheNotPrivate[] = "per-run: folder not private to this user";
constexpr char kCacheNoIndex[] = "per-run: unreadable cache index";
constexpr char kCacheStagingRefused[] = "per-run: staging directory refused";
constexpr char kCachePublishRefused[] = "per-run: publish refused";
constexpr char kCacheDamagedInUse[] = "per-run: damaged version in use";
