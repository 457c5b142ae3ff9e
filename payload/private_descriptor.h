#pragma once
// The security descriptor of the parent's target directory. Windows only;
// payload/private_directory.h creates the directory with it.
#include <windows.h>

#include <stdint.h>

// Room for an access list of three entries whose SIDs may have any size.
constexpr DWORD kPrivateAclSize =
    sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE);

// Everything the descriptor points into; it must stay in place while used.
// Unions keep the buffers aligned as the records in them need.
struct PrivateDescriptor {
    SECURITY_DESCRIPTOR descriptor;
    union {
        ACL acl;
        unsigned char bytes[kPrivateAclSize];
    } acl;
    union Sid {
        SID sid;
        unsigned char bytes[SECURITY_MAX_SID_SIZE];
    } user, system, administrators;
};

// A protected access list (nothing inherited from the directory above) that
// grants full access to the process's user and to SYSTEM, and to
// Administrators when the process's token is elevated, each entry inherited
// by the files and directories below. False, with the system error in
// *errorCode, when the token or a call refuses.
bool buildPrivateDescriptor(PrivateDescriptor *out, uint32_t *errorCode);
