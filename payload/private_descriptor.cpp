#include "payload/private_descriptor.h"

namespace {

union TokenUserBuffer {
    TOKEN_USER user;
    unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

bool wellKnownSid(WELL_KNOWN_SID_TYPE type, PrivateDescriptor::Sid *sid) {
    DWORD size = sizeof *sid;
    return CreateWellKnownSid(type, nullptr, sid, &size);
}

// Inherited by the files (object) and directories (container) below.
bool allowFullAccess(PrivateDescriptor *out, PrivateDescriptor::Sid *sid) {
    return AddAccessAllowedAceEx(&out->acl.acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                 FILE_ALL_ACCESS, sid);
}

// The process's user, and whether its token is elevated. False, with the
// system error in *errorCode, when the token cannot tell who the user is.
bool readToken(PrivateDescriptor::Sid *user, bool *elevated, uint32_t *errorCode) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *errorCode = GetLastError();
        return false;
    }
    TokenUserBuffer tokenUser;
    DWORD returned = 0;
    BOOL gotUser = GetTokenInformation(token, TokenUser, &tokenUser, sizeof tokenUser, &returned);
    DWORD userError = GetLastError();
    TOKEN_ELEVATION elevation = {};
    // A token that cannot tell counts as not elevated: Administrators then
    // get no entry of their own, which grants less, never more.
    *elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned) &&
                elevation.TokenIsElevated != 0;
    CloseHandle(token);  // a query handle: nothing is lost if the close fails
    if (!gotUser || !CopySid(sizeof *user, user, tokenUser.user.User.Sid)) {
        *errorCode = gotUser ? GetLastError() : userError;
        return false;
    }
    return true;
}

}  // namespace

bool buildPrivateDescriptor(PrivateDescriptor *out, uint32_t *errorCode) {
    bool elevated = false;
    if (!readToken(&out->user, &elevated, errorCode)) {
        return false;
    }
    // Protected, since the user's temporary directory may grant others access.
    bool built = InitializeAcl(&out->acl.acl, sizeof out->acl, ACL_REVISION) && allowFullAccess(out, &out->user) &&
                 wellKnownSid(WinLocalSystemSid, &out->system) && allowFullAccess(out, &out->system) &&
                 (!elevated || (wellKnownSid(WinBuiltinAdministratorsSid, &out->administrators) &&
                                allowFullAccess(out, &out->administrators))) &&
                 InitializeSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                 SetSecurityDescriptorDacl(&out->descriptor, TRUE, &out->acl.acl, FALSE) &&
                 SetSecurityDescriptorControl(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (!built) {
        *errorCode = GetLastError();
    }
    return built;
}
