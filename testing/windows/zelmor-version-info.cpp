// Prints what Windows reads of an executable's version resource, through
// GetFileVersionInfoW and VerQueryValueW, as the Details tab shows it:
//
//   zelmor-version-info FILE
//
// One "name=value" line each, UTF-8: the fixed part's versions, the first
// translation, and the usual strings under that translation (a string the
// resource lacks is left out).
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

std::string utf8(const wchar_t *text, int units) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string bytes(length > 0 ? length : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, units, &bytes[0], length, nullptr, nullptr);
    return bytes;
}

void printVersion(const char *name, DWORD high, DWORD low) {
    printf("%s=%lu.%lu.%lu.%lu\n", name, high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        fputs("usage: zelmor-version-info FILE\n", stderr);
        return 2;
    }
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
    std::vector<char> data(size);
    if (size == 0 || !GetFileVersionInfoW(argv[1], 0, size, data.data())) {
        fprintf(stderr, "zelmor-version-info: no version information (error %lu)\n", GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && length >= sizeof *fixed) {
        printVersion("fixed FileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        printVersion("fixed ProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    WORD *translation = nullptr;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                        &length) ||
        length < 4) {
        fputs("zelmor-version-info: no translation\n", stderr);
        return 1;
    }
    printf("Translation=%04x%04x\n", translation[0], translation[1]);
    const wchar_t *names[] = {L"CompanyName",    L"FileDescription",  L"FileVersion", L"InternalName",
                              L"LegalCopyright", L"OriginalFilename", L"ProductName", L"ProductVersion"};
    for (const wchar_t *name : names) {
        wchar_t path[128];
        swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
        wchar_t *value = nullptr;
        if (VerQueryValueW(data.data(), path, reinterpret_cast<void **>(&value), &length)) {
            printf("%s=%s\n", utf8(name, static_cast<int>(wcslen(name))).c_str(), utf8(value, static_cast<int>(wcsnlen(value, length))).c_str());
        }
    }
    return 0;
}
