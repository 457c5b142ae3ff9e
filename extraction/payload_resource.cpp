#include <windows.h>

#include "extraction/payload_reader.h"
#include "format/container.h"

void openPayload(PayloadReader *reader) {
    // A missing or short resource is caught by the header check, so none of
    // these results needs a check of its own.
    HRSRC resource =
        FindResourceA(nullptr, MAKEINTRESOURCEA(kPayloadResourceId), MAKEINTRESOURCEA(kPayloadResourceType));
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
    startPayload(reader, bytes, size);
}
