#include "records/settings.h"

#include <vector>

#include "base/code_page.h"
#include "base/interaction.h"
#include "base/module.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

constexpr int kProfileBufferBytes = 256;

struct InstallerKey {
    const wchar_t* key;
    const wchar_t* defaultValue;
    wchar_t* field;
};

// The key table of setup.ini, in the order the keys are read.
std::vector<InstallerKey> InstallerKeys(InstallSettings* settings) {
    return {
        {L"Company", L"Company", settings->Company},
        {L"Publisher", L"Publisher", settings->Publisher},
        {L"URLInfoAbout", L"URLInfoAbout", settings->URLInfoAbout},
        {L"AppName", L"ゲーム", settings->AppName},
        {L"InstFolder", L"ゲーム", settings->InstFolder},
        {L"AppExe", L"non.exe", settings->AppExe},
    };
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

void ClearInstallSettings(InstallSettings* settings) {
    settings->Company[0] = L'\0';
    settings->Publisher[0] = L'\0';
    settings->URLInfoAbout[0] = L'\0';
    settings->AppName[0] = L'\0';
    settings->InstFolder[0] = L'\0';
    settings->InstallPath[0] = L'\0';
    settings->AppExe[0] = L'\0';
    settings->DesktopShortcut = 0;
    settings->VerifyFiles = 0;
    settings->IsVistaOrLater = 0;
}

std::string AnsiProfilePath(const std::wstring& path, UINT codePage) {
    std::string narrow;
    if (!path.empty() && ToCodePageExact(codePage, path, &narrow)) return narrow;
    // Short names are plain ASCII wherever the volume keeps them, so they survive any ANSI
    // code page; a temporary folder under a user name in another script still reads this way.
    std::wstring shortPath;
    if (!ShortPathOf(path, &shortPath) || !ToCodePageExact(codePage, shortPath, &narrow)) return {};
    return narrow;
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
    GetPrivateProfileStringA(sectionBytes.c_str(), keyBytes.c_str(), defaultBytes.c_str(), buffer, kProfileBufferBytes,
                             pathBytes.c_str());
    buffer[kProfileBufferBytes - 1] = '\0';

    bool valueConverted = false;
    std::wstring value = CodePageToWide(kCodePage932, buffer, &valueConverted);
    if (!valueConverted || !CopyText(field, kValueCapacity, value.c_str()))
        CopyText(field, kValueCapacity, defaultValue);
}

std::wstring GetSetupIniPath() {
    std::wstring path = GetModuleFolder();
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path + L"setup.ini";
}

bool LoadInstallerConfigFrom(HWND owner, const std::wstring& iniPath, UINT codePage, InstallSettings* settings) {
    if (AnsiProfilePath(iniPath, codePage).empty() && PathExists(iniPath)) {
        for (const InstallerKey& entry : InstallerKeys(settings))
            CopyText(entry.field, kValueCapacity, entry.defaultValue);
        std::wstring text = FormatText(
            L"インストーラの設定ファイルを読み込めませんでした。\n"
            L"ファイルのパスに、このシステムの文字コードで扱えない文字が含まれています。\n%ls",
            iniPath.c_str());
        ShowErrorBox(owner, text.c_str());
        return false;
    }
    for (const InstallerKey& entry : InstallerKeys(settings))
        ReadInstallerValue(entry.key, entry.defaultValue, entry.field, iniPath.c_str());
    return true;
}

bool LoadInstallerConfig(HWND owner, InstallSettings* settings) {
    return LoadInstallerConfigFrom(owner, GetSetupIniPath(), GetACP(), settings);
}
