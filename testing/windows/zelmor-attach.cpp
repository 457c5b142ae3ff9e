// Puts a payload file into a copy of the launcher as its payload resource
// (format/container.h), with the system's own resource-update calls. Uses the
// language that windres gives resources, since an update in another language
// would add a second entry instead of replacing the first.
//
//   zelmor-attach EXECUTABLE PAYLOADFILE
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "format/container.h"

int wmain(int argc, wchar_t **argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: zelmor-attach EXECUTABLE PAYLOADFILE\n");
        return 2;
    }
    FILE *in = _wfopen(argv[2], L"rb");
    if (!in) {
        fwprintf(stderr, L"zelmor-attach: cannot open %ls\n", argv[2]);
        return 1;
    }
    fseek(in, 0, SEEK_END);
    long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    void *bytes = malloc(size > 0 ? size : 1);
    if (!bytes || fread(bytes, 1, size, in) != static_cast<size_t>(size)) {
        fwprintf(stderr, L"zelmor-attach: cannot read %ls\n", argv[2]);
        return 1;
    }
    fclose(in);
    HANDLE update = BeginUpdateResourceW(argv[1], FALSE);
    if (!update) {
        fwprintf(stderr, L"zelmor-attach: BeginUpdateResourceW failed with %lu\n", GetLastError());
        return 1;
    }
    if (!UpdateResourceW(update, MAKEINTRESOURCEW(kPayloadResourceType), MAKEINTRESOURCEW(kPayloadResourceId),
                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), bytes, static_cast<DWORD>(size))) {
        fwprintf(stderr, L"zelmor-attach: UpdateResourceW failed with %lu\n", GetLastError());
        return 1;
    }
    if (!EndUpdateResourceW(update, FALSE)) {
        fwprintf(stderr, L"zelmor-attach: EndUpdateResourceW failed with %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
