#include <windows.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "base/handles.h"
#include "base/text.h"
#include "records/settings.h"
#include "records/shortcuts.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "uninstall/removal.h"

namespace {

const wchar_t kCompany[] = L"h3ショートカット試験社";
const wchar_t kGameA[] = L"h3試験ゲーム甲";
const wchar_t kGameB[] = L"h3試験ゲーム乙";
const std::wstring kInstall = L"T:\\h3-sc\\game\\";

struct LinkFields {
    std::wstring target, arguments, workingFolder, description;
    bool operator==(const LinkFields& other) const {
        return target == other.target && arguments == other.arguments && workingFolder == other.workingFolder &&
               description == other.description;
    }
};

void PrintTo(const LinkFields& link, std::ostream* out) {
    *out << testing::PrintToString(link.target) << " " << testing::PrintToString(link.arguments) << " "
         << testing::PrintToString(link.workingFolder) << " " << testing::PrintToString(link.description);
}

// Loads a .lnk file back through the shell's own link object.
bool ReadLink(const std::wstring& path, LinkFields* fields) {
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.receiveVoid()))) {
        return false;
    }
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.receiveVoid()))) return false;
    if (FAILED(file->Load(path.c_str(), STGM_READ))) return false;
    wchar_t text[INFOTIPSIZE];
    if (FAILED(link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH))) return false;
    fields->target = text;
    if (FAILED(link->GetArguments(text, INFOTIPSIZE))) return false;
    fields->arguments = text;
    if (FAILED(link->GetWorkingDirectory(text, MAX_PATH))) return false;
    fields->workingFolder = text;
    if (FAILED(link->GetDescription(text, INFOTIPSIZE))) return false;
    fields->description = text;
    return true;
}

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = L"";
    SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
    return path;
}

class Shortcuts : public ::testing::Test {
protected:
    void SetUp() override {
        desktop_ = ShellFolder(CSIDL_DESKTOPDIRECTORY);
        programs_ = ShellFolder(CSIDL_PROGRAMS);
        ASSERT_FALSE(desktop_.empty());
        ASSERT_FALSE(programs_.empty());
        owner_ = CreateWindowW(L"STATIC", L"progress", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        CleanUp();
        Configure(kCompany, kGameA, L"bin\\game.exe", 1);
        ASSERT_TRUE(WriteFileBytes(kInstall + L"bin\\game.exe", "MZ"));
        ASSERT_TRUE(WriteFileBytes(kInstall + L"uninst.exe", "MZ"));  // no manual folder at all
    }
    void TearDown() override {
        CleanUp();
        DestroyWindow(owner_);
    }
    void CleanUp() {
        RemoveTree(programs_ + L"\\" + kCompany);
        for (const wchar_t* name : {kGameA, kGameB}) {
            DeleteFileW(DesktopLink(name).c_str());
            RemoveTree(programs_ + L"\\" + name);
        }
        RemoveTree(programs_ + L"\\h3-empty-probe");
        DeleteFileW((desktop_ + L"\\h3-wild-probe.lnk").c_str());
        RemoveTree(L"T:\\h3-sc");
    }
    void Configure(const wchar_t* company, const wchar_t* appName, const wchar_t* appExe, int desktop) {
        CopyText(settings_.Company, company);
        CopyText(settings_.AppName, appName);
        CopyText(settings_.AppExe, appExe);
        CopyText(settings_.InstallPath, kInstall.c_str());
        settings_.DesktopShortcut = desktop;
    }
    std::wstring DesktopLink(const std::wstring& name) const { return desktop_ + L"\\" + name + L".lnk"; }
    std::wstring MenuFolder(const std::wstring& name) const { return programs_ + L"\\" + kCompany + L"\\" + name; }
    std::vector<std::wstring> MenuLinks(const std::wstring& folder, const std::wstring& name) const {
        return {folder + L"\\「" + name + L"」.lnk", folder + L"\\「" + name + L"」のアンインストール.lnk",
                folder + L"\\「" + name + L"」のマニュアル.lnk"};
    }

    std::wstring desktop_, programs_;
    HWND owner_ = nullptr;
    InstallSettings settings_{};
    ComScope com_;
};

TEST_F(Shortcuts, FourLinksWithTheirFieldsAndRemovalOfAll) {
    ScriptedInteraction script;
    CreateShortcuts(settings_, owner_);
    EXPECT_TRUE(script.Messages().empty());

    const std::wstring game = kInstall + L"bin\\game.exe";
    const std::wstring bin = kInstall + L"bin";
    const std::wstring gameDescription = std::wstring(kGameA) + L" へのショートカット";
    LinkFields link;
    ASSERT_TRUE(ReadLink(DesktopLink(kGameA), &link));
    EXPECT_EQ(link, (LinkFields{game, L"", bin, gameDescription}));

    const std::vector<std::wstring> menu = MenuLinks(MenuFolder(kGameA), kGameA);
    ASSERT_TRUE(ReadLink(menu[0], &link));
    EXPECT_EQ(link, (LinkFields{game, L"", bin, gameDescription}));
    ASSERT_TRUE(ReadLink(menu[1], &link));
    EXPECT_EQ(link, (LinkFields{kInstall + L"uninst.exe", L"/luninst1", bin,
                                std::wstring(kGameA) + L"のアンインストール へのショートカット"}));
    ASSERT_TRUE(ReadLink(menu[2], &link)) << "the manual's shortcut exists without the manual";
    EXPECT_EQ(link, (LinkFields{kInstall + L"manual\\index.html", L"", bin,
                                std::wstring(kGameA) + L"のマニュアルへのショートカット"}));

    RemoveShortcuts(settings_);
    EXPECT_FALSE(FileExists(DesktopLink(kGameA)));
    for (const std::wstring& path : menu) EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(FolderExists(programs_ + L"\\" + kCompany));
    EXPECT_TRUE(FolderExists(programs_)) << "Programs itself stays";
    EXPECT_TRUE(script.Messages().empty());
}

TEST_F(Shortcuts, NoDesktopLinkWhenNotChosenButRemovalTakesAHandMadeOne) {
    ScriptedInteraction script;
    Configure(kCompany, kGameA, L"game.exe", 0);
    CreateShortcuts(settings_, owner_);
    EXPECT_FALSE(FileExists(DesktopLink(kGameA)));
    LinkFields link;
    ASSERT_TRUE(ReadLink(MenuLinks(MenuFolder(kGameA), kGameA)[0], &link));
    EXPECT_EQ(link.target, kInstall + L"game.exe");
    EXPECT_EQ(link.workingFolder, L"T:\\h3-sc\\game") << "the install folder without its backslash";

    ASSERT_TRUE(WriteFileBytes(DesktopLink(kGameA), "made by hand"));
    RemoveShortcuts(settings_);
    EXPECT_FALSE(FileExists(DesktopLink(kGameA)));
    EXPECT_FALSE(FolderExists(programs_ + L"\\" + kCompany));
}

TEST_F(Shortcuts, RemovalKeepsWhatOthersPutInTheStartMenu) {
    ScriptedInteraction script;
    CreateShortcuts(settings_, owner_);
    Configure(kCompany, kGameB, L"bin\\game.exe", 0);
    CreateShortcuts(settings_, owner_);

    Configure(kCompany, kGameA, L"bin\\game.exe", 1);
    RemoveShortcuts(settings_);
    EXPECT_FALSE(FolderExists(MenuFolder(kGameA)));
    for (const std::wstring& path : MenuLinks(MenuFolder(kGameB), kGameB)) EXPECT_TRUE(FileExists(path));

    ASSERT_TRUE(WriteFileBytes(MenuFolder(kGameB) + L"\\memo.txt", "the user's own"));
    Configure(kCompany, kGameB, L"bin\\game.exe", 0);
    RemoveShortcuts(settings_);
    for (const std::wstring& path : MenuLinks(MenuFolder(kGameB), kGameB)) EXPECT_FALSE(FileExists(path));
    EXPECT_TRUE(FileExists(MenuFolder(kGameB) + L"\\memo.txt"));
    EXPECT_TRUE(FolderExists(programs_ + L"\\" + kCompany));

    DeleteFileW((MenuFolder(kGameB) + L"\\memo.txt").c_str());
    RemoveShortcuts(settings_);
    EXPECT_FALSE(FolderExists(programs_ + L"\\" + kCompany));
    EXPECT_TRUE(script.Messages().empty());
}

TEST_F(Shortcuts, RemovalNeverReachesBeyondTheGamesOwnNames) {
    ScriptedInteraction script;
    // Without a company the game's folder sits under Programs, and only that folder is removed.
    ASSERT_TRUE(CreateDirectoryW((programs_ + L"\\h3-empty-probe").c_str(), nullptr));
    Configure(L"", kGameA, L"bin\\game.exe", 0);
    CreateShortcuts(settings_, owner_);
    const std::wstring ownFolder = programs_ + L"\\" + kGameA;
    for (const std::wstring& path : MenuLinks(ownFolder, kGameA)) EXPECT_TRUE(FileExists(path));
    RemoveShortcuts(settings_);
    EXPECT_FALSE(FolderExists(ownFolder));
    EXPECT_TRUE(FolderExists(programs_ + L"\\h3-empty-probe")) << "someone else's empty folder";

    // A wildcard in the name would match other files as a search pattern.
    ASSERT_TRUE(WriteFileBytes(desktop_ + L"\\h3-wild-probe.lnk", "x"));
    Configure(kCompany, L"h3-wild*", L"bin\\game.exe", 0);
    RemoveShortcuts(settings_);
    EXPECT_TRUE(FileExists(desktop_ + L"\\h3-wild-probe.lnk"));
}

// Points one of the current user's shell folders at a folder that does not exist, so that the
// shell cannot give it, and puts the old value back afterwards.
class MissingShellFolder {
public:
    explicit MissingShellFolder(const wchar_t* valueName) : name_(valueName) {
        RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                      0, KEY_QUERY_VALUE | KEY_SET_VALUE, key_.receive());
        if (!key_) return;
        DWORD size = sizeof saved_;
        had_ = RegQueryValueExW(key_.get(), name_, nullptr, &type_, reinterpret_cast<BYTE*>(saved_), &size) ==
               ERROR_SUCCESS;
        savedSize_ = size;
        const wchar_t missing[] = L"T:\\h3-sc\\no-such-shell-folder";
        set_ = RegSetValueExW(key_.get(), name_, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(missing),
                              sizeof missing) == ERROR_SUCCESS;
    }
    ~MissingShellFolder() {
        if (!set_) return;
        if (had_) {
            RegSetValueExW(key_.get(), name_, 0, type_, reinterpret_cast<const BYTE*>(saved_), savedSize_);
        } else {
            RegDeleteValueW(key_.get(), name_);
        }
    }
    bool active() const { return set_; }

private:
    const wchar_t* name_;
    RegKey key_;
    bool had_ = false, set_ = false;
    DWORD type_ = REG_EXPAND_SZ, savedSize_ = 0;
    wchar_t saved_[1024] = {};
};

TEST_F(Shortcuts, MissingShellFoldersAreReportedOnceAndStopTheRest) {
    ScriptedInteraction script;
    {
        MissingShellFolder desktop(L"Desktop");
        ASSERT_TRUE(desktop.active());
        wchar_t probe[MAX_PATH] = L"";
        ASSERT_FALSE(SHGetSpecialFolderPathW(nullptr, probe, CSIDL_DESKTOPDIRECTORY, FALSE)) << probe;
        CreateShortcuts(settings_, owner_);
    }
    ASSERT_EQ(script.Messages().size(), 1u);
    EXPECT_EQ(script.Messages()[0].text, L"デスクトップディレクトリ取得に失敗しました。");
    EXPECT_EQ(script.Messages()[0].title, L"エラー");
    EXPECT_EQ(script.Messages()[0].style, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(script.Messages()[0].owner, owner_);
    EXPECT_FALSE(FolderExists(programs_ + L"\\" + kCompany)) << "no start-menu shortcut either";

    {
        MissingShellFolder programs(L"Programs");
        ASSERT_TRUE(programs.active());
        CreateShortcuts(settings_, owner_);
    }
    ASSERT_EQ(script.Messages().size(), 2u);
    EXPECT_EQ(script.Messages()[1].text, L"スタートメニュープログラムディレクトリ取得に失敗しました。");
    EXPECT_EQ(script.Messages()[1].title, L"エラー");
    EXPECT_EQ(script.Messages()[1].style, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(script.Messages()[1].owner, owner_);
    EXPECT_TRUE(FileExists(DesktopLink(kGameA))) << "the desktop shortcut came before the failure";
    EXPECT_FALSE(FolderExists(programs_ + L"\\" + kCompany));

    // At removal a missing desktop folder silently skips the whole shortcut removal.
    CreateShortcuts(settings_, owner_);
    {
        MissingShellFolder desktop(L"Desktop");
        ASSERT_TRUE(desktop.active());
        RemoveShortcuts(settings_);
    }
    EXPECT_EQ(script.Messages().size(), 2u);
    for (const std::wstring& path : MenuLinks(MenuFolder(kGameA), kGameA)) EXPECT_TRUE(FileExists(path));
}

TEST_F(Shortcuts, CreateShellLinkReportsTheLastStep) {
    const std::wstring folder = L"T:\\h3-sc\\links";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(CreateShellLink((folder + L"\\ok.lnk").c_str(), L"C:\\x\\y.exe", L"-a b", L"C:\\x", L"説明"), S_OK);
    LinkFields link;
    ASSERT_TRUE(ReadLink(folder + L"\\ok.lnk", &link));
    EXPECT_EQ(link, (LinkFields{L"C:\\x\\y.exe", L"-a b", L"C:\\x", L"説明"}));

    EXPECT_TRUE(FAILED(CreateShellLink((folder + L"\\missing\\no.lnk").c_str(), L"C:\\x\\y.exe", L"", L"C:\\x", L"")));
    const std::wstring tooLong = folder + L"\\" + std::wstring(250, L'l') + L".lnk";
    EXPECT_TRUE(FAILED(CreateShellLink(tooLong.c_str(), L"C:\\x\\y.exe", L"", L"C:\\x", L"")));
    EXPECT_FALSE(FileExists(tooLong.substr(0, 259)));
}

}  // namespace
