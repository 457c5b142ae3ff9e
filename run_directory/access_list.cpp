#include "run_directory/access_list.h"

#include "base/native_calls.h"
#include "base/test_seam.h"

namespace {

// NTDLL's security calls, which ADVAPI32's wrap: that library and what it
// brings are never loaded for the one descriptor the parent builds.
struct SecurityCalls {
    NTSTATUS(NTAPI *createAcl)(PACL, ULONG, ULONG);
    NTSTATUS(NTAPI *addAccessAllowedAceEx)(PACL, ULONG, ULONG, ACCESS_MASK, PSID);
    NTSTATUS(NTAPI *createSecurityDescriptor)(PSECURITY_DESCRIPTOR, ULONG);
    NTSTATUS(NTAPI *setDaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN, PACL, BOOLEAN);
    NTSTATUS(NTAPI *setControlSecurityDescriptor)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                  SECURITY_DESCRIPTOR_CONTROL);
    NTSTATUS(NTAPI *addMandatoryAce)(PACL, ULONG, ULONG, ULONG, ULONG, PSID);
    NTSTATUS(NTAPI *setSaclSecurityDescriptor)(PSECURITY_DESCRIPTOR, BOOLEAN, PACL, BOOLEAN);
};

SecurityCalls calls;

template <typename Function> bool lookUp(const char *name, Function *function) {
    *function = reinterpret_cast<Function>(seamFails("GetProcAddress") ? nullptr : nativeFunction(name));
    return *function != nullptr;
}

// False, with the last error of the failed lookup, when one is missing.
bool lookUpSecurityCalls() {
    if (calls.setSaclSecurityDescriptor != nullptr) {
        return true;  // all found before
    }
    return lookUp("RtlCreateAcl", &calls.createAcl) &&
           lookUp("RtlAddAccessAllowedAceEx", &calls.addAccessAllowedAceEx) &&
           lookUp("RtlCreateSecurityDescriptor", &calls.createSecurityDescriptor) &&
           lookUp("RtlSetDaclSecurityDescriptor", &calls.setDaclSecurityDescriptor) &&
           lookUp("RtlSetControlSecurityDescriptor", &calls.setControlSecurityDescriptor) &&
           lookUp("RtlAddMandatoryAce", &calls.addMandatoryAce) &&
           lookUp("RtlSetSaclSecurityDescriptor", &calls.setSaclSecurityDescriptor);
}

// True for a call that succeeded; otherwise false, with its system error in *errorCode.
bool succeeds(NTSTATUS status, uint32_t *errorCode) {
    if (status < 0) {
        *errorCode = nativeError(status);
        return false;
    }
    return true;
}

// Inherited by the files (object) and directories (container) below.
bool allowFullAccess(PrivateDescriptor *out, SidBuffer *sid, uint32_t *errorCode) {
    return succeeds(calls.addAccessAllowedAceEx(&out->acl.acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                                FILE_ALL_ACCESS, &sid->sid),
                    errorCode);
}

// The label that keeps processes below High integrity from writing to the
// directory and to everything made in it, whatever the access lists and the
// owner's implicit rights would allow them.
bool addHighLabel(PrivateDescriptor *out, uint32_t *errorCode) {
    wellKnownSid(&out->high, kMandatoryLabelAuthority, {SECURITY_MANDATORY_HIGH_RID});
    return succeeds(calls.createAcl(&out->label.acl, sizeof out->label, ACL_REVISION), errorCode) &&
           succeeds(calls.addMandatoryAce(&out->label.acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                          SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, SYSTEM_MANDATORY_LABEL_ACE_TYPE,
                                          &out->high.sid),
                    errorCode) &&
           succeeds(calls.setSaclSecurityDescriptor(&out->descriptor, TRUE, &out->label.acl, FALSE), errorCode);
}

}  // namespace

bool buildPrivateDescriptor(PrivateDescriptor *out, uint32_t *errorCode) {
    DWORD error = processTokenSid(TokenUser, &out->user);
    if (error != ERROR_SUCCESS) {
        *errorCode = error;
        return false;
    }
    // Not examined: a token that cannot tell counts as not elevated, and
    // Administrators then get no entry of their own, which grants less,
    // never more.
    bool elevated = false;
    processTokenElevated(&elevated);
    return composePrivateDescriptor(out, elevated, errorCode);
}

bool composePrivateDescriptor(PrivateDescriptor *out, bool elevated, uint32_t *errorCode) {
    if (!lookUpSecurityCalls()) {
        *errorCode = GetLastError();
        return false;
    }
    wellKnownSid(&out->system, kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID});
    wellKnownSid(&out->administrators, kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    // Protected, since the user's temporary directory may grant others
    // access. Elevated, the user's own entry is left out: the same user's
    // unelevated processes carry that SID, and could otherwise plant a
    // library the elevated application loads.
    return succeeds(calls.createAcl(&out->acl.acl, sizeof out->acl, ACL_REVISION), errorCode) &&
           allowFullAccess(out, elevated ? &out->administrators : &out->user, errorCode) &&
           allowFullAccess(out, &out->system, errorCode) &&
           succeeds(calls.createSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION), errorCode) &&
           succeeds(calls.setDaclSecurityDescriptor(&out->descriptor, TRUE, &out->acl.acl, FALSE), errorCode) &&
           succeeds(calls.setControlSecurityDescriptor(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED),
                    errorCode) &&
           (!elevated || addHighLabel(out, errorCode));
}
