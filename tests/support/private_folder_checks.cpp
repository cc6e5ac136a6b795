#include "support/private_folder_checks.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "base/handles.h"

namespace {

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return L"<no sid>";
    LocalMemory owner(text);
    return text;
}

}  // namespace

void ExpectAdministratorsAndSystemOnly(PSECURITY_DESCRIPTOR descriptor) {
    ASSERT_NE(descriptor, nullptr);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "nothing is inherited from the folder above";

    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted));
    EXPECT_EQ(SidText(owner), L"S-1-5-32-544");

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl) << "a missing DACL would let everyone in";
    ASSERT_EQ(dacl->AceCount, 2u);
    const wchar_t* const grantees[] = {L"S-1-5-32-544", L"S-1-5-18"};
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        SCOPED_TRACE(i);
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &entry));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_EQ(SidText(&ace->SidStart), grantees[i]);
    }
}

void ExpectFolderForAdministratorsAndSystemOnly(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         nullptr, nullptr, &descriptor);
    ASSERT_EQ(status, static_cast<DWORD>(ERROR_SUCCESS));
    LocalMemory owner(descriptor);
    ExpectAdministratorsAndSystemOnly(descriptor);
}
