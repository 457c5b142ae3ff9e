#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "payload/private_descriptor.h"
#include "payload/private_directory.h"
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

// Wine neither keeps nor enforces a directory's access list (it answers
// with one made from the Unix mode), so the descriptor is checked as the
// launcher hands it to CreateDirectoryW.
TEST(PrivateDescriptorTest, AProtectedListForTheUserAndTheSystemThatEverythingBelowInherits) {
    PrivateDescriptor built;
    uint32_t error = 0;
    ASSERT_TRUE(buildPrivateDescriptor(&built, &error)) << error;
    ASSERT_TRUE(IsValidSecurityDescriptor(&built.descriptor));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(&built.descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing inherited from the temporary directory";
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(&built.descriptor, &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl != nullptr);
    EXPECT_FALSE(defaulted);

    std::vector<unsigned char> user = tokenUser();
    PSID userSid = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;
    int forUser = 0, forSystem = 0, forAdministrators = 0;
    for (DWORD i = 0; i < acl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void **>(&ace)));
        SCOPED_TRACE(i);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        PSID sid = &ace->SidStart;
        forUser += EqualSid(sid, userSid) ? 1 : 0;
        forSystem += IsWellKnownSid(sid, WinLocalSystemSid) ? 1 : 0;
        forAdministrators += IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ? 1 : 0;
    }
    EXPECT_EQ(forUser, 1);
    EXPECT_EQ(forSystem, 1);
    EXPECT_EQ(forAdministrators, tokenIsElevated() ? 1 : 0);
    EXPECT_EQ(static_cast<int>(acl->AceCount), forUser + forSystem + forAdministrators);
}

TEST_F(PrivateDirectoryTest, AnythingAlreadyAtTheNameIsTakenAndAMissingParentRefused) {
    uint32_t error = 0;
    void *holder = nullptr;
    ASSERT_EQ(createPrivateDirectory(path_.c_str(), &holder, &error), NewDirectory::Created);
    // Held from its creation: no other run can rename it away.
    EXPECT_FALSE(MoveFileExW(path_.c_str(), (path_ + L".moved").c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(holder);
    EXPECT_EQ(createPrivateDirectory(path_.c_str(), &holder, &error), NewDirectory::NameTaken);
    std::wstring file = path_ + L"\\file";
    HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    EXPECT_EQ(createPrivateDirectory(file.c_str(), &holder, &error), NewDirectory::NameTaken);
    EXPECT_EQ(createPrivateDirectory((path_ + L"\\missing\\below").c_str(), &holder, &error), NewDirectory::Refused);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
