#include "uninstall/uninstall_dialog.h"

#include <cwctype>
#include <string>

#include "base/interaction.h"
#include "base/paths.h"
#include "base/text.h"
#include "records/shortcuts.h"
#include "records/uninstall_record.h"
#include "resources/resource_ids.h"
#include "startup/settings.h"
#include "uninstall/removal.h"

bool removeInstalledFiles = false;
HWND uninstallWindow = nullptr;

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "\\?\" and "\\.\" paths skip the platform's own "." and ".." handling; the uninstaller
// never follows them.
bool IsDevicePath(const std::wstring& path) {
    return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
           IsSeparator(path[3]);
}

// Length of the root of an absolute path: 3 for "C:\", the length of "\\server\share\" for a
// share (the final separator counted when present). 0 when the path is not absolute.
size_t RootLength(const std::wstring& path) {
    if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && IsSeparator(path[2])) return 3;
    if (path.size() < 2 || !IsSeparator(path[0]) || !IsSeparator(path[1]) || IsDevicePath(path)) return 0;
    size_t serverEnd = path.find_first_of(L"\\/", 2);
    if (serverEnd == std::wstring::npos || serverEnd == 2) return 0;
    size_t shareEnd = path.find_first_of(L"\\/", serverEnd + 1);
    if (shareEnd == serverEnd + 1) return 0;
    return shareEnd == std::wstring::npos ? path.size() : shareEnd + 1;
}

// The absolute path with "." and "..", doubled and forward separators resolved the way the
// file functions resolve them. Empty when the path is not absolute or cannot be resolved.
std::wstring ResolvePath(const wchar_t* path) {
    std::wstring text = path ? path : L"";
    if (RootLength(text) == 0) return {};
    if (text.find(L':', 2) != std::wstring::npos) return {};  // no streams or second drive
    DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring resolved(needed, L'\0');
    DWORD written = GetFullPathNameW(text.c_str(), needed, &resolved[0], nullptr);
    if (written == 0 || written >= needed) return {};
    resolved.resize(written);
    if (RootLength(resolved) == 0) return {};
    return resolved;
}

// The same path with short 8.3 components written out long, as far as the named folder or file
// exists. The record holds short forms of paths that code page 932 or its line length cannot
// carry; the check against the install folder must see through them.
std::wstring WithLongNames(const std::wstring& resolved) {
    std::wstring expanded;
    bool wildcard = resolved.find_first_of(L"*?") != std::wstring::npos;
    if (!wildcard && LongPathOf(resolved, &expanded)) return expanded;
    size_t slash = resolved.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 <= RootLength(resolved)) return resolved;
    if (!LongPathOf(resolved.substr(0, slash), &expanded)) return resolved;
    return expanded + L'\\' + resolved.substr(slash + 1);
}

// The install folder, resolved and ending with a backslash, when it may be walked: an
// absolute folder below a drive or share root. Empty otherwise.
std::wstring WalkableInstallFolder() {
    std::wstring folder = ResolvePath(installSettings.InstallPath);
    if (folder.empty()) return {};
    if (!IsSeparator(folder.back())) folder += L'\\';
    if (folder.size() <= RootLength(folder)) return {};
    return folder;
}

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b, size_t length) {
    return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

// True when a folder between the install folder and the item is a junction or folder link: the
// item would then lie somewhere else than its path says.
bool PassesThroughLink(const std::wstring& resolvedPath, const std::wstring& installFolder) {
    for (size_t end = resolvedPath.find_first_of(L"\\/", installFolder.size()); end != std::wstring::npos;
         end = resolvedPath.find_first_of(L"\\/", end + 1)) {
        DWORD attributes = GetFileAttributesW(resolvedPath.substr(0, end).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    }
    return false;
}

void ShowMissingRecord(const std::wstring& recordPath) {
    std::wstring text = FormatText(L"%ls%ls", recordPath.c_str(),
                                   L"\n\nアンインストールファイルリストがみつかりません。\n\n"
                                   L"ゲームデータは手動で削除、または移動された可能性があります。");
    ShowMessageBox(uninstallWindow, text.c_str(), L"エラー", MB_ICONERROR | MB_OK);
}

void OnStartRemoval(HWND dialog) {
    bool completed = RunUninstall();
    SetForegroundWindow(dialog);
    if (completed) {
        ShowMessageBox(dialog, L"アンインストールが終了しました。\n\n一部残ってるファイルは、手動で削除して下さい。",
                       L"確認", MB_OK);
    } else {
        ShowMessageBox(dialog, L"アンインストール作業が中断されました。\n\n一部残っているファイルは、手動で削除して下さい。",
                       L"エラー", MB_ICONERROR | MB_OK);
    }
    EndDialog(dialog, 1);
}

void OnCommand(HWND dialog, WORD id) {
    switch (id) {
        case IDC_REMOVE_FILES:
            if (SendDlgItemMessageW(dialog, IDC_REMOVE_FILES, BM_GETCHECK, 0, 0) == BST_CHECKED)
                removeInstalledFiles = true;
            break;
        case IDC_START_REMOVAL:
            OnStartRemoval(dialog);
            break;
        case IDC_CANCEL_REMOVAL:
            EndDialog(dialog, 0);
            break;
        default:  // IDCANCEL from Escape included: only the buttons end this dialog
            break;
    }
}

}  // namespace

bool IsPathInsideFolder(const wchar_t* path, const wchar_t* folder) {
    std::wstring resolvedFolder = ResolvePath(folder);
    std::wstring resolvedPath = ResolvePath(path);
    if (resolvedFolder.empty() || resolvedPath.empty()) return false;
    resolvedFolder = WithLongNames(resolvedFolder);
    resolvedPath = WithLongNames(resolvedPath);
    if (!IsSeparator(resolvedFolder.back())) resolvedFolder += L'\\';
    if (resolvedPath.size() <= resolvedFolder.size()) return false;
    return EqualIgnoringCase(resolvedPath.c_str(), resolvedFolder.c_str(), resolvedFolder.size());
}

bool RunUninstall() {
    std::wstring recordPath = FormatText(L"%ls%ls", installSettings.InstallPath, L"uninst.dat");
    RemoveShortcuts();

    // The record and the registry value naming the folder can both be edited without rights;
    // a folder that is a root or not absolute would let the walk below reach the whole drive.
    std::wstring installFolder = WalkableInstallFolder();
    std::wstring record = installFolder + L"uninst.dat";
    if (installFolder.empty() || !ReadUninstallRecord(record.c_str())) {
        ShowMissingRecord(recordPath);
        return false;
    }

    for (const UninstallItem& item : uninstallList) {
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

INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    uninstallWindow = dialog;
    switch (message) {
        case WM_INITDIALOG:
            uninstallList.clear();
            removeInstalledFiles = true;
            SendDlgItemMessageW(dialog, IDC_REMOVE_FILES, BM_SETCHECK, BST_CHECKED, 0);
            break;
        case WM_COMMAND:
            OnCommand(dialog, LOWORD(wParam));
            break;
        case WM_CLOSE:
            EndDialog(dialog, 0);
            break;
    }
    return 0;
}
