#include "run_directory/access_list.h"

#include "base/system_library.h"

namespace {

// The security calls, looked up in ADVAPI32 when the parent first needs them
// (base/system_library.h): the child, which makes no directory, never loads it.
struct SecurityCalls {
    decltype(&OpenProcessToken) openProcessToken;
    decltype(&GetTokenInformation) getTokenInformation;
    decltype(&CopySid) copySid;
    decltype(&CreateWellKnownSid) createWellKnownSid;
    decltype(&InitializeAcl) initializeAcl;
    decltype(&AddAccessAllowedAceEx) addAccessAllowedAceEx;
    decltype(&InitializeSecurityDescriptor) initializeSecurityDescriptor;
    decltype(&SetSecurityDescriptorDacl) setSecurityDescriptorDacl;
    decltype(&SetSecurityDescriptorControl) setSecurityDescriptorControl;
    decltype(&AddMandatoryAce) addMandatoryAce;
    decltype(&SetSecurityDescriptorSacl) setSecurityDescriptorSacl;
};

SecurityCalls calls;

template <typename Function> bool lookUp(const char *name, Function *function) {
    *function = reinterpret_cast<Function>(systemFunction(SystemLibrary::Advapi32, name));
    return *function != nullptr;
}

// False, with the last error of the failed load or lookup, when one is missing.
bool lookUpSecurityCalls() {
    if (calls.setSecurityDescriptorSacl != nullptr) {
        return true;  // all found before
    }
    return lookUp("OpenProcessToken", &calls.openProcessToken) &&
           lookUp("GetTokenInformation", &calls.getTokenInformation) && lookUp("CopySid", &calls.copySid) &&
           lookUp("CreateWellKnownSid", &calls.createWellKnownSid) && lookUp("InitializeAcl", &calls.initializeAcl) &&
           lookUp("AddAccessAllowedAceEx", &calls.addAccessAllowedAceEx) &&
           lookUp("InitializeSecurityDescriptor", &calls.initializeSecurityDescriptor) &&
           lookUp("SetSecurityDescriptorDacl", &calls.setSecurityDescriptorDacl) &&
           lookUp("SetSecurityDescriptorControl", &calls.setSecurityDescriptorControl) &&
           lookUp("AddMandatoryAce", &calls.addMandatoryAce) &&
           lookUp("SetSecurityDescriptorSacl", &calls.setSecurityDescriptorSacl);
}

union TokenUserBuffer {
    TOKEN_USER user;
    unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
};

bool wellKnownSid(WELL_KNOWN_SID_TYPE type, PrivateDescriptor::Sid *sid) {
    DWORD size = sizeof *sid;
    return calls.createWellKnownSid(type, nullptr, sid, &size);
}

// Inherited by the files (object) and directories (container) below.
bool allowFullAccess(PrivateDescriptor *out, PrivateDescriptor::Sid *sid) {
    return calls.addAccessAllowedAceEx(&out->acl.acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                       FILE_ALL_ACCESS, sid);
}

// The process's user, and whether its token is elevated. False, with the
// system error in *errorCode, when the token cannot tell who the user is.
bool readToken(PrivateDescriptor::Sid *user, bool *elevated, uint32_t *errorCode) {
    HANDLE token = nullptr;
    if (!calls.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *errorCode = GetLastError();
        return false;
    }
    TokenUserBuffer tokenUser;
    DWORD returned = 0;
    BOOL gotUser = calls.getTokenInformation(token, TokenUser, &tokenUser, sizeof tokenUser, &returned);
    DWORD userError = GetLastError();
    TOKEN_ELEVATION elevation = {};
    // A token that cannot tell counts as not elevated: Administrators then
    // get no entry of their own, which grants less, never more.
    *elevated = calls.getTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned) &&
                elevation.TokenIsElevated != 0;
    CloseHandle(token);  // a query handle: nothing is lost if the close fails
    if (!gotUser || !calls.copySid(sizeof *user, user, tokenUser.user.User.Sid)) {
        *errorCode = gotUser ? GetLastError() : userError;
        return false;
    }
    return true;
}

// The label that keeps processes below High integrity from writing to the
// directory and to everything made in it, whatever the access lists and the
// owner's implicit rights would allow them.
bool addHighLabel(PrivateDescriptor *out) {
    return calls.initializeAcl(&out->label.acl, sizeof out->label, ACL_REVISION) &&
           wellKnownSid(WinHighLabelSid, &out->high) &&
           calls.addMandatoryAce(&out->label.acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                 SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, &out->high) &&
           calls.setSecurityDescriptorSacl(&out->descriptor, TRUE, &out->label.acl, FALSE);
}

}  // namespace

bool buildPrivateDescriptor(PrivateDescriptor *out, uint32_t *errorCode) {
    if (!lookUpSecurityCalls()) {
        *errorCode = GetLastError();
        return false;
    }
    bool elevated = false;
    return readToken(&out->user, &elevated, errorCode) && composePrivateDescriptor(out, elevated, errorCode);
}

bool composePrivateDescriptor(PrivateDescriptor *out, bool elevated, uint32_t *errorCode) {
    if (!lookUpSecurityCalls()) {
        *errorCode = GetLastError();
        return false;
    }
    // Protected, since the user's temporary directory may grant others
    // access. Elevated, the user's own entry is left out: the same user's
    // unelevated processes carry that SID, and could otherwise plant a
    // library the elevated application loads.
    bool built = calls.initializeAcl(&out->acl.acl, sizeof out->acl, ACL_REVISION) &&
                 (elevated ? wellKnownSid(WinBuiltinAdministratorsSid, &out->administrators) &&
                                 allowFullAccess(out, &out->administrators)
                           : allowFullAccess(out, &out->user)) &&
                 wellKnownSid(WinLocalSystemSid, &out->system) && allowFullAccess(out, &out->system) &&
                 calls.initializeSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                 calls.setSecurityDescriptorDacl(&out->descriptor, TRUE, &out->acl.acl, FALSE) &&
                 calls.setSecurityDescriptorControl(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
                 (!elevated || addHighLabel(out));
    if (!built) {
        *errorCode = GetLastError();
    }
    return built;
}
