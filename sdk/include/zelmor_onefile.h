/* Zelmor onefile: the application side.
 *
 * A packed application is a 64-bit Windows DLL that exports run_code. The
 * launcher extracts it with its data files into a fresh directory, loads it
 * there in a second process and calls run_code with the command line's
 * arguments; what run_code returns becomes the executable's exit code.
 *
 * C and C++, MinGW-w64 (GCC, Clang) and MSVC. Header only: the helpers are
 * static inline, so each answers for the module that includes them.
 */
#ifndef ZELMOR_ONEFILE_H
#define ZELMOR_ONEFILE_H

#include <windows.h>

#ifdef __cplusplus
#define ZELMOR_ONEFILE_EXTERN_C extern "C"
#else
#define ZELMOR_ONEFILE_EXTERN_C
#endif

/* Exported from the DLL under its plain name "run_code": no C++ name
 * decoration (extern "C"), and x64 Windows decorates no C names. GCC and
 * Clang for MinGW accept the MSVC spelling. */
#define ZELMOR_ONEFILE_EXPORT ZELMOR_ONEFILE_EXTERN_C __declspec(dllexport)

/* x64 Windows has one calling convention; the keyword only says so. */
#define ZELMOR_ONEFILE_CALL __cdecl

/* A buffer this long (in wide characters, the terminator included) holds any
 * path Windows gives, long paths included. */
#define ZELMOR_ONEFILE_PATH_CAPACITY 32768

/* The application's entry, called once in the child process on its main
 * thread: argc and argv as the user typed them, empty ones included (argv[0]
 * is the packed executable's full path). Its result is the
 * exit code of the packed executable. Define it, with this signature, in
 * exactly one source file of the DLL. */
ZELMOR_ONEFILE_EXPORT int ZELMOR_ONEFILE_CALL run_code(int argc, wchar_t **argv);

/* The directory the calling module (the DLL that includes this header) was
 * loaded from: the extraction directory, where the packed data files are.
 * Writes it without a trailing backslash into `buffer` (`capacity` wide
 * characters) and returns its length; returns 0 when the system cannot tell
 * or it does not fit, GetLastError() then saying why
 * (ERROR_INSUFFICIENT_BUFFER when it does not fit). */
static inline DWORD zelmor_onefile_extraction_directory(wchar_t *buffer, DWORD capacity) {
    HMODULE self = NULL;
    DWORD length;
    /* The address of this very function lies in the module that includes it. */
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(void *)&zelmor_onefile_extraction_directory, &self)) {
        return 0;
    }
    length = GetModuleFileNameW(self, buffer, capacity);
    /* A full buffer means the path was cut, whatever the system version says. */
    if (length == 0 || length >= capacity) {
        SetLastError(length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    while (length > 0 && buffer[length - 1] != L'\\' && buffer[length - 1] != L'/') {
        --length;
    }
    if (length > 0) {
        --length;
    }
    buffer[length] = L'\0';
    return length;
}

/* The directory of the packed executable the user started, as the launcher
 * publishes it in ZELMOR_ONEFILE_DIRECTORY (without a trailing backslash):
 * the place for files the user keeps beside the program. Returns its length,
 * or 0 when the variable is not set (run_code called by something other than
 * the launcher: GetLastError() gives ERROR_ENVVAR_NOT_FOUND) or does not fit
 * (ERROR_INSUFFICIENT_BUFFER). */
static inline DWORD zelmor_onefile_executable_directory(wchar_t *buffer, DWORD capacity) {
    DWORD length = GetEnvironmentVariableW(L"ZELMOR_ONEFILE_DIRECTORY", buffer, capacity);
    if (length >= capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return length;
}

#endif
