// The whole journey through the real installer.exe under Wine: started from a disc folder, it
// stages itself and relaunches; the UI driver then acts as the person, through the main dialog,
// the confirmation, the progress dialog, the registry records it leaves, the uninstall dialog
// and the exit. Each test uses its own game names and folders and removes what it made.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "support/e2e_journey.h"
#include "support/expected_main_dialog.h"
#include "support/expected_outcomes.h"
#include "support/test_files.h"

namespace {

using journey::DiscFile;
using journey::Game;
using journey::InstallerRun;

std::wstring Tag() { return std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount()); }

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    return ReadFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

class JourneyTest : public ::testing::Test {
protected:
    void SetUp() override {
        tag_ = Tag();
        root_ = L"T:\\h4a journey " + tag_;
        game_.company = L"h4a旅社" + tag_;
        game_.appName = L"h4a旅 " + tag_;
        game_.instFolder = L"h4a旅ゲーム";
    }
    void TearDown() override { journey::CleanUpGame(game_, root_); }

    // The first disc of the game, with its control files, in root_\disc.
    std::wstring MakeDisc(const std::vector<DiscFile>& files, const std::wstring& uninstTemplate) {
        const std::wstring disc = root_ + L"\\disc";
        std::wstring error;
        EXPECT_TRUE(journey::WriteDisc(disc, 0, game_, files, true, uninstTemplate, &error))
            << testing::PrintToString(error);
        return disc;
    }

    std::wstring tag_, root_;
    Game game_;
};

TEST_F(JourneyTest, InstallRecordAndUninstallThroughTheRealDialogs) {
    const std::vector<DiscFile> files = {
        {0, game_.appExe, PatternBytes(1000000, 1)},
        {0, L"sub dir\\pack.bin", PatternBytes(4000000, 2)},
        {0, L"movie\\op.mpg.bz2", PatternBytes(300000, 3)},  // expanded: adds nothing to the estimated size
    };
    const std::wstring disc = MakeDisc(files, L"0,save\\*.sav\r\n1,config.ini\r\n");
    const std::wstring typed = root_ + L"\\dest dir";
    const std::wstring installPath = typed + L"\\" + game_.instFolder + L"\\";

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(disc)) << testing::PrintToString(run.log());
    HWND main = run.mainDialog();

    // A fresh start: the install look.
    EXPECT_EQ(ui::WindowTitle(main), game_.appName + L" インストーラ");
    EXPECT_EQ(ui::ControlText(main, IDC_INSTALL), L"インストール");
    EXPECT_EQ(ui::ControlText(main, IDC_BROWSE), L"参照");
    EXPECT_EQ(ui::ControlText(main, IDC_DESTINATION), ExpectedDefaultDestination(game_.company));
    EXPECT_TRUE(ui::GetControlState(main, IDC_DESKTOP_SHORTCUT).checked);
    EXPECT_TRUE(ui::GetControlState(main, IDC_VERIFY_FILES).checked);
    EXPECT_TRUE(ui::GetControlState(main, IDC_DESTINATION).enabled);
    EXPECT_FALSE(ui::GetControlState(main, IDC_LAUNCH).visible) << "Wine reports Windows 7: no launch button";

    // The confirmation names the typed folder, a backslash, the game folder and a backslash.
    std::wstring confirmation;
    ASSERT_TRUE(run.PressInstall(typed, IDOK, &confirmation)) << testing::PrintToString(run.log());
    EXPECT_EQ(confirmation, ExpectedInstallConfirmation(installPath));
    ASSERT_TRUE(run.WaitForProgressDialog()) << testing::PrintToString(run.log());
    std::wstring outcome;
    ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &outcome)) << testing::PrintToString(run.log());
    EXPECT_EQ(outcome, kCompleted);

    // The dialog turns into the uninstaller's front.
    ASSERT_TRUE(run.WaitForLook(true)) << testing::PrintToString(run.log());
    EXPECT_EQ(ui::ControlText(main, IDC_BROWSE), L"開く");
    EXPECT_EQ(ui::ControlText(main, IDC_DESTINATION), installPath);
    EXPECT_FALSE(ui::GetControlState(main, IDC_DESTINATION).enabled);
    EXPECT_TRUE(ui::GetControlState(main, IDC_DESKTOP_SHORTCUT).checked);
    EXPECT_FALSE(ui::GetControlState(main, IDC_DESKTOP_SHORTCUT).enabled);

    // Files, record file and shortcuts on disk.
    EXPECT_EQ(ReadAll(installPath + game_.appExe), files[0].bytes);
    EXPECT_EQ(ReadAll(installPath + L"sub dir\\pack.bin"), files[1].bytes);
    EXPECT_EQ(ReadAll(installPath + L"movie\\op.mpg"), files[2].bytes);
    EXPECT_TRUE(FileExists(installPath + L"uninst.dat"));
    EXPECT_TRUE(FileExists(journey::DesktopShortcutPath(game_)));
    for (const std::wstring& shortcut : journey::StartMenuShortcutPaths(game_)) EXPECT_TRUE(FileExists(shortcut));

    // Both registry places, every value with its type.
    const std::wstring own = journey::OwnKeyPath(game_);
    journey::RegistryValue path = journey::ReadRegistryValue(HKEY_CURRENT_USER, own, L"InstallPath");
    EXPECT_EQ(path.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(path.text, installPath);
    EXPECT_EQ(path.bytes, (installPath.size() + 1) * 2);
    journey::RegistryValue desktop = journey::ReadRegistryValue(HKEY_CURRENT_USER, own, L"DskSht");
    EXPECT_EQ(desktop.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(desktop.number, 1u);
    struct Expected {
        const wchar_t* name;
        DWORD type;
        std::wstring text;
        DWORD number;
    };
    const Expected entry[] = {
        {L"DisplayName", REG_SZ, game_.appName, 0},
        {L"UninstallString", REG_SZ, L"\"" + installPath + L"uninst.exe\" /luninst1", 0},
        {L"DisplayIcon", REG_SZ, installPath + L"uninst.exe", 0},
        {L"NoModify", REG_DWORD, L"", 1},
        {L"NoRepair", REG_DWORD, L"", 1},
        {L"Publisher", REG_SZ, game_.publisher, 0},
        {L"HelpLink", REG_SZ, game_.url, 0},
        {L"URLInfoAbout", REG_SZ, game_.url, 0},
        {L"EstimatedSize", REG_DWORD, L"", 4882},  // 5,000,000 plainly copied bytes
    };
    for (const Expected& want : entry) {
        journey::RegistryValue got = journey::ReadRegistryValue(HKEY_LOCAL_MACHINE, journey::UninstallEntryPath(game_),
                                                                want.name);
        ASSERT_TRUE(got.present) << testing::PrintToString(std::wstring(want.name));
        EXPECT_EQ(got.type, want.type) << testing::PrintToString(std::wstring(want.name));
        if (want.type == REG_SZ)
            EXPECT_EQ(got.text, want.text) << testing::PrintToString(std::wstring(want.name));
        else
            EXPECT_EQ(got.number, want.number) << testing::PrintToString(std::wstring(want.name));
    }

    // What the game makes while it is played: a save (matched by the template's pattern), a
    // setting (kind 1, kept) and a file nobody recorded.
    ASSERT_TRUE(WriteFileBytes(installPath + L"save\\slot1.sav", "save"));
    ASSERT_TRUE(WriteFileBytes(installPath + L"config.ini", "[game]"));
    ASSERT_TRUE(WriteFileBytes(installPath + L"userdata\\mine.txt", "mine"));

    std::wstring removal;
    ASSERT_TRUE(run.Uninstall(&removal)) << testing::PrintToString(run.log());
    EXPECT_EQ(removal, kUninstalled);
    ASSERT_TRUE(run.WaitForLook(false)) << testing::PrintToString(run.log());
    EXPECT_EQ(ui::ControlText(main, IDC_DESTINATION), ExpectedDefaultDestination(game_.company));
    EXPECT_TRUE(ui::GetControlState(main, IDC_DESTINATION).enabled);

    EXPECT_FALSE(FileExists(installPath + game_.appExe));
    EXPECT_FALSE(FolderExists(installPath + L"sub dir")) << "emptied folders go";
    EXPECT_FALSE(FolderExists(installPath + L"movie"));
    EXPECT_FALSE(FolderExists(installPath + L"save"));
    EXPECT_FALSE(FileExists(installPath + L"uninst.dat"));
    EXPECT_TRUE(FileExists(installPath + L"config.ini")) << "kind 1 stays";
    EXPECT_EQ(ReadAll(installPath + L"userdata\\mine.txt"), "mine") << "a file the game created stays";
    EXPECT_FALSE(FileExists(journey::DesktopShortcutPath(game_)));
    for (const std::wstring& shortcut : journey::StartMenuShortcutPaths(game_)) EXPECT_FALSE(FileExists(shortcut));
    EXPECT_FALSE(journey::RegistryKeyExists(HKEY_CURRENT_USER, L"Software\\" + game_.company));
    EXPECT_FALSE(journey::RegistryKeyExists(HKEY_LOCAL_MACHINE, journey::UninstallEntryPath(game_)));

    DWORD exitCode = 99;
    ASSERT_TRUE(run.Exit(&exitCode)) << testing::PrintToString(run.log());
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(JourneyTest, CancelledInstallationRecordsNothingAndReturnsToTheInstallLook) {
    // Everything lies on the second disc, which is not in yet: the worker waits at the disc
    // prompt while the person presses キャンセル, then the disc goes in and the first copied block
    // meets the request.
    const std::vector<DiscFile> files = {{1, L"big.bin", PatternBytes(3000000, 4)}};
    const std::wstring disc = MakeDisc(files, L"");
    const std::wstring typed = root_ + L"\\dest";
    const std::wstring installPath = typed + L"\\" + game_.instFolder + L"\\";

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(disc)) << testing::PrintToString(run.log());
    ASSERT_TRUE(run.PressInstall(typed, IDOK, nullptr)) << testing::PrintToString(run.log());
    HWND progress = run.WaitForProgressDialog();
    ASSERT_TRUE(progress) << testing::PrintToString(run.log());
    HWND prompt = ui::WaitForMessageBox(L"ディスク交換", journey::kStepTimeout, run.processId());
    ASSERT_TRUE(prompt) << testing::PrintToString(run.log() + journey::DescribeWindows(run.processId()));

    // Pressed and handled before the disc goes in (sent, not posted).
    DWORD_PTR ignored = 0;
    ASSERT_TRUE(SendMessageTimeoutW(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored));
    std::wstring error;
    ASSERT_TRUE(journey::WriteDisc(disc, 1, game_, files, false, L"", &error)) << testing::PrintToString(error);
    ASSERT_TRUE(ui::ClickButton(prompt, IDRETRY));

    std::wstring question, outcome;
    ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &question)) << testing::PrintToString(run.log());
    EXPECT_EQ(question, L"インストールを中断しますか？");
    ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &outcome)) << testing::PrintToString(run.log());
    EXPECT_EQ(outcome, kInterrupted);

    ASSERT_TRUE(run.WaitForLook(false)) << testing::PrintToString(run.log());
    EXPECT_TRUE(ui::WaitUntilGone(progress));
    EXPECT_EQ(ui::ControlText(run.mainDialog(), IDC_DESTINATION), ExpectedDefaultDestination(game_.company))
        << "the typed folder is not kept";
    EXPECT_FALSE(journey::RegistryKeyExists(HKEY_CURRENT_USER, journey::OwnKeyPath(game_)));
    EXPECT_FALSE(journey::RegistryKeyExists(HKEY_LOCAL_MACHINE, journey::UninstallEntryPath(game_)));
    EXPECT_FALSE(FileExists(installPath + L"uninst.dat"));
    EXPECT_FALSE(FileExists(journey::DesktopShortcutPath(game_)));

    DWORD exitCode = 99;
    ASSERT_TRUE(run.Exit(&exitCode)) << testing::PrintToString(run.log());
    EXPECT_EQ(exitCode, 0u);
}

TEST_F(JourneyTest, LaunchButtonServesTheInstalledGameOnAVersionFivePlatform) {
    journey::WineVersion xp(L"winxp64");
    ASSERT_TRUE(xp.applied());
    const std::vector<DiscFile> files = {{0, game_.appExe, ReadAll(journey::RunnableProgram())}};
    ASSERT_NE(files[0].bytes, "<missing>");
    const std::wstring disc = MakeDisc(files, L"");
    const std::wstring typed = root_ + L"\\dest";

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(disc)) << testing::PrintToString(run.log());
    HWND main = run.mainDialog();
    ui::ControlState launch = ui::GetControlState(main, IDC_LAUNCH);
    EXPECT_TRUE(launch.visible) << "a version-5 platform shows the launch button";
    EXPECT_FALSE(launch.enabled) << "nothing to launch before the installation";
    EXPECT_EQ(ui::ControlText(main, IDC_DESTINATION),
              journey::InstallerProgramFilesFolder() + L"\\" + game_.company + L"\\")
        << "below version 6 the default lies in the program-files folder";

    ASSERT_TRUE(run.PressInstall(typed, IDOK, nullptr)) << testing::PrintToString(run.log());
    std::wstring outcome;
    ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &outcome)) << testing::PrintToString(run.log());
    EXPECT_EQ(outcome, kCompleted);
    ASSERT_TRUE(run.WaitForLook(true)) << testing::PrintToString(run.log());
    launch = ui::GetControlState(main, IDC_LAUNCH);
    EXPECT_TRUE(launch.visible);
    EXPECT_TRUE(launch.enabled) << "the uninstall look offers to launch the game";

    // Launching ends the installer, whatever the game does.
    ASSERT_TRUE(ui::ClickButton(main, IDC_LAUNCH));
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitForEnd(&exitCode)) << testing::PrintToString(run.log());
    EXPECT_EQ(exitCode, 0u);
}

}  // namespace
