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
#include "base/paths.h"
#include "base/text.h"
#include "install/progress_dialog.h"
#include "records/install_record.h"
#include "records/uninstall_record.h"
#include "resources/resource_ids.h"
#include "uninstall/removal.h"
#include "uninstall/uninstall_dialog.h"

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
const wchar_t kDestinationNotFull[] =
    L"インストール先のフォルダ名が正しくありません。\n\nドライブ名から始まるフォルダ（C:\\Games など）か、ネットワーク上の"
    L"共有フォルダ（\\\\サーバー名\\共有名\\Games など）を指定して下さい。";
const wchar_t kDestinationIsRoot[] =
    L"ドライブやネットワーク上の共有フォルダのルートにはインストールできません。\n\nその中のフォルダ（C:\\Games など）を"
    L"指定して下さい。";
const wchar_t kDestinationUnrecordable[] =
    L"インストール先のフォルダ名に使用できない文字が含まれています。\n\nカンマ（,）や日本語の文字コード（Shift_JIS）で"
    L"表せない文字を含まないフォルダを指定して下さい。";

// Windows keeps only the handle that WM_SETICON is given, so the icon outlives every opening of
// the dialog: loaded once, freed when the process ends.
IconHandle appIcon;

bool IsInstalledLook(const MainDialogState& state) { return state.settings.Installed == 1; }

HWND Control(const MainDialogState& state, int id) { return GetDlgItem(state.window, id); }

// The whole text of the destination edit, however long the user made it.
std::wstring DestinationText(const MainDialogState& state) {
    HWND edit = Control(state, IDC_DESTINATION);
    int length = GetWindowTextLengthW(edit);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(edit, &text[0], length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

// The typed folder with a final backslash, or false when it does not fit InstallPath.
bool TypedFolder(const MainDialogState& state, wchar_t (&folder)[kPathCapacity]) {
    return CopyText(folder, DestinationText(state).c_str()) && AddBackslash(folder);
}

void ConfirmExit(const MainDialogState& state) {
    if (ShowMessageBox(state.window, L"終了しますか？", kConfirmTitle, MB_OKCANCEL) == IDOK) PostQuitMessage(0);
}

// The program-files folder below major version 6, the system drive's root from 6 on, with the
// company folder inside.
void FormDefaultDestination(InstallSettings* settings) {
    wchar_t drive[kPathCapacity] = L"";
    if (GetSystemDirectoryW(drive, kPathCapacity) != 0) {
        PathStripToRootW(drive);
        size_t length = wcslen(drive);
        if (length > 0 && drive[length - 1] == L'\\') drive[length - 1] = L'\0';
    }
    wchar_t folder[kPathCapacity] = L"";
    if (settings->IsVistaOrLater == 1) {
        CopyText(folder, drive);
    } else if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_PROGRAM_FILES, FALSE)) {
        CopyText(folder, FormatText(L"%ls\\Program Files", drive).c_str());
    }
    wchar_t destination[kPathCapacity];
    CopyText(destination, folder);
    // A company name too long for a path leaves the parent folder as the suggestion.
    if (!AddBackslash(destination) || !AppendText(destination, settings->Company) || !AddBackslash(destination)) {
        CopyText(destination, folder);
        AddBackslash(destination);
    }
    CopyText(settings->InstallPath, destination);
}

void ShowWindowIcon(HWND window) {
    if (!appIcon)
        appIcon.reset(static_cast<HICON>(
            LoadImageW(instanceHandle, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR)));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon.get()));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon.get()));
}

void RunInstallSequence(MainDialogState& state) {
    InstallSettings& settings = state.settings;
    wchar_t destination[kPathCapacity];
    if (!TypedFolder(state, destination) || !AppendText(destination, settings.InstFolder) ||
        !AddBackslash(destination)) {
        ShowErrorBox(state.window, kDestinationTooLong);
        return;
    }
    // A folder that the uninstaller cannot walk would leave the game behind at uninstallation.
    if (ResolveFolderBelowRoot(destination).empty()) {
        ShowErrorBox(state.window, ResolvesToRoot(destination) ? kDestinationIsRoot : kDestinationNotFull);
        return;
    }
    // Nor may uninst.dat be unable to name it.
    switch (CheckRecordFolder(destination)) {
        case RecordFolderFit::kUnrecordableCharacters:
            ShowErrorBox(state.window, kDestinationUnrecordable);
            return;
        case RecordFolderFit::kTooLong:
            ShowErrorBox(state.window, kDestinationTooLongForRecord);
            return;
        case RecordFolderFit::kFits:
            break;
    }
    // The confirmed destination: from here the installation reads it from the settings it is given.
    CopyText(settings.InstallPath, destination);
    std::wstring question = FormatText(kConfirmInstall, settings.InstallPath);
    if (ShowMessageBox(state.window, question.c_str(), kConfirmTitle, MB_OKCANCEL | MB_ICONWARNING) != IDOK) return;

    if (DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_PROGRESS), state.window, ProgressDialogProc,
                        reinterpret_cast<LPARAM>(&state.installation)) == 1)
        WriteInstallRecord(state.window, settings, state.installation.progress.sourceBytes.load());
    InitMainDialog(&state);
}

void RunUninstallSequence(MainDialogState& state) {
    UninstallDialogState uninstall;
    uninstall.settings = &state.settings;
    if (DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_UNINSTALL), state.window, UninstallDialogProc,
                        reinterpret_cast<LPARAM>(&uninstall)) == 1)
        DeleteInstallRecord(state.window, state.settings);
    if (state.removeSelfOnExit == 1) RemoveSelf();
    InitMainDialog(&state);
}

void OnBrowse(MainDialogState& state) {
    InstallSettings& settings = state.settings;
    if (IsInstalledLook(state)) {
        ShellExecuteW(nullptr, L"open", settings.InstallPath, nullptr, nullptr, SW_SHOWNORMAL);
        return;
    }
    wchar_t typed[kPathCapacity];
    const bool fits = TypedFolder(state, typed);
    // A typed text too long for a path is left in the edit as it is, for the install button to refuse.
    CopyText(settings.InstallPath, fits ? typed : L"");
    BrowseInstallFolder(&state);
    if (settings.InstallPath[0] != L'\0')
        SendDlgItemMessageW(state.window, IDC_DESTINATION, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(settings.InstallPath));
}

void OnLaunch(const InstallSettings& settings) {
    std::wstring program = std::wstring(settings.InstallPath) + settings.AppExe;
    ShellExecuteW(nullptr, L"open", program.c_str(), nullptr, settings.InstallPath, SW_SHOWNORMAL);
    PostQuitMessage(0);
}

int CheckedOption(const MainDialogState& state, int id) {
    return SendMessageW(Control(state, id), BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void OnCommand(MainDialogState& state, int id) {
    switch (id) {
        case IDC_BROWSE:
            OnBrowse(state);
            break;
        case IDC_DESKTOP_SHORTCUT:
            state.settings.DesktopShortcut = CheckedOption(state, id);
            break;
        case IDC_VERIFY_FILES:
            state.settings.VerifyFiles = CheckedOption(state, id);
            break;
        case IDC_EXIT:
            ConfirmExit(state);
            break;
        case IDC_LAUNCH:
            OnLaunch(state.settings);
            break;
        case IDC_INSTALL:
            if (IsInstalledLook(state))
                RunUninstallSequence(state);
            else
                RunInstallSequence(state);
            break;
        default:  // IDOK and IDCANCEL among them: Escape does not end the installer
            break;
    }
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    auto* state = reinterpret_cast<MainDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!state) return FALSE;
    state->window = dialog;
    switch (message) {
        case WM_INITDIALOG: {
            // The progress dialog's bars need the version 6 control classes registered.
            INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&controls);
            InitMainDialog(state);
            return TRUE;
        }
        case WM_CLOSE:
            ConfirmExit(*state);
            return FALSE;
        case WM_COMMAND:
            OnCommand(*state, LOWORD(wParam));
            return FALSE;
        default:
            return FALSE;
    }
}

void InitMainDialog(MainDialogState* state) {
    InstallSettings& settings = state->settings;
    ClearInstallSettings(&settings);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    settings.IsVistaOrLater = version.dwMajorVersion >= 6 ? 1 : 0;
    ShowWindowIcon(state->window);

    // Without its setup.ini the installer would record and install under made-up names.
    if (!LoadInstallerConfig(state->window, &settings)) {
        PostQuitMessage(0);
        return;
    }

    settings.Installed = ReadInstallRecord(state->window, &settings);
    if (settings.Installed == 0) FormDefaultDestination(&settings);
    SendDlgItemMessageW(state->window, IDC_DESTINATION, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(settings.InstallPath));

    SendMessageW(Control(*state, IDC_DESKTOP_SHORTCUT), BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(Control(*state, IDC_VERIFY_FILES), BM_SETCHECK, BST_CHECKED, 0);
    settings.VerifyFiles = 1;
    if (settings.Installed == 0) settings.DesktopShortcut = 1;

    SetWindowTextW(state->window, FormatText(L"%ls インストーラ", settings.AppName).c_str());
    ApplyDialogLook(state);
}

void ApplyDialogLook(MainDialogState* state) {
    InstallSettings& settings = state->settings;
    const bool installed = IsInstalledLook(*state);
    if (settings.IsVistaOrLater == 1)
        ShowWindow(Control(*state, IDC_LAUNCH), SW_HIDE);
    else
        EnableWindow(Control(*state, IDC_LAUNCH), installed);
    SetWindowTextW(Control(*state, IDC_INSTALL), installed ? L"アンインストール" : L"インストール");
    SetWindowTextW(Control(*state, IDC_BROWSE), installed ? L"開く" : L"参照");
    EnableWindow(Control(*state, IDC_DESTINATION), !installed);
    EnableWindow(Control(*state, IDC_DESKTOP_SHORTCUT), !installed);
    EnableWindow(Control(*state, IDC_VERIFY_FILES), !installed);
    if (!installed) {
        SendMessageW(Control(*state, IDC_DESKTOP_SHORTCUT), BM_SETCHECK, BST_CHECKED, 0);
        settings.DesktopShortcut = 1;
    } else {
        SendDlgItemMessageW(state->window, IDC_DESTINATION, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(settings.InstallPath));
        SendMessageW(Control(*state, IDC_DESKTOP_SHORTCUT), BM_SETCHECK,
                     settings.DesktopShortcut == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

void BrowseInstallFolder(MainDialogState* state) {
    wchar_t folder[kPathCapacity] = L"";
    GetDlgItemTextW(state->window, IDC_DESTINATION, folder, kPathCapacity);

    BROWSEINFOW info{};
    info.hwndOwner = state->window;
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
    if (folder[0] != L'\0' && AddBackslash(folder)) CopyText(state->settings.InstallPath, folder);
}

int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
    // Opens the browser on the folder typed in the edit.
    if (message == BFFM_INITIALIZED) SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}
