// The main installer dialog. One window with two looks: an installer while the registry holds no
// record of the game, the front of the uninstaller once it does. After each child dialog it
// initialises itself again, which is how it moves between the looks.
#include "frontend/main_dialog.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/module.h"
#include "base/text.h"
#include "install/progress_dialog.h"
#include "records/install_record.h"
#include "records/settings.h"
#include "records/uninstall_record.h"
#include "resources/resource_ids.h"
#include "uninstall/removal.h"
#include "uninstall/uninstall_dialog.h"

HWND mainWindow = nullptr;
int removeSelfOnExit = 0;  // nothing sets it: the installer does not delete itself after an uninstallation

namespace {

const wchar_t kConfirmTitle[] = L"確認";
const wchar_t kBrowseTitle[] =
    L"インストール先フォルダを指定して下さい。\n※選択したフォルダ内にゲーム名フォルダが作成されます。";
const wchar_t kConfirmInstall[] =
    L"インストールを開始します。\n「%ls」\n\n※既に存在するファイルは上書きされます。\n※指定フォルダ内にゲーム名フォルダ"
    L"が作成されます。\n※存在しないフォルダは作成されます。";
const wchar_t kDestinationTooLong[] =
    L"インストール先のフォルダ名が長すぎます。\n\nゲーム名フォルダを含めて259文字以内になるフォルダを指定して下さい。";
const wchar_t kDestinationTooLongForRecord[] =
    L"インストール先のフォルダ名が長すぎます。\n\nアンインストール情報にゲームのファイルを記録できる長さのフォルダを指定"
    L"して下さい。";
const wchar_t kDestinationUnrecordable[] =
    L"インストール先のフォルダ名に使用できない文字が含まれています。\n\nカンマ（,）や日本語の文字コード（Shift_JIS）で"
    L"表せない文字を含まないフォルダを指定して下さい。";

IconHandle appIcon;

bool IsInstalledLook() { return installSettings.Installed == 1; }

HWND Control(int id) { return GetDlgItem(mainWindow, id); }

// The whole text of the destination edit, however long the user made it.
std::wstring DestinationText() {
    HWND edit = Control(IDC_DESTINATION);
    int length = GetWindowTextLengthW(edit);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(edit, &text[0], length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

// The typed folder with a final backslash, or false when it does not fit InstallPath.
bool TypedFolder(wchar_t (&folder)[kPathCapacity]) {
    return CopyText(folder, DestinationText().c_str()) && AddBackslash(folder);
}

void ConfirmExit() {
    if (ShowMessageBox(mainWindow, L"終了しますか？", kConfirmTitle, MB_OKCANCEL) == IDOK) PostQuitMessage(0);
}

// The program-files folder below major version 6, the system drive's root from 6 on, with the
// company folder inside.
void FormDefaultDestination() {
    wchar_t drive[kPathCapacity] = L"";
    if (GetSystemDirectoryW(drive, kPathCapacity) != 0) {
        PathStripToRootW(drive);
        size_t length = wcslen(drive);
        if (length > 0 && drive[length - 1] == L'\\') drive[length - 1] = L'\0';
    }
    wchar_t folder[kPathCapacity] = L"";
    if (installSettings.IsVistaOrLater == 1) {
        CopyText(folder, drive);
    } else if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE)) {
        CopyText(folder, FormatText(L"%ls\\Program Files", drive).c_str());
    }
    wchar_t destination[kPathCapacity];
    CopyText(destination, folder);
    // A company name too long for a path leaves the parent folder as the suggestion.
    if (!AddBackslash(destination) || !AppendText(destination, installSettings.Company) || !AddBackslash(destination)) {
        CopyText(destination, folder);
        AddBackslash(destination);
    }
    CopyText(installSettings.InstallPath, destination);
}

void ShowWindowIcon() {
    if (!appIcon)
        appIcon.reset(static_cast<HICON>(
            LoadImageW(instanceHandle, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR)));
    SendMessageW(mainWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon.get()));
    SendMessageW(mainWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon.get()));
}

void RunInstallSequence() {
    wchar_t destination[kPathCapacity];
    if (!TypedFolder(destination) || !AppendText(destination, installSettings.InstFolder) ||
        !AddBackslash(destination)) {
        ShowErrorBox(mainWindow, kDestinationTooLong);
        return;
    }
    // A folder that uninst.dat cannot name would leave the game behind at uninstallation.
    switch (CheckRecordFolder(destination)) {
        case RecordFolderFit::kUnrecordableCharacters:
            ShowErrorBox(mainWindow, kDestinationUnrecordable);
            return;
        case RecordFolderFit::kTooLong:
            ShowErrorBox(mainWindow, kDestinationTooLongForRecord);
            return;
        case RecordFolderFit::kFits:
            break;
    }
    CopyText(installSettings.InstallPath, destination);
    std::wstring question = FormatText(kConfirmInstall, installSettings.InstallPath);
    if (ShowMessageBox(mainWindow, question.c_str(), kConfirmTitle, MB_OKCANCEL | MB_ICONWARNING) != IDOK) return;

    if (DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_PROGRESS), mainWindow, ProgressDialogProc, 0) == 1)
        WriteInstallRecord();
    InitMainDialog();
}

void RunUninstallSequence() {
    if (DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_UNINSTALL), mainWindow, UninstallDialogProc, 0) == 1)
        DeleteInstallRecord();
    if (removeSelfOnExit == 1) RemoveSelf();
    InitMainDialog();
}

void OnBrowse() {
    if (IsInstalledLook()) {
        ShellExecuteW(nullptr, L"open", installSettings.InstallPath, nullptr, nullptr, SW_SHOWNORMAL);
        return;
    }
    wchar_t typed[kPathCapacity];
    const bool fits = TypedFolder(typed);
    // A typed text too long for a path is left in the edit as it is, for the install button to refuse.
    CopyText(installSettings.InstallPath, fits ? typed : L"");
    BrowseInstallFolder();
    if (installSettings.InstallPath[0] != L'\0')
        SendDlgItemMessageW(mainWindow, IDC_DESTINATION, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(installSettings.InstallPath));
}

void OnLaunch() {
    std::wstring program = std::wstring(installSettings.InstallPath) + installSettings.AppExe;
    ShellExecuteW(nullptr, L"open", program.c_str(), nullptr, installSettings.InstallPath, SW_SHOWNORMAL);
    PostQuitMessage(0);
}

int CheckedOption(int id) { return SendMessageW(Control(id), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0; }

void OnCommand(int id) {
    switch (id) {
        case IDC_BROWSE:
            OnBrowse();
            break;
        case IDC_DESKTOP_SHORTCUT:
            installSettings.DesktopShortcut = CheckedOption(id);
            break;
        case IDC_VERIFY_FILES:
            installSettings.VerifyFiles = CheckedOption(id);
            break;
        case IDC_EXIT:
            ConfirmExit();
            break;
        case IDC_LAUNCH:
            OnLaunch();
            break;
        case IDC_INSTALL:
            if (IsInstalledLook())
                RunUninstallSequence();
            else
                RunInstallSequence();
            break;
        default:  // IDOK and IDCANCEL among them: Escape does not end the installer
            break;
    }
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    mainWindow = dialog;
    switch (message) {
        case WM_INITDIALOG: {
            // The progress dialog's bars need the version 6 control classes registered.
            INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&controls);
            InitMainDialog();
            return TRUE;
        }
        case WM_CLOSE:
            ConfirmExit();
            return FALSE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return FALSE;
        default:
            return FALSE;
    }
}

void InitMainDialog() {
    ClearInstallSettings();
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    installSettings.IsVistaOrLater = version.dwMajorVersion >= 6 ? 1 : 0;
    ShowWindowIcon();

    // Without its setup.ini the installer would record and install under made-up names.
    if (!LoadInstallerConfig(mainWindow)) {
        PostQuitMessage(0);
        return;
    }

    installSettings.Installed = ReadInstallRecord();
    if (installSettings.Installed == 0) FormDefaultDestination();
    SendDlgItemMessageW(mainWindow, IDC_DESTINATION, WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(installSettings.InstallPath));

    SendMessageW(Control(IDC_DESKTOP_SHORTCUT), BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(Control(IDC_VERIFY_FILES), BM_SETCHECK, BST_CHECKED, 0);
    installSettings.VerifyFiles = 1;
    if (installSettings.Installed == 0) installSettings.DesktopShortcut = 1;

    SetWindowTextW(mainWindow, FormatText(L"%ls インストーラ", installSettings.AppName).c_str());
    ApplyDialogLook();
}

void ApplyDialogLook() {
    const bool installed = IsInstalledLook();
    if (installSettings.IsVistaOrLater == 1)
        ShowWindow(Control(IDC_LAUNCH), SW_HIDE);
    else
        EnableWindow(Control(IDC_LAUNCH), installed);
    SetWindowTextW(Control(IDC_INSTALL), installed ? L"アンインストール" : L"インストール");
    SetWindowTextW(Control(IDC_BROWSE), installed ? L"開く" : L"参照");
    EnableWindow(Control(IDC_DESTINATION), !installed);
    EnableWindow(Control(IDC_DESKTOP_SHORTCUT), !installed);
    EnableWindow(Control(IDC_VERIFY_FILES), !installed);
    if (!installed) {
        SendMessageW(Control(IDC_DESKTOP_SHORTCUT), BM_SETCHECK, BST_CHECKED, 0);
        installSettings.DesktopShortcut = 1;
    } else {
        SendDlgItemMessageW(mainWindow, IDC_DESTINATION, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(installSettings.InstallPath));
        SendMessageW(Control(IDC_DESKTOP_SHORTCUT), BM_SETCHECK,
                     installSettings.DesktopShortcut == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

void BrowseInstallFolder() {
    wchar_t folder[kPathCapacity] = L"";
    GetDlgItemTextW(mainWindow, IDC_DESTINATION, folder, kPathCapacity);

    BROWSEINFOW info{};
    info.hwndOwner = mainWindow;
    info.pidlRoot = nullptr;
    info.pszDisplayName = folder;
    info.lpszTitle = kBrowseTitle;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(folder);
    info.iImage = 0;

    ComScope com;
    CoTaskMemory chosen(ShowFolderBrowser(&info));
    // Cancelled, or a choice without a file-system path: the folder set before browsing stays.
    if (!chosen || !SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(chosen.get()), folder)) return;
    if (folder[0] != L'\0' && AddBackslash(folder)) CopyText(installSettings.InstallPath, folder);
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
    // Opens the browser on the folder typed in the edit.
    if (message == BFFM_INITIALIZED) SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}
