#pragma once
// The security descriptor of the parent's target directory. Windows only;
// run_directory/private_directory.h creates the directory with it.
#include <windows.h>

#include <stdint.h>

#include "base/native_calls.h"

// Room for an access list of three entries whose SIDs may have any size.
constexpr DWORD kPrivateAclSize =
    sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE);
// Room for a list of one mandatory label.
constexpr DWORD kLabelAclSize =
    sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;

// Everything the descriptor points into; it must stay in place while used.
// Unions keep the buffers aligned as the records in them need.
struct PrivateDescriptor {
    SECURITY_DESCRIPTOR descriptor;
    union {
        ACL acl;
        unsigned char bytes[kPrivateAclSize];
    } acl;
    union {
        ACL acl;
        unsigned char bytes[kLabelAclSize];
    } label;
    SidBuffer user, system, administrators, high;
};

// The descriptor for the process's token: see composePrivateDescriptor.
// False, with the system error in *errorCode, when the token or a call refuses.
bool buildPrivateDescriptor(PrivateDescriptor *out, uint32_t *errorCode);

// A protected access list (nothing inherited from the directory above), each
// entry inherited by the files and directories below, for the user in
// out->user: full access for that user and SYSTEM. For an elevated token,
// SYSTEM and Administrators instead (the elevated token has Administrators
// enabled; the same user's unelevated processes have not), and a High
// mandatory label that bars every process below High from writing, deleting
// or changing the access list, even as the directory's owner.
bool composePrivateDescriptor(PrivateDescriptor *out, bool elevated, uint32_t *errorCode);
