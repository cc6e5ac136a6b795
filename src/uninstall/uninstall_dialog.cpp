#include "uninstall/uninstall_dialog.h"

#include <string>
#include <vector>

#include "base/interaction.h"
#include "base/paths.h"
#include "base/text.h"
#include "records/uninstall_record.h"
#include "resources/resource_ids.h"
#include "uninstall/removal.h"

namespace {

void ShowMissingRecord(HWND owner, const std::wstring& recordPath) {
    std::wstring text = FormatText(L"%ls%ls", recordPath.c_str(),
                                   L"\n\nアンインストールファイルリストがみつかりません。\n\n"
                                   L"ゲームデータは手動で削除、または移動された可能性があります。");
    ShowErrorBox(owner, text.c_str());
}

void OnStartRemoval(HWND dialog, const UninstallDialogState& state) {
    bool completed = RunUninstall(*state.settings, state.removeInstalledFiles, dialog);
    SetForegroundWindow(dialog);
    if (completed) {
        ShowMessageBox(dialog, L"アンインストールが終了しました。\n\n一部残ってるファイルは、手動で削除して下さい。",
                       L"確認", MB_OK);
    } else {
        ShowErrorBox(dialog,
                     L"アンインストール作業が中断されました。\n\n一部残っているファイルは、手動で削除して下さい。");
    }
    EndDialog(dialog, 1);
}

void OnCommand(HWND dialog, UninstallDialogState& state, WORD id) {
    switch (id) {
        case IDC_REMOVE_FILES:
            if (SendDlgItemMessageW(dialog, IDC_REMOVE_FILES, BM_GETCHECK, 0, 0) == BST_CHECKED)
                state.removeInstalledFiles = true;
            break;
        case IDC_START_REMOVAL:
            OnStartRemoval(dialog, state);
            break;
        case IDC_CANCEL_REMOVAL:
            EndDialog(dialog, 0);
            break;
        default:  // IDCANCEL from Escape included: only the buttons end this dialog
            break;
    }
}

}  // namespace

bool RunUninstall(const InstallSettings& settings, bool removeInstalledFiles, HWND owner) {
    std::wstring recordPath = FormatText(L"%ls%ls", settings.InstallPath, L"uninst.dat");
    RemoveShortcuts(settings);

    // The record and the registry value naming the folder can both be edited without rights;
    // a folder that is a root or not absolute would let the walk below reach the whole drive.
    std::wstring installFolder = ResolveFolderBelowRoot(settings.InstallPath);
    std::wstring record = installFolder + L"uninst.dat";
    std::vector<UninstallItem> items;
    if (installFolder.empty() || !ReadUninstallRecord(record.c_str(), &items)) {
        ShowMissingRecord(owner, recordPath);
        return false;
    }

    for (const UninstallItem& item : items) {
        if (item.kind != 0 || !removeInstalledFiles) continue;
        if (!IsPathInsideFolder(item.path, installFolder.c_str())) continue;
        // Delete what was checked, not the text before resolution.
        std::wstring resolved = ResolvePath(item.path);
        if (PassesThroughLink(WithLongNames(resolved), WithLongNames(installFolder))) continue;
        DeleteMatchingFiles(resolved.c_str());
    }
    DeleteMatchingFiles(record.c_str());
    RemoveEmptyFolders(installFolder.c_str());
    return true;
}

INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    auto* state = reinterpret_cast<UninstallDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!state) return 0;
    state->window = dialog;
    switch (message) {
        case WM_INITDIALOG:
            state->removeInstalledFiles = true;
            SendDlgItemMessageW(dialog, IDC_REMOVE_FILES, BM_SETCHECK, BST_CHECKED, 0);
            break;
        case WM_COMMAND:
            OnCommand(dialog, *state, LOWORD(wParam));
            break;
        case WM_CLOSE:
            EndDialog(dialog, 0);
            break;
    }
    return 0;
}
