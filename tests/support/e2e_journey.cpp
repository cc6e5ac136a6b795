#include "support/e2e_journey.h"

#include <shlobj.h>

#include <cstdio>

#include "base/handles.h"
#include "base/module.h"
#include "resources/resource_ids.h"
#include "support/bzip2_bytes.h"
#include "support/registry_values.h"
#include "support/test_files.h"
#include "transfer/crc32.h"

namespace journey {
namespace {

const wchar_t kUninstallList[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::wstring ShellFolder(int csidl) {
    wchar_t folder[MAX_PATH] = {};
    return SHGetSpecialFolderPathW(nullptr, folder, csidl, FALSE) ? folder : L"";
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct WindowList {
    DWORD processId;
    std::wstring lines;
};

BOOL CALLBACK DescribeWindow(HWND window, LPARAM parameter) {
    auto* list = reinterpret_cast<WindowList*>(parameter);
    if (!IsWindowVisible(window) || ui::WindowProcessId(window) != list->processId) return TRUE;
    list->lines += L"  [" + ui::WindowTitle(window) + L"]";
    std::wstring text = ui::MessageBoxText(window);
    if (!text.empty()) list->lines += L" " + text;
    list->lines += L"\n";
    return TRUE;
}

}  // namespace

std::wstring InstallerBuild() {
    wchar_t build[16] = L"";
    DWORD length = GetEnvironmentVariableW(L"INSTALLER_E2E_BUILD", build, 16);
    return length > 0 && length < 16 ? build : L"i686";
}

std::wstring BuiltInstaller() {
    return FullPath(GetModuleFolder() + L"\\..\\..\\" + InstallerBuild() + L"\\installer.exe");
}

REGSAM InstallerRegistryView() { return InstallerBuild() == L"i686" ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

std::wstring InstallerProgramFilesFolder() {
    return ShellFolder(InstallerBuild() == L"i686" ? CSIDL_PROGRAM_FILESX86 : CSIDL_PROGRAM_FILES);
}

std::wstring RunnableProgram() { return FullPath(GetModuleFolder() + L"\\driver\\driver.exe"); }

std::string Bzip2(const std::string& bytes) {
    std::string packed;
    return Bzip2Bytes(bytes, &packed) ? packed : std::string();
}

std::string SetupListBytes(const std::vector<DiscFile>& files) {
    std::wstring list;
    for (const DiscFile& file : files) {
        wchar_t crc[16];
        swprintf(crc, 16, L"%08x", Crc32Of(file.bytes.data(), file.bytes.size()));
        list += std::to_wstring(file.disc) + L"," + file.listPath + L"," + std::to_wstring(file.bytes.size()) + L"," +
                crc + L"\r\n";
    }
    return ToCp932(list);
}

bool WriteDisc(const std::wstring& folder, int disc, const Game& game, const std::vector<DiscFile>& files,
               bool controlFiles, const std::wstring& uninstTemplate, std::wstring* error) {
    auto fail = [&](const std::wstring& what) {
        if (error) *error = what;
        return false;
    };
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (!WriteFileBytes(folder + L"\\drvno.dat", "drvno:" + std::to_string(disc) + "\r\n"))
        return fail(L"cannot write drvno.dat in " + folder);
    for (const DiscFile& file : files) {
        if (file.disc != disc) continue;
        const std::string stored = EndsWith(file.listPath, L".bz2") ? Bzip2(file.bytes) : file.bytes;
        if (!WriteFileBytes(folder + L"\\data\\" + file.listPath, stored))
            return fail(L"cannot write " + file.listPath);
    }
    if (!controlFiles) return true;
    if (!CopyFileW(BuiltInstaller().c_str(), (folder + L"\\installer.exe").c_str(), FALSE))
        return fail(L"cannot copy " + BuiltInstaller());
    const std::wstring ini = L"[INSTALLER]\r\nCompany=" + game.company + L"\r\nPublisher=" + game.publisher +
                             L"\r\nURLInfoAbout=" + game.url + L"\r\nAppName=" + game.appName + L"\r\nInstFolder=" +
                             game.instFolder + L"\r\nAppExe=" + game.appExe + L"\r\n";
    if (!WriteFileBytes(folder + L"\\setup.ini", ToCp932(ini))) return fail(L"cannot write setup.ini");
    if (!WriteFileBytes(folder + L"\\setup.lst", SetupListBytes(files))) return fail(L"cannot write setup.lst");
    if (!WriteFileBytes(folder + L"\\uninst.dat", ToCp932(uninstTemplate))) return fail(L"cannot write uninst.dat");
    return true;
}

std::wstring OwnKeyPath(const Game& game) { return L"Software\\" + game.company + L"\\" + game.appName; }

std::wstring UninstallEntryPath(const Game& game) { return kUninstallList + game.appName; }

RegistryValue ReadRegistryValue(HKEY root, const std::wstring& key, const wchar_t* name) {
    StoredValue stored = ReadStoredValue(root, key, name, InstallerRegistryView());
    RegistryValue value;
    value.type = stored.type;
    if (!stored.present) return value;
    value.present = true;
    value.bytes = stored.data.size();
    std::vector<BYTE> data = stored.data;
    data.resize(data.size() + sizeof(wchar_t), 0);  // text ends at its first terminator, stored or not
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) value.text = reinterpret_cast<const wchar_t*>(data.data());
    if (value.type == REG_DWORD && value.bytes == sizeof(DWORD)) value.number = stored.Number();
    return value;
}

bool RegistryKeyExists(HKEY root, const std::wstring& key) {
    return StoredKeyExists(root, key, InstallerRegistryView());
}

std::wstring DesktopShortcutPath(const Game& game) {
    return ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\" + game.appName + L".lnk";
}

std::vector<std::wstring> StartMenuShortcutPaths(const Game& game) {
    const std::wstring folder = ShellFolder(CSIDL_PROGRAMS) + L"\\" + game.company + L"\\" + game.appName + L"\\";
    return {folder + L"「" + game.appName + L"」.lnk", folder + L"「" + game.appName + L"」のアンインストール.lnk",
            folder + L"「" + game.appName + L"」のマニュアル.lnk"};
}

void CleanUpGame(const Game& game, const std::wstring& installFolder) {
    RegDeleteTreeW(HKEY_CURRENT_USER, OwnKeyPath(game).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\" + game.company).c_str());
    RegKey uninstallList;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallList, 0, KEY_ALL_ACCESS | InstallerRegistryView(),
                      uninstallList.receive()) == ERROR_SUCCESS)
        RegDeleteTreeW(uninstallList.get(), game.appName.c_str());
    DeleteFileW(DesktopShortcutPath(game).c_str());
    RemoveTree(ShellFolder(CSIDL_PROGRAMS) + L"\\" + game.company);
    if (!installFolder.empty()) RemoveTree(installFolder);
}

WineVersion::WineVersion(const wchar_t* version) {
    RegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.receive(),
                        nullptr) != ERROR_SUCCESS)
        return;
    wchar_t old[64] = {};
    DWORD bytes = sizeof(old) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), L"Version", nullptr, &type, reinterpret_cast<BYTE*>(old), &bytes) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        hadValue_ = true;
        previous_ = old;
    }
    applied_ = RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                              static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

WineVersion::~WineVersion() {
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine", 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS) return;
    if (hadValue_)
        RegSetValueExW(key.get(), L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(previous_.c_str()),
                       static_cast<DWORD>((previous_.size() + 1) * sizeof(wchar_t)));
    else
        RegDeleteValueW(key.get(), L"Version");
}

bool AnswerStagingFailure(const ui::Process& staging, const std::wstring& fileName, std::wstring* account) {
    wchar_t systemRoot[MAX_PATH] = {};
    GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH);
    const std::wstring prefix =
        L"コピーできませんでした。\n次のコピー先ファイルが起動中か読み取り専用になっている可能性があります。\n" +
        std::wstring(systemRoot) + L"\\Temp\\";
    HWND box = ui::WaitForMessageBox(L"エラー", kStepTimeout, staging.id);
    const std::wstring copyText = box ? ui::MessageBoxText(box) : L"(no box)";
    *account = L"first box: " + copyText;
    if (!box || _wcsnicmp(copyText.c_str(), prefix.c_str(), prefix.size()) != 0 ||
        !EndsWith(copyText, L"\\" + fileName)) {
        return false;
    }
    ui::ClickButton(box, IDOK);
    if (!ui::WaitUntilGone(box)) return false;
    box = ui::WaitForMessageBox(L"エラー", kStepTimeout, staging.id);
    const std::wstring failText = box ? ui::MessageBoxText(box) : L"(no box)";
    *account += L"\nsecond box: " + failText;
    if (!box || failText != L"インストールに失敗しました。\nTempフォルダへインストーラをコピーすることができませんでした。") {
        return false;
    }
    ui::ClickButton(box, IDOK);
    DWORD code = 0;
    const bool ended = ui::WaitForExit(staging, kStepTimeout, &code);
    *account += L"\nexit code " + std::to_wstring(code);
    return ended && code == 1;
}

std::wstring DescribeWindows(DWORD processId) {
    WindowList list{processId, L""};
    if (processId != 0) EnumWindows(DescribeWindow, reinterpret_cast<LPARAM>(&list));
    return list.lines.empty() ? L"  (no visible window)\n" : list.lines;
}

InstallerRun::~InstallerRun() { reaper_.EndAll(); }

void InstallerRun::Note(const std::wstring& line) { log_ += line + L"\n"; }

bool InstallerRun::Start(const std::wstring& discFolder) {
    const std::wstring program = discFolder + L"\\installer.exe";
    ui::Process staging = ui::StartProgram(program, L"", discFolder);
    if (!staging) {
        Note(L"could not start " + program);
        return false;
    }
    reaper_.Add(staging.id);
    const std::wstring title = game_.appName + L" インストーラ";
    main_ = ui::WaitForWindow(title, kStepTimeout);
    if (!main_) {
        Note(L"no window titled \"" + title + L"\" appeared; the staging process shows:\n" +
             DescribeWindows(staging.id));
        return false;
    }
    processId_ = ui::WindowProcessId(main_);
    reaper_.Add(processId_);
    working_ = ui::OpenRunningProcess(processId_);
    Note(L"main dialog of process " + std::to_wstring(processId_));
    return true;
}

bool InstallerRun::WaitForLook(bool installed, DWORD timeoutMs) {
    const std::wstring wanted = installed ? L"アンインストール" : L"インストール";
    const DWORD start = GetTickCount();
    do {
        if (ui::ControlText(main_, IDC_INSTALL) == wanted) return true;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    Note(L"the main button still reads \"" + ui::ControlText(main_, IDC_INSTALL) + L"\", not \"" + wanted +
         L"\"; on screen:\n" + DescribeWindows(processId_));
    return false;
}

bool InstallerRun::AnswerBox(const std::wstring& title, int button, std::wstring* text, DWORD timeoutMs) {
    HWND box = ui::WaitForMessageBox(title, timeoutMs, processId_);
    if (!box) {
        Note(L"no box titled \"" + title + L"\"; on screen:\n" + DescribeWindows(processId_));
        return false;
    }
    std::wstring shown = ui::MessageBoxText(box);
    if (text) *text = shown;
    Note(L"box [" + title + L"] " + shown);
    if (!ui::ClickButton(box, button) || !ui::WaitUntilGone(box, timeoutMs)) {
        Note(L"the box did not close on button " + std::to_wstring(button));
        return false;
    }
    return true;
}

bool InstallerRun::PressInstall(const std::wstring& folder, int answer, std::wstring* text) {
    if (!ui::TypeText(main_, IDC_DESTINATION, folder) || !ui::ClickButton(main_, IDC_INSTALL)) {
        Note(L"cannot type the destination or press インストール");
        return false;
    }
    return AnswerBox(L"確認", answer, text);
}

HWND InstallerRun::WaitForProgressDialog(DWORD timeoutMs) {
    HWND progress = ui::WaitForWindow(L"セットアップ中", timeoutMs, processId_);
    if (!progress) Note(L"no progress dialog; on screen:\n" + DescribeWindows(processId_));
    return progress;
}

bool InstallerRun::Uninstall(std::wstring* text) {
    if (!ui::ClickButton(main_, IDC_INSTALL)) return false;
    HWND dialog = ui::WaitForWindow(L"アンインストール", kStepTimeout, processId_);
    if (!dialog) {
        Note(L"no uninstall dialog; on screen:\n" + DescribeWindows(processId_));
        return false;
    }
    if (!ui::ClickButton(dialog, IDC_START_REMOVAL)) return false;
    if (!AnswerBox(L"確認", IDOK, text)) return false;
    return ui::WaitUntilGone(dialog, kStepTimeout);
}

bool InstallerRun::Exit(DWORD* exitCode) {
    if (!ui::ClickButton(main_, IDC_EXIT)) return false;
    std::wstring question;
    if (!AnswerBox(L"確認", IDOK, &question)) return false;
    if (question != L"終了しますか？") Note(L"unexpected exit question");
    return WaitForEnd(exitCode);
}

bool InstallerRun::WaitForEnd(DWORD* exitCode, DWORD timeoutMs) {
    DWORD code = 0;
    if (!working_ || !ui::WaitForExit(working_, timeoutMs, &code)) {
        Note(L"the installer did not end; on screen:\n" + DescribeWindows(processId_));
        return false;
    }
    if (exitCode) *exitCode = code;
    return true;
}

}  // namespace journey
