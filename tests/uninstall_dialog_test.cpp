// The uninstall dialog from its real template and the removal it runs, against real files, a
// real uninst.dat and a real desktop shortcut file; only the boxes are answered by the script.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <clocale>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "resources/resource_ids.h"
#include "support/expected_outcomes.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "uninstall/uninstall_dialog.h"

namespace {

const wchar_t kMissingRecord[] =
    L"\n\nアンインストールファイルリストがみつかりません。\n\nゲームデータは手動で削除、または移動された可能性があります。";
const wchar_t kAbandoned[] =
    L"アンインストール作業が中断されました。\n\n一部残っているファイルは、手動で削除して下さい。";

// Messages posted to the dialog once it has initialised, and what it then received.
std::vector<std::pair<UINT, WPARAM>> scriptedInput;
std::vector<WORD> commandsSeen;
HWND dialogSeen = nullptr;
LRESULT radioAtStart = -1;

INT_PTR CALLBACK Driver(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND) commandsSeen.push_back(LOWORD(wParam));
    INT_PTR result = UninstallDialogProc(dialog, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        dialogSeen = dialog;
        radioAtStart = SendDlgItemMessageW(dialog, IDC_REMOVE_FILES, BM_GETCHECK, 0, 0);
        for (const auto& input : scriptedInput) PostMessageW(dialog, input.first, input.second, 0);
    }
    return result;
}

INT_PTR OpenDialog(UninstallDialogState* state, std::vector<std::pair<UINT, WPARAM>> input) {
    scriptedInput = std::move(input);
    commandsSeen.clear();
    dialogSeen = nullptr;
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UNINSTALL), nullptr, Driver,
                           reinterpret_cast<LPARAM>(state));
}

std::wstring DesktopShortcut(const InstallSettings& settings) {
    wchar_t desktop[MAX_PATH] = L"";
    SHGetSpecialFolderPathW(nullptr, desktop, CSIDL_DESKTOPDIRECTORY, TRUE);
    return std::wstring(desktop) + L"\\" + settings.AppName + L".lnk";
}

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        _wsetlocale(LC_ALL, L"Japanese_Japan.932");
        game_ = root_ / L"ゲーム";
        state_.settings = &settings_;
        CopyText(settings_.Company, L"削除試験社");
        CopyText(settings_.AppName, L"削除試験ゲーム");
        CopyText(settings_.InstallPath, (game_ + L"\\").c_str());
        settings_.Installed = 1;

        for (const wchar_t* file : {L"a.dat", L"sub\\deep\\b.dat", L"save\\1.sav", L"save\\2.sav", L"save\\old\\3.sav",
                                    L"keep\\k.ini", L"runtime\\made.txt"}) {
            ASSERT_TRUE(WriteFileBytes(game_ + L"\\" + file, "x"));
        }
        ASSERT_TRUE(CreateDirectoryW((game_ + L"\\empty").c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(root_ / L"outside\\victim.txt", "keep me"));
        ASSERT_TRUE(WriteFileBytes(root_ / L"victim2.txt", "keep me"));
        ASSERT_TRUE(WriteFileBytes(DesktopShortcut(settings_), "link"));
        WriteRecord(
            {L"0," + game_ + L"\\a.dat", L"0," + game_ + L"\\sub\\deep\\b.dat", L"0," + game_ + L"\\save\\*.sav",
             L"1," + game_ + L"\\keep\\k.ini", L"0," + game_ + L"\\absent.dat",
             // Tampered lines: elsewhere, or back out of the game folder.
             L"0," + root_.path() + L"\\outside\\victim.txt", L"0," + game_ + L"\\..\\victim2.txt",
             L"0," + game_ + L"\\sub\\..\\..\\outside\\*", L"0," + game_ + L"/sub/../../victim2.txt", L"0,victim.txt"});
        SetCurrentDirectoryW((root_ / L"outside").c_str());  // where the relative line would land
    }

    void TearDown() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        SetCurrentDirectoryW(temp);
        DeleteFileW(DesktopShortcut(settings_).c_str());
    }

    void WriteRecord(std::initializer_list<std::wstring> lines) {
        std::wstring text;
        for (const std::wstring& line : lines) text += line + L"\r\n";
        ASSERT_TRUE(WriteFileBytes(game_ + L"\\uninst.dat", ToCp932(text)));
    }

    void ExpectOutsideUntouched() {
        EXPECT_TRUE(FileExists(root_ / L"outside\\victim.txt"));
        EXPECT_TRUE(FileExists(root_ / L"victim2.txt"));
    }

    void ExpectGameUntouched() {
        for (const wchar_t* file : {L"a.dat", L"sub\\deep\\b.dat", L"save\\1.sav", L"keep\\k.ini", L"uninst.dat"}) {
            EXPECT_TRUE(FileExists(game_ + L"\\" + file)) << file;
        }
        EXPECT_TRUE(FolderExists(game_ + L"\\empty"));
    }

    TempFolder root_{L"uninstall"};
    std::wstring game_;
    InstallSettings settings_{};
    UninstallDialogState state_;
};

TEST_F(UninstallTest, CancelEnterAndCloseBoxDeleteNothing) {
    ScriptedInteraction script;
    const std::pair<const char*, std::pair<UINT, WPARAM>> ways[] = {
        {"cancel button", {WM_COMMAND, MAKEWPARAM(IDC_CANCEL_REMOVAL, BN_CLICKED)}},
        {"enter", {WM_KEYDOWN, VK_RETURN}},
        {"close box", {WM_SYSCOMMAND, SC_CLOSE}},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.first);
        EXPECT_EQ(OpenDialog(&state_, {way.second}), 0);
        EXPECT_EQ(state_.window, dialogSeen);
        EXPECT_EQ(radioAtStart, BST_CHECKED);
        EXPECT_TRUE(state_.removeInstalledFiles);
        ExpectGameUntouched();
        EXPECT_TRUE(FileExists(DesktopShortcut(settings_)));
    }
    // Enter reached the dialog as a press of its default button.
    EXPECT_TRUE(script.Messages().empty());
}

TEST_F(UninstallTest, EscapeKeepsItOpenAndStartRemovesOnlyRecordedFilesInsideTheGame) {
    ScriptedInteraction script;
    EXPECT_EQ(OpenDialog(&state_, {{WM_KEYDOWN, VK_ESCAPE}, {WM_COMMAND, MAKEWPARAM(IDC_START_REMOVAL, BN_CLICKED)}}),
              1);
    ASSERT_GE(commandsSeen.size(), 2u);
    EXPECT_EQ(commandsSeen.front(), IDCANCEL) << "Escape arrived and was passed over";

    std::vector<ShownMessage> shown = script.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kUninstalled);
    EXPECT_EQ(shown[0].title, L"確認");
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(shown[0].owner, dialogSeen);

    for (const wchar_t* gone : {L"a.dat", L"sub\\deep\\b.dat", L"save\\1.sav", L"save\\2.sav", L"uninst.dat"}) {
        EXPECT_FALSE(FileExists(game_ + L"\\" + gone)) << gone;
    }
    EXPECT_FALSE(FolderExists(game_ + L"\\sub"));
    EXPECT_FALSE(FolderExists(game_ + L"\\empty"));
    EXPECT_TRUE(FileExists(game_ + L"\\save\\old\\3.sav")) << "a pattern does not reach into subfolders";
    EXPECT_TRUE(FileExists(game_ + L"\\keep\\k.ini")) << "kind 1 stays";
    EXPECT_TRUE(FileExists(game_ + L"\\runtime\\made.txt")) << "not in the record";
    ExpectOutsideUntouched();
    EXPECT_FALSE(FileExists(DesktopShortcut(settings_)));
}

TEST_F(UninstallTest, GameHoldingOnlyRecordedFilesDisappearsCompletely) {
    ScriptedInteraction script;
    WriteRecord({L"0," + game_ + L"\\*.dat", L"0," + game_ + L"\\sub\\deep\\*", L"0," + game_ + L"\\save\\*.sav",
                 L"0," + game_ + L"\\save\\old\\3.sav", L"0," + game_ + L"\\keep\\k.ini",
                 L"0," + game_ + L"\\runtime\\made.txt"});
    EXPECT_EQ(OpenDialog(&state_, {{WM_COMMAND, MAKEWPARAM(IDC_START_REMOVAL, BN_CLICKED)}}), 1);
    EXPECT_FALSE(FolderExists(game_));
    ExpectOutsideUntouched();
}

std::wstring ShortForm(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = L"";
    DWORD written = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return written > 0 && written < MAX_PATH ? buffer : L"";
}

// The record carries short 8.3 forms of paths that code page 932 cannot hold; they name files
// inside the game like their long forms do.
TEST_F(UninstallTest, ShortFormsInTheRecordAreJudgedByTheFilesTheyName) {
    ScriptedInteraction script;
    const std::wstring folder = game_ + L"\\한국어 폴더";
    ASSERT_TRUE(WriteFileBytes(folder + L"\\세이브 데이터.bin", "x"));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\other one.sav", "x"));
    std::wstring shortFile = ShortForm(folder + L"\\세이브 데이터.bin");
    std::wstring shortFolder = ShortForm(folder);
    ASSERT_FALSE(shortFile.empty());
    ASSERT_FALSE(shortFolder.empty());
    ASSERT_NE(shortFile, folder + L"\\세이브 데이터.bin") << "Wine gave no short form";
    WriteRecord({L"0," + shortFile, L"0," + shortFolder + L"\\*.sav"});

    EXPECT_EQ(OpenDialog(&state_, {{WM_COMMAND, MAKEWPARAM(IDC_START_REMOVAL, BN_CLICKED)}}), 1);
    EXPECT_FALSE(FileExists(folder + L"\\세이브 데이터.bin"));
    EXPECT_FALSE(FileExists(folder + L"\\other one.sav"));
    EXPECT_FALSE(FolderExists(folder));
    ExpectOutsideUntouched();
}

TEST_F(UninstallTest, MissingRecordRemovesShortcutsOnlyAndStillEndsWithOne) {
    ScriptedInteraction script;
    ASSERT_TRUE(DeleteFileW((game_ + L"\\uninst.dat").c_str()));
    EXPECT_EQ(OpenDialog(&state_, {{WM_COMMAND, MAKEWPARAM(IDC_START_REMOVAL, BN_CLICKED)}}), 1);

    std::vector<ShownMessage> shown = script.Messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, game_ + L"\\uninst.dat" + kMissingRecord);
    EXPECT_EQ(shown[0].title, L"エラー");
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_EQ(shown[0].owner, dialogSeen);
    EXPECT_EQ(shown[1].text, kAbandoned);
    EXPECT_EQ(shown[1].title, L"エラー");
    EXPECT_EQ(shown[1].style, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_FALSE(FileExists(DesktopShortcut(settings_)));
    EXPECT_TRUE(FolderExists(game_ + L"\\empty"));
    EXPECT_TRUE(FileExists(game_ + L"\\a.dat"));
}

// A root, relative or empty install folder behaves like a missing record: the walk and the
// record would otherwise reach a whole drive or wherever the process stands.
TEST_F(UninstallTest, RootRelativeOrEmptyInstallFolderTouchesNothing) {
    ScriptedInteraction script;
    // Records and an empty folder where each bad install folder would find them: at the root
    // of the scratch drive T: and in the folder the process stands in.
    const std::wstring bait = L"T:\\uninstall-bait";
    RemoveTree(bait);
    const std::wstring baitRecord = L"0," + bait + L"\\victim.txt\r\n0," + bait + L"\\*\r\n0,victim.txt\r\n";
    ASSERT_TRUE(WriteFileBytes(L"T:\\uninst.dat", ToCp932(baitRecord)));
    ASSERT_TRUE(WriteFileBytes(bait + L"\\uninst.dat", ToCp932(baitRecord)));
    ASSERT_TRUE(WriteFileBytes(bait + L"\\victim.txt", "keep me"));
    ASSERT_TRUE(CreateDirectoryW((bait + L"\\empty").c_str(), nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(bait.c_str()));

    struct Case {
        std::wstring installPath;
        std::wstring shownRecord;
    };
    const Case cases[] = {
        {L"T:\\", L"T:\\uninst.dat"},
        {bait + L"\\..\\", bait + L"\\..\\uninst.dat"},
        {L"", L"uninst.dat"},
        {L".\\", L".\\uninst.dat"},
        {L"\\\\server\\share\\", L"\\\\server\\share\\uninst.dat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.installPath.begin(), c.installPath.end()));
        CopyText(settings_.InstallPath, c.installPath.c_str());
        ASSERT_TRUE(WriteFileBytes(DesktopShortcut(settings_), "link"));
        size_t before = script.Messages().size();

        EXPECT_EQ(OpenDialog(&state_, {{WM_COMMAND, MAKEWPARAM(IDC_START_REMOVAL, BN_CLICKED)}}), 1);

        std::vector<std::wstring> texts = script.MessageTexts();
        ASSERT_EQ(texts.size(), before + 2);
        EXPECT_EQ(texts[before], c.shownRecord + kMissingRecord);
        EXPECT_EQ(texts[before + 1], kAbandoned);
        EXPECT_FALSE(FileExists(DesktopShortcut(settings_))) << "shortcuts still go";
        EXPECT_TRUE(FileExists(L"T:\\uninst.dat"));
        EXPECT_TRUE(FileExists(bait + L"\\uninst.dat"));
        EXPECT_TRUE(FileExists(bait + L"\\victim.txt"));
        EXPECT_TRUE(FolderExists(bait + L"\\empty"));
        ExpectGameUntouched();
    }
    SetCurrentDirectoryW(root_.path().c_str());
    DeleteFileW(L"T:\\uninst.dat");
    RemoveTree(bait);
}

// T:\uninstall-links\game\link is a folder link to T:\uninstall-links\elsewhere (tests/uninstall_links.cmake).
TEST(UninstallThroughLinks, RecordedItemsBehindAFolderLinkStay) {
    _wsetlocale(LC_ALL, L"Japanese_Japan.932");
    ScriptedInteraction script;
    const std::wstring base = L"T:\\uninstall-links";
    DWORD linkAttributes = GetFileAttributesW((base + L"\\game\\link").c_str());
    ASSERT_NE(linkAttributes, INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    ASSERT_TRUE(WriteFileBytes(base + L"\\elsewhere\\victim.dat", "keep me"));
    ASSERT_TRUE(WriteFileBytes(base + L"\\game\\inside\\own.dat", "x"));
    ASSERT_TRUE(WriteFileBytes(base + L"\\game\\uninst.dat",
                               ToCp932(L"0," + base + L"\\game\\link\\victim.dat\r\n0," + base +
                                       L"\\game\\link\\*\r\n0," + base + L"\\game\\inside\\own.dat\r\n")));
    InstallSettings settings{};
    CopyText(settings.AppName, L"リンク試験");
    CopyText(settings.InstallPath, (base + L"\\game\\").c_str());

    EXPECT_TRUE(RunUninstall(settings, true, nullptr));

    EXPECT_TRUE(FileExists(base + L"\\elsewhere\\victim.dat"));
    EXPECT_FALSE(FileExists(base + L"\\game\\inside\\own.dat"));
    EXPECT_FALSE(FileExists(base + L"\\game\\uninst.dat"));
    EXPECT_TRUE(script.Messages().empty());
}

}  // namespace
