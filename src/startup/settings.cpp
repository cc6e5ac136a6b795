#include "startup/settings.h"

#include <vector>

#include "base/interaction.h"
#include "base/text.h"
#include "startup/entry.h"

InstallSettings installSettings{};

namespace {

constexpr UINT kCodePage932 = 932;
constexpr int kProfileBufferBytes = 256;

struct InstallerKey {
    const wchar_t* key;
    const wchar_t* defaultValue;
    wchar_t* field;
};

// The key table of setup.ini, in the order the keys are read.
std::vector<InstallerKey> InstallerKeys() {
    return {
        {L"Company", L"Company", installSettings.Company},
        {L"Publisher", L"Publisher", installSettings.Publisher},
        {L"URLInfoAbout", L"URLInfoAbout", installSettings.URLInfoAbout},
        {L"AppName", L"ゲーム", installSettings.AppName},
        {L"InstFolder", L"ゲーム", installSettings.InstFolder},
        {L"AppExe", L"non.exe", installSettings.AppExe},
    };
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The path as bytes in codePage, provided the bytes decode back to exactly the same path (no
// best-fit letters, no replacement characters). Empty otherwise.
std::string ExactNarrowPath(const std::wstring& path, UINT codePage) {
    if (path.empty()) return {};
    bool converted = false;
    std::string narrow = WideToCodePage(codePage, path, &converted);
    if (!converted || narrow.empty()) return {};
    bool back = false;
    if (CodePageToWide(codePage, narrow, &back) != path || !back) return {};
    return narrow;
}

}  // namespace

void ClearInstallSettings() {
    installSettings.Company[0] = L'\0';
    installSettings.Publisher[0] = L'\0';
    installSettings.URLInfoAbout[0] = L'\0';
    installSettings.AppName[0] = L'\0';
    installSettings.InstFolder[0] = L'\0';
    installSettings.InstallPath[0] = L'\0';
    installSettings.AppExe[0] = L'\0';
    installSettings.DesktopShortcut = 0;
    installSettings.VerifyFiles = 0;
    installSettings.IsVistaOrLater = 0;
}

std::string WideToCodePage(UINT codePage, const std::wstring& text, bool* converted) {
    if (converted) *converted = false;
    int needed = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(codePage, 0, text.c_str(), -1, buffer.data(), needed, nullptr, nullptr) == 0) return {};
    if (converted) *converted = true;
    return std::string(buffer.data());
}

std::wstring CodePageToWide(UINT codePage, const std::string& text, bool* converted) {
    if (converted) *converted = false;
    int needed = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(needed), L'\0');
    if (MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), needed) == 0) return {};
    if (converted) *converted = true;
    return std::wstring(buffer.data());
}

std::string WideToCodePage932(const std::wstring& text) { return WideToCodePage(kCodePage932, text, nullptr); }

std::wstring CodePage932ToWide(const std::string& text) { return CodePageToWide(kCodePage932, text, nullptr); }

std::string AnsiProfilePath(const std::wstring& path, UINT codePage) {
    std::string narrow = ExactNarrowPath(path, codePage);
    if (!narrow.empty()) return narrow;
    // Short names are plain ASCII wherever the volume keeps them, so they survive any ANSI
    // code page; a temporary folder under a user name in another script still reads this way.
    DWORD needed = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return {};
    std::vector<wchar_t> shortPath(needed + 1, L'\0');
    DWORD length = GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (length == 0 || length >= shortPath.size()) return {};
    return ExactNarrowPath(std::wstring(shortPath.data(), length), codePage);
}

void ReadInstallerValue(const wchar_t* key, const wchar_t* defaultValue, wchar_t* field, const wchar_t* iniPath) {
    bool sectionConverted = false, keyConverted = false, defaultConverted = false;
    std::string sectionBytes = WideToCodePage(kCodePage932, L"INSTALLER", &sectionConverted);
    std::string keyBytes = WideToCodePage(kCodePage932, key, &keyConverted);
    std::string defaultBytes = WideToCodePage(kCodePage932, defaultValue, &defaultConverted);
    // The profile functions decode the path with the process's ANSI code page, whatever the
    // values are written in, so the path is converted for that code page.
    std::string pathBytes = AnsiProfilePath(iniPath, GetACP());
    if (!sectionConverted || !keyConverted || !defaultConverted || pathBytes.empty()) {
        CopyText(field, kValueCapacity, defaultValue);
        return;
    }

    char buffer[kProfileBufferBytes] = {};
    GetPrivateProfileStringA(sectionBytes.c_str(), keyBytes.c_str(), defaultBytes.c_str(), buffer,
                             kProfileBufferBytes, pathBytes.c_str());
    buffer[kProfileBufferBytes - 1] = '\0';

    bool valueConverted = false;
    std::wstring value = CodePageToWide(kCodePage932, buffer, &valueConverted);
    if (!valueConverted || !CopyText(field, kValueCapacity, value.c_str())) CopyText(field, kValueCapacity, defaultValue);
}

std::wstring GetSetupIniPath() {
    std::wstring path = GetModuleFolder();
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + L"setup.ini";
}

bool LoadInstallerConfigFrom(HWND owner, const std::wstring& iniPath, UINT codePage) {
    if (AnsiProfilePath(iniPath, codePage).empty() && PathExists(iniPath)) {
        for (const InstallerKey& entry : InstallerKeys()) CopyText(entry.field, kValueCapacity, entry.defaultValue);
        std::wstring text = FormatText(
            L"インストーラの設定ファイルを読み込めませんでした。\n"
            L"ファイルのパスに、このシステムの文字コードで扱えない文字が含まれています。\n%ls",
            iniPath.c_str());
        ShowMessageBox(owner, text.c_str(), L"エラー", MB_ICONERROR);
        return false;
    }
    for (const InstallerKey& entry : InstallerKeys())
        ReadInstallerValue(entry.key, entry.defaultValue, entry.field, iniPath.c_str());
    return true;
}

bool LoadInstallerConfig(HWND owner) { return LoadInstallerConfigFrom(owner, GetSetupIniPath(), GetACP()); }
