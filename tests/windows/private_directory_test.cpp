#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "run_directory/access_list.h"
#include "run_directory/private_directory.h"
#include "scratch_files.h"

namespace {

std::wstring scratchPath(const wchar_t *name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId());
}

std::vector<unsigned char> tokenUser() {
    HANDLE token = nullptr;
    std::vector<unsigned char> buffer(256);
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        ADD_FAILURE() << "token: " << GetLastError();
    }
    CloseHandle(token);
    return buffer;
}

bool tokenIsElevated() {
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    bool elevated = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                    elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

class PrivateDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = scratchPath(L"zelmor-private-");
        removeTree(path_);
    }
    void TearDown() override {
        removeTree(path_);
    }
    std::wstring path_;
};

// Counts the entries of the descriptor's access list by whom they are for;
// each must grant full access, inherited by everything below.
struct Entries {
    int user = 0, system = 0, administrators = 0, total = 0;
};

Entries entriesOf(PrivateDescriptor *built, PSID userSid) {
    Entries found;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    EXPECT_TRUE(IsValidSecurityDescriptor(&built->descriptor));
    EXPECT_TRUE(GetSecurityDescriptorControl(&built->descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the temporary directory";
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(&built->descriptor, &present, &acl, &defaulted));
    EXPECT_TRUE(present && acl != nullptr && !defaulted);
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        EXPECT_TRUE(GetAce(acl, i, reinterpret_cast<void **>(&ace)));
        SCOPED_TRACE(i);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        PSID sid = &ace->SidStart;
        found.user += EqualSid(sid, userSid) ? 1 : 0;
        found.system += IsWellKnownSid(sid, WinLocalSystemSid) ? 1 : 0;
        found.administrators += IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ? 1 : 0;
        found.total++;
    }
    return found;
}

// The bytes of `acl` that its entries use.
std::vector<unsigned char> usedBytes(PACL acl) {
    ACL_SIZE_INFORMATION size = {};
    EXPECT_TRUE(GetAclInformation(acl, &size, sizeof size, AclSizeInformation));
    unsigned char *bytes = reinterpret_cast<unsigned char *>(acl);
    return std::vector<unsigned char>(bytes, bytes + size.AclBytesInUse);
}

// Wine neither keeps nor enforces a directory's access list (it answers
// with one made from the Unix mode), and its token is always elevated, so
// the descriptor is checked as the launcher hands it to the system, for
// both kinds of token.
TEST(PrivateDescriptorTest, TheUserAndTheSystemOrElevatedAdministratorsAndTheSystemBehindAHighLabel) {
    std::vector<unsigned char> user = tokenUser();
    PSID userSid = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
    PrivateDescriptor built;
    uint32_t error = 0;
    ASSERT_TRUE(buildPrivateDescriptor(&built, &error)) << error;
    Entries forToken = entriesOf(&built, userSid);
    EXPECT_EQ(forToken.administrators, tokenIsElevated() ? 1 : 0);
    EXPECT_EQ(forToken.user, tokenIsElevated() ? 0 : 1);

    for (bool elevated : {false, true}) {
        SCOPED_TRACE(elevated ? "elevated" : "not elevated");
        PrivateDescriptor composed;
        ASSERT_TRUE(CopySid(sizeof composed.user, &composed.user, userSid));
        ASSERT_TRUE(composePrivateDescriptor(&composed, elevated, &error)) << error;
        Entries found = entriesOf(&composed, userSid);
        // Elevated, the same user's unelevated processes must find no way in.
        EXPECT_EQ(found.user, elevated ? 0 : 1);
        EXPECT_EQ(found.system, 1);
        EXPECT_EQ(found.administrators, elevated ? 1 : 0);
        EXPECT_EQ(found.total, 2);
        // Byte for byte what the documented calls make of the same SIDs.
        alignas(DWORD) unsigned char expected[kPrivateAclSize];
        unsigned char system[SECURITY_MAX_SID_SIZE], admins[SECURITY_MAX_SID_SIZE];
        DWORD systemSize = sizeof system, adminsSize = sizeof admins, all = FILE_ALL_ACCESS;
        PACL list = reinterpret_cast<PACL>(expected);
        const DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        ASSERT_TRUE(InitializeAcl(list, sizeof expected, ACL_REVISION) &&
                    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize) &&
                    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &adminsSize) &&
                    AddAccessAllowedAceEx(list, ACL_REVISION, inherited, all, elevated ? admins : userSid) &&
                    AddAccessAllowedAceEx(list, ACL_REVISION, inherited, all, system));
        EXPECT_EQ(usedBytes(&composed.acl.acl), usedBytes(list));
        BOOL present = FALSE, defaulted = TRUE;
        PACL sacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorSacl(&composed.descriptor, &present, &sacl, &defaulted));
        ASSERT_EQ(present && sacl != nullptr && sacl->AceCount == 1, elevated);
        if (elevated) {
            // Nothing below High may write, delete or change the list, even as the owner.
            SYSTEM_MANDATORY_LABEL_ACE *label = nullptr;
            ASSERT_TRUE(GetAce(sacl, 0, reinterpret_cast<void **>(&label)));
            EXPECT_EQ(label->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
            EXPECT_EQ(label->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
            EXPECT_EQ(label->Mask, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
            EXPECT_TRUE(IsWellKnownSid(&label->SidStart, WinHighLabelSid));
        }
    }
}

TEST_F(PrivateDirectoryTest, AnythingAlreadyAtTheNameIsTakenAndAMissingParentRefused) {
    uint32_t error = 0;
    void *holder = nullptr;
    uint64_t fileId = 0;
    ASSERT_EQ(createPrivateDirectory(path_.c_str(), &holder, &fileId, &error), NewDirectory::Created);
    // Held from its creation: no other run can rename it away.
    EXPECT_FALSE(MoveFileExW(path_.c_str(), (path_ + L".moved").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    BY_HANDLE_FILE_INFORMATION information;
    ASSERT_TRUE(GetFileInformationByHandle(holder, &information));
    EXPECT_EQ(fileId, (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(holder, &flags) && (flags & HANDLE_FLAG_INHERIT)) << "the child inherits it";
    CloseHandle(holder);
    EXPECT_EQ(createPrivateDirectory(path_.c_str(), &holder, &fileId, &error), NewDirectory::NameTaken);
    std::wstring file = path_ + L"\\file";
    HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    EXPECT_EQ(createPrivateDirectory(file.c_str(), &holder, &fileId, &error), NewDirectory::NameTaken);
    // Nothing is made above it.
    EXPECT_EQ(createPrivateDirectory((path_ + L"\\missing\\below").c_str(), &holder, &fileId, &error),
              NewDirectory::NoParent);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW((path_ + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
