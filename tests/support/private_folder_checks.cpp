#include "support/private_folder_checks.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include "base/handles.h"
#include "base/text.h"
#include "startup/private_folder.h"

namespace {

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return L"<no sid>";
    LocalMemory owner(text);
    return text;
}

std::wstring DescriptorText(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"<no text>";
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

bool FolderDescriptorsAreKept(std::wstring* readBack) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = FormatText(L"%lsh1-descriptor-probe-%lu", temp, GetCurrentProcessId());
    LocalMemory given = BuildPrivateFolderSecurity();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), given.get(), FALSE};
    RemoveDirectoryW(folder.c_str());
    if (!given || !CreateDirectoryW(folder.c_str(), &attributes)) {
        *readBack = L"<no probe folder>";
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         nullptr, nullptr, &descriptor);
    LocalMemory owner(descriptor);
    RemoveDirectoryW(folder.c_str());
    if (status != ERROR_SUCCESS) {
        *readBack = FormatText(L"<GetNamedSecurityInfoW: %lu>", status);
        return false;
    }
    *readBack = DescriptorText(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED);
}
