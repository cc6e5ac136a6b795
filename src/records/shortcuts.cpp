#include "records/shortcuts.h"

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"
#include "records/settings.h"
#include "transfer/folders.h"

namespace {

const wchar_t kNoDesktopFolder[] = L"デスクトップディレクトリ取得に失敗しました。";
const wchar_t kNoProgramsFolder[] = L"スタートメニュープログラムディレクトリ取得に失敗しました。";

bool ShellFolder(int csidl, std::wstring* folder) {
    wchar_t path[kPathCapacity] = L"";
    if (!SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE) || path[0] == L'\0') return false;
    *folder = path;
    return true;
}

void DebugMessage(const wchar_t* text) { OutputDebugStringW(text); }

}  // namespace

bool FindDesktopShortcut(const InstallSettings& settings, std::wstring* link) {
    std::wstring desktop;
    if (!ShellFolder(CSIDL_DESKTOPDIRECTORY, &desktop)) return false;
    *link = FormatText(L"%ls\\%ls.lnk", desktop.c_str(), settings.AppName);
    return true;
}

bool FindMenuShortcuts(const InstallSettings& settings, MenuShortcuts* links) {
    std::wstring programs;
    if (!ShellFolder(CSIDL_PROGRAMS, &programs)) return false;
    const wchar_t* company = settings.Company;
    const wchar_t* appName = settings.AppName;
    // Without a company name the game's folder sits directly under Programs; removal must then
    // start at that folder, never at Programs itself, which holds everyone else's shortcuts.
    std::wstring menuFolder;
    if (company[0] != L'\0') {
        links->menuRoot = FormatText(L"%ls\\%ls", programs.c_str(), company);
        menuFolder = FormatText(L"%ls\\%ls", links->menuRoot.c_str(), appName);
    } else {
        menuFolder = FormatText(L"%ls\\%ls", programs.c_str(), appName);
        links->menuRoot = appName[0] != L'\0' ? menuFolder : std::wstring();
    }
    links->gameLink = FormatText(L"%ls\\「%ls」.lnk", menuFolder.c_str(), appName);
    links->uninstallLink = FormatText(L"%ls\\「%ls」のアンインストール.lnk", menuFolder.c_str(), appName);
    links->manualLink = FormatText(L"%ls\\「%ls」のマニュアル.lnk", menuFolder.c_str(), appName);
    return true;
}

HRESULT CreateShellLink(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                        const wchar_t* workingFolder, const wchar_t* description) {
    ComPtr<IShellLinkW> link;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      link.receiveVoid());
    if (FAILED(result)) return result;
    ComPtr<IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, file.receiveVoid());
    if (FAILED(result)) return result;

    result = link->SetPath(target);
    if (FAILED(result)) {
        DebugMessage(L"パスの設定に失敗");
        return result;
    }
    result = link->SetDescription(description);
    if (FAILED(result)) {
        DebugMessage(L"記述の設定に失敗");
        return result;
    }
    result = link->SetArguments(arguments);
    if (FAILED(result)) {
        DebugMessage(L"アーギュメントの設定に失敗");
        return result;
    }
    result = link->SetWorkingDirectory(workingFolder);
    if (FAILED(result)) {
        DebugMessage(L"ワークディレクトリの設定に失敗");
        return result;
    }
    // A path that does not fit is not saved under a cut name.
    wchar_t savePath[kPathCapacity];
    result = CopyText(savePath, linkPath) ? file->Save(savePath, TRUE) : HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (FAILED(result)) DebugMessage(L"書き込みに失敗");
    return result;
}

void CreateShortcuts(const InstallSettings& settings, HWND owner) {
    const std::wstring installPath = settings.InstallPath;
    const std::wstring gameProgram = installPath + settings.AppExe;
    const std::wstring uninstaller = installPath + L"uninst.exe";
    const std::wstring manual = installPath + L"manual\\index.html";
    size_t lastBackslash = gameProgram.find_last_of(L'\\');
    const std::wstring workingFolder = lastBackslash == std::wstring::npos ? std::wstring()
                                                                           : gameProgram.substr(0, lastBackslash);
    const wchar_t* appName = settings.AppName;
    const std::wstring gameDescription = FormatText(L"%ls へのショートカット", appName);
    const std::wstring uninstallDescription = FormatText(L"%lsのアンインストール へのショートカット", appName);
    const std::wstring manualDescription = FormatText(L"%lsのマニュアルへのショートカット", appName);

    ComScope com;
    if (settings.DesktopShortcut == 1) {
        std::wstring desktopLink;
        if (!FindDesktopShortcut(settings, &desktopLink)) {
            ShowErrorBox(owner, kNoDesktopFolder);
            return;
        }
        CreateShellLink(desktopLink.c_str(), gameProgram.c_str(), L"", workingFolder.c_str(), gameDescription.c_str());
    }

    MenuShortcuts links;
    if (!FindMenuShortcuts(settings, &links)) {
        ShowErrorBox(owner, kNoProgramsFolder);
        return;
    }
    // Reports its own failures; the links then fail quietly.
    CreateParentFolders(links.gameLink.c_str(), owner);
    CreateShellLink(links.gameLink.c_str(), gameProgram.c_str(), L"", workingFolder.c_str(), gameDescription.c_str());
    CreateShellLink(links.uninstallLink.c_str(), uninstaller.c_str(), L"/luninst1", workingFolder.c_str(),
                    uninstallDescription.c_str());
    CreateShellLink(links.manualLink.c_str(), manual.c_str(), L"", workingFolder.c_str(), manualDescription.c_str());
}
