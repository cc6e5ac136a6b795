#include "startup/private_folder.h"

#include <ntsecapi.h>
#include <sddl.h>

#include "base/paths.h"
#include "base/text.h"

namespace {

const wchar_t kNamePrefix[] = L"installer-";
constexpr size_t kNamePrefixLength = sizeof(kNamePrefix) / sizeof(wchar_t) - 1;
constexpr size_t kRandomBytes = 8;
constexpr size_t kRandomDigits = 2 * kRandomBytes;
// A taken name can only come from a collision of 64 random bits or from someone who can read
// the random source; either way a few draws are plenty, and the loop must end.
constexpr int kNameDraws = 16;

// Owner Administrators: an owner may always rewrite the DACL, so the user's own account must not
// be the owner. The grants reach the files created inside through inheritance.
const wchar_t kPrivateFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

bool IsLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

bool IsPrivateFolderName(const std::wstring& name) {
    if (name.size() != kNamePrefixLength + kRandomDigits) return false;
    if (name.compare(0, kNamePrefixLength, kNamePrefix) != 0) return false;
    for (size_t i = kNamePrefixLength; i < name.size(); ++i)
        if (!IsLowerHexDigit(name[i])) return false;
    return true;
}

bool SamePathIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// Both spellings of the temporary folder may come from GetTempPathW (short or long form); the
// long forms decide when the texts differ.
bool SameFolder(const std::wstring& a, const std::wstring& b) {
    if (SamePathIgnoringCase(a, b)) return true;
    std::wstring longA;
    std::wstring longB;
    return LongPathOf(a, &longA) && LongPathOf(b, &longB) && SamePathIgnoringCase(longA, longB);
}

bool RemoveAtRestart(const std::wstring& path) {
    return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

}  // namespace

LocalMemory BuildPrivateFolderSecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateFolderSddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return LocalMemory();
    return LocalMemory(descriptor);
}

std::wstring DrawPrivateFolderName() {
    unsigned char random[kRandomBytes] = {};
    if (!RtlGenRandom(random, sizeof(random))) return {};
    std::wstring name = kNamePrefix;
    for (unsigned char byte : random) name += FormatText(L"%02x", byte);
    return name;
}

bool CreatePrivateFolder(const std::wstring& tempFolder, std::wstring* folder, std::wstring (*drawName)()) {
    LocalMemory descriptor = BuildPrivateFolderSecurity();
    if (!descriptor || tempFolder.empty()) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    for (int draw = 0; draw < kNameDraws; ++draw) {
        std::wstring name = drawName();
        if (name.empty()) return false;
        std::wstring path = tempFolder + name;
        if (CreateDirectoryW(path.c_str(), &attributes)) {
            *folder = path;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool IsPrivateFolder(const std::wstring& folder, const std::wstring& tempFolder) {
    size_t slash = folder.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    return IsPrivateFolderName(folder.substr(slash + 1)) && SameFolder(folder.substr(0, slash + 1), tempFolder);
}

void RemovePrivateFolder(const std::wstring& folder, const wchar_t* const* names, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        std::wstring path = folder + L"\\" + names[i];
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) RemoveAtRestart(path);
    }
    if (!RemoveDirectoryW(folder.c_str())) RemoveAtRestart(folder);
}

bool RemovePrivateFolderAtRestart(const std::wstring& folder, const wchar_t* const* names, size_t count) {
    bool scheduled = true;
    for (size_t i = 0; i < count; ++i) scheduled = RemoveAtRestart(folder + L"\\" + names[i]) && scheduled;
    return RemoveAtRestart(folder) && scheduled;
}
