#include <windows.h>

#include "payload/payload_reader.h"

namespace {

constexpr WORD kPayloadResourceId = 27;
constexpr WORD kRcData = 10;  // RT_RCDATA, spelt out: with UNICODE the macro is a wide name

}  // namespace

void openPayload() {
    // A missing or short resource is caught by the header check, so none of
    // these results needs a check of its own.
    HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(kPayloadResourceId), MAKEINTRESOURCEA(kRcData));
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
    startPayload(bytes, size);
}
