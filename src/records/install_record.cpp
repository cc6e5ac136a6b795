// The registry records of an installation. The own key under HKEY_CURRENT_USER is the only sign
// that the game is installed; the entry under HKEY_LOCAL_MACHINE is written for the system's
// list of installed programs and never read back.
#include "records/install_record.h"

#include <string>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"
#include "records/settings.h"

namespace {

const wchar_t kUninstallList[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kUninstallerName[] = L"uninst.exe";
const wchar_t kReadFailed[] = L"インストール情報の取得に失敗しました。";
const wchar_t kWriteFailed[] = L"インストール情報の記述に失敗しました。";
const wchar_t kDeleteFailed[] = L"インストール情報の削除に失敗しました。";
const wchar_t kEntryFailed[] = L"アンインストール情報の記述に失敗しました。";

std::wstring OwnKeyPath(const InstallSettings& settings) {
    return FormatText(L"Software\\%ls\\%ls", settings.Company, settings.AppName);
}

std::wstring UninstallEntryPath(const InstallSettings& settings) {
    return std::wstring(kUninstallList) + settings.AppName;
}

bool CreateKey(HKEY root, const std::wstring& path, RegKey* key) {
    return RegCreateKeyExW(root, path.c_str(), 0, const_cast<wchar_t*>(L""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key->receive(), nullptr) == ERROR_SUCCESS;
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes) == ERROR_SUCCESS;
}

bool SetDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

// "InstallPath" must be a REG_SZ of at most 259 characters: anything else would not fit the
// field, or is not a path this program wrote.
bool QueryInstallPath(HKEY key, wchar_t (&path)[kPathCapacity]) {
    wchar_t buffer[kPathCapacity + 1] = {};  // one spare character keeps an unterminated value terminated
    DWORD type = 0;
    DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key, L"InstallPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ) return false;
    return CopyText(path, buffer);  // false when the text fills all 260 characters
}

// "DskSht" must be a REG_DWORD of exactly four bytes.
bool QueryDesktopShortcut(HKEY key, int* value) {
    DWORD data = 0;
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    if (RegQueryValueExW(key, L"DskSht", nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || bytes != sizeof(data)) return false;
    *value = static_cast<int>(data);
    return true;
}

}  // namespace

int ReadInstallRecord(HWND owner, InstallSettings* settings) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, OwnKeyPath(*settings).c_str(), 0, KEY_ALL_ACCESS, key.receive()) !=
        ERROR_SUCCESS)
        return 0;
    wchar_t path[kPathCapacity];
    int desktopShortcut = 0;
    if (!QueryInstallPath(key.get(), path) || !QueryDesktopShortcut(key.get(), &desktopShortcut)) {
        ShowErrorBox(owner, kReadFailed);
        return 0;
    }
    CopyText(settings->InstallPath, path);
    settings->DesktopShortcut = desktopShortcut;
    return 1;
}

int WriteInstallRecord(HWND owner, const InstallSettings& settings, uint64_t sourceBytes) {
    {
        RegKey own;
        if (!CreateKey(HKEY_CURRENT_USER, OwnKeyPath(settings), &own) ||
            !SetString(own.get(), L"InstallPath", settings.InstallPath) ||
            !SetDword(own.get(), L"DskSht", static_cast<DWORD>(settings.DesktopShortcut))) {
            ShowErrorBox(owner, kWriteFailed);
            return 0;
        }
    }

    RegKey entry;
    if (!CreateKey(HKEY_LOCAL_MACHINE, UninstallEntryPath(settings), &entry)) {
        ShowErrorBox(owner, kEntryFailed);
        return 0;
    }
    const std::wstring installPath = settings.InstallPath;
    const std::wstring uninstaller = installPath + kUninstallerName;
    // Quoted, so that a destination with blanks still names one program.
    const std::wstring uninstallCommand = L"\"" + uninstaller + L"\" /luninst1";
    const DWORD estimatedKib = static_cast<DWORD>(sourceBytes >> 10);

    struct EntryValue {
        const wchar_t* name;
        DWORD type;
        std::wstring text;
        DWORD number;
        const wchar_t* message;
    };
    const EntryValue values[] = {
        {L"DisplayName", REG_SZ, settings.AppName, 0, kEntryFailed},
        {L"UninstallString", REG_SZ, uninstallCommand, 0, kEntryFailed},
        {L"DisplayIcon", REG_SZ, uninstaller, 0, L"アンインストールアイコン情報の記述に失敗しました。"},
        {L"NoModify", REG_DWORD, L"", 1, L"削除タイプの記述に失敗しました。"},
        {L"NoRepair", REG_DWORD, L"", 1, L"修復タイプの記述に失敗しました。"},
        {L"Publisher", REG_SZ, settings.Publisher, 0, L"アンインストール発行元情報の記述に失敗しました。"},
        {L"HelpLink", REG_SZ, settings.URLInfoAbout, 0, L"アンインストールヘルプ情報の記述に失敗しました。"},
        {L"URLInfoAbout", REG_SZ, settings.URLInfoAbout, 0, L"アンインストールヘルプ情報の記述に失敗しました。"},
        {L"EstimatedSize", REG_DWORD, L"", estimatedKib, L"インストールサイズの記述に失敗しました。"},
    };
    // In table order; the first failure stops the record, and what was written stays.
    for (const EntryValue& value : values) {
        const bool written = value.type == REG_SZ ? SetString(entry.get(), value.name, value.text)
                                                  : SetDword(entry.get(), value.name, value.number);
        if (!written) {
            ShowErrorBox(owner, value.message);
            return 0;
        }
    }
    return 1;
}

int DeleteInstallRecord(HWND owner, const InstallSettings& settings) {
    {
        RegKey software;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_ALL_ACCESS, software.receive()) != ERROR_SUCCESS)
            return 0;
        const std::wstring gameKey = FormatText(L"%ls\\%ls", settings.Company, settings.AppName);
        if (RegDeleteKeyW(software.get(), gameKey.c_str()) != ERROR_SUCCESS) {
            ShowErrorBox(owner, kDeleteFailed);
            return 0;
        }
        // Goes only when no other game of the same company is recorded below it.
        RegDeleteKeyW(software.get(), settings.Company);
    }
    RegKey list;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallList, 0, KEY_ALL_ACCESS, list.receive()) != ERROR_SUCCESS) return 0;
    RegDeleteKeyW(list.get(), settings.AppName);
    return 1;
}
