#include "cache/cache_ownership.h"

#include <stddef.h>
#include <string.h>

#include "base/native_calls.h"
#include "base/test_seam.h"

namespace {

// Enough for the descriptor of a private folder and more: a longer access
// list is not one of ours.
constexpr ULONG kDescriptorBytes = 4096;

// The rights that let a principal change the folder or plant in it.
constexpr ACCESS_MASK kWritingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                       FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                       GENERIC_ALL | MAXIMUM_ALLOWED;

size_t sidLength(const unsigned char *sid) {
    return 8 + 4 * static_cast<size_t>(sid[1]);
}

// Those trusted to write: the user, the owner the token gives what it
// creates, SYSTEM and Administrators.
struct Trusted {
    SidBuffer sids[4];
};

// The SID of an entry, `room` bytes available from `sid`: one of those trusted to write.
bool isTrusted(const unsigned char *sid, size_t room, const Trusted &trusted) {
    if (room < 8 || sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES || sidLength(sid) > room) {
        return false;
    }
    for (const SidBuffer &known : trusted.sids) {
        if (sidLength(sid) == sidLength(known.bytes) && memcmp(sid, known.bytes, sidLength(sid)) == 0) {
            return true;
        }
    }
    return false;
}

// Walks the access list of the self-relative descriptor in `bytes`
// (`size` bytes), every offset checked against the bytes.
bool onlyTrustedMayWrite(const unsigned char *bytes, size_t size, const Trusted &trusted) {
    const auto *header = reinterpret_cast<const SECURITY_DESCRIPTOR_RELATIVE *>(bytes);
    if (size < sizeof *header || (header->Control & SE_DACL_PRESENT) == 0 || header->Dacl == 0 || header->Dacl > size ||
        size - header->Dacl < sizeof(ACL)) {
        return false;
    }
    const unsigned char *list = bytes + header->Dacl;
    const auto *acl = reinterpret_cast<const ACL *>(list);
    size_t listSize = acl->AclSize;
    if (listSize < sizeof(ACL) || listSize > size - header->Dacl) {
        return false;
    }
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (listSize - at < sizeof(ACE_HEADER)) {
            return false;
        }
        const auto *ace = reinterpret_cast<const ACE_HEADER *>(list + at);
        if (ace->AceSize < sizeof(ACE_HEADER) || ace->AceSize > listSize - at) {
            return false;
        }
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const size_t sidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);
            if (ace->AceSize < sidAt) {
                return false;
            }
            ACCESS_MASK mask;
            memcpy(&mask, list + at + offsetof(ACCESS_ALLOWED_ACE, Mask), sizeof mask);
            if ((mask & kWritingRights) != 0 && !isTrusted(list + at + sidAt, ace->AceSize - sidAt, trusted)) {
                return false;
            }
        } else if (ace->AceType != ACCESS_DENIED_ACE_TYPE) {
            return false;  // callback and object entries grant by rules not judged here
        }
        at += ace->AceSize;
    }
    return true;
}

}  // namespace

bool isPrivateToThisUser(HANDLE handle) {
    Trusted trusted;
    SidBuffer &user = trusted.sids[0], &owner = trusted.sids[1];
    SidBuffer actual;
    if (processTokenSid(TokenUser, &user) != ERROR_SUCCESS || processTokenSid(TokenOwner, &owner) != ERROR_SUCCESS ||
        nativeOwner(handle, &actual) != ERROR_SUCCESS || seamFails("NtQuerySecurityObject") ||
        (!nativeSidsEqual(actual, user) && !nativeSidsEqual(actual, owner))) {
        return false;
    }
    wellKnownSid(&trusted.sids[2], kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID});
    wellKnownSid(&trusted.sids[3], kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    union {
        SECURITY_DESCRIPTOR_RELATIVE header;
        unsigned char bytes[kDescriptorBytes];
    } descriptor;
    ULONG filled = 0;
    return nativeAccessList(handle, descriptor.bytes, kDescriptorBytes, &filled) == ERROR_SUCCESS &&
           onlyTrustedMayWrite(descriptor.bytes, filled, trusted);
}
