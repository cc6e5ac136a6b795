// Whole installations and removals through the real installer.exe, its real dialogs and real
// drives, in the situations players meet: games on two discs (one drive and an exchange at the
// prompt, or two drives), a damaged disc, broken control files, a full destination, a reinstall
// over an earlier installation, and a disc folder with blanks and Japanese in its name.
//
// Every scenario has its own company and game names, its own folders below T:\, and leaves the
// CD-ROM drives R: and S: empty again. Most discs are made by mkdisc's library from a folder of
// game files, and a player's discs are the images it writes, read in those drives through a file
// system that is not mkdisc's (support/disc_drive.h), so the tool and the installer are checked
// together.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "base/handles.h"
#include "disc_author.h"
#include "resources/resource_ids.h"
#include "support/disc_drive.h"
#include "support/e2e_journey.h"
#include "support/expected_outcomes.h"
#include "support/test_files.h"
#include "transfer/crc32.h"

namespace {

using journey::DiscFile;
using journey::Game;
using journey::InstallerRun;

const wchar_t kDiscTwoPrompt[] =
    L"ディスク 2 を挿入して「再試行」を押して下さい。\n\n※ディスクを挿入した際に「自動再生」ウィンドウが表示された場合は閉じ"
    L"てください。";
const wchar_t kDamagedFile[] =
    L"\n\nファイルが破損している可能性があります。以下の原因が考えられます。\n\n①コピー先ファイルが読み取り専用属性に設定されて"
    L"いる。\n②コピー先ファイルが他アプリケーションで使用中である。\n③他アプリケーションが影響を与えている。\n④読み取りドライ"
    L"ブ、読み取りディスク、書き込み先HDDの異常。\n⑤メモリの不足。\n\n以上をご確認頂いても正常に再インストールできない場合は"
    L"、お手数をお掛け致しますが、サポート窓口までお問い合わせください。";

const wchar_t kDriveR = L'R';  // the CD-ROM drives that read disc images
const wchar_t kDriveS = L'S';

using GameFiles = std::map<std::wstring, std::string>;  // path inside the game folder -> bytes

std::string Log(const InstallerRun& run) { return testing::PrintToString(run.log()); }
std::string Text(const std::wstring& text) { return testing::PrintToString(text); }

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    return ReadFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

std::string IniBytes(const Game& game) {
    return ToCp932(L"[INSTALLER]\r\nCompany=" + game.company + L"\r\nPublisher=" + game.publisher +
                   L"\r\nURLInfoAbout=" + game.url + L"\r\nAppName=" + game.appName + L"\r\nInstFolder=" +
                   game.instFolder + L"\r\nAppExe=" + game.appExe + L"\r\n");
}

class Scenario : public ::testing::Test {
protected:
    void SetUp() override {
        tag_ = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
        root_ = L"T:\\h5 scenario " + tag_;
        game_.company = L"h5工房" + tag_;
        game_.appName = L"h5シナリオ " + tag_;
        game_.instFolder = L"h5ゲーム";
        game_.publisher = L"h5出版";
        game_.url = L"https://support.example/h5";
        drive::EjectDisc(kDriveR);
        drive::EjectDisc(kDriveS);
    }
    void TearDown() override {
        drive::EjectDisc(kDriveR);
        drive::EjectDisc(kDriveS);
        journey::CleanUpGame(game_, installPath());
        RemoveTree(root_);
    }

    std::wstring typed() const { return root_ + L"\\games"; }
    std::wstring installPath() const { return typed() + L"\\" + game_.instFolder + L"\\"; }

    // The game's discs as mkdisc makes them, in root_\discs\disc1, disc2, ... and their images
    // disc1.iso, disc2.iso, ...
    DiscSetResult MakeDiscs(const GameFiles& files, uint64_t capacity, const std::wstring& order = L"") {
        const std::wstring source = root_ + L"\\source";
        for (const auto& [path, bytes] : files) EXPECT_TRUE(WriteFileBytes(source + L"\\game\\" + path, bytes));
        EXPECT_TRUE(WriteFileBytes(source + L"\\setup.ini", IniBytes(game_)));
        EXPECT_TRUE(WriteFileBytes(source + L"\\uninst.dat", "0,save\\*.sav\r\n"));
        DiscSetOptions options;
        options.gameFolder = source + L"\\game";
        options.outFolder = root_ + L"\\discs";
        options.installerPath = journey::BuiltInstaller();
        options.iniPath = source + L"\\setup.ini";
        options.templatePath = source + L"\\uninst.dat";
        options.compressPatterns = {L"*.dat"};
        options.capacity = capacity;
        options.images = true;
        if (!order.empty()) {
            EXPECT_TRUE(WriteFileBytes(source + L"\\order.txt", ToCp932(order)));
            options.orderFile = source + L"\\order.txt";
        }
        DiscSetResult result;
        std::wstring error;
        EXPECT_TRUE(MakeDiscSet(options, nullptr, &result, &error)) << Text(error);
        return result;
    }

    // Puts the image of a disc folder (mkdisc's image of it, as a publisher may burn a folder) into
    // drive R: and gives the drive's root, from which the installer is started.
    std::wstring InDrive(const std::wstring& discFolder) {
        const std::wstring image = discFolder + L" in drive.iso";
        uint64_t bytes = 0;
        std::wstring error;
        EXPECT_TRUE(MakeFolderImage(discFolder, image, ImageStamp{}, &bytes, &error)) << Text(error);
        EXPECT_TRUE(drive::InsertDisc(kDriveR, image, &error)) << Text(error);
        return L"R:";
    }

    // Room on the first disc for the installer and its control files, plus `bytes`: a capacity
    // is the size of the medium, and a small disc's image spends under 350 sectors of it on its
    // three file systems (the UDF bridge's descriptors alone take about 260).
    uint64_t FirstDiscRoomFor(uint64_t bytes) const {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(journey::BuiltInstaller().c_str(), GetFileExInfoStandard, &data);
        return data.nFileSizeLow + 4096 + bytes + 350 * 2048;
    }

    void ExpectInstalled(const GameFiles& files) {
        for (const auto& [path, bytes] : files) EXPECT_EQ(ReadAll(installPath() + path), bytes) << Text(path);
        EXPECT_TRUE(FileExists(installPath() + L"uninst.dat"));
        EXPECT_EQ(journey::ReadRegistryValue(HKEY_CURRENT_USER, journey::OwnKeyPath(game_), L"InstallPath").text,
                  installPath());
    }

    void ExpectNothingRecorded() {
        EXPECT_FALSE(journey::RegistryKeyExists(HKEY_CURRENT_USER, journey::OwnKeyPath(game_)));
        EXPECT_FALSE(journey::RegistryKeyExists(HKEY_LOCAL_MACHINE, journey::UninstallEntryPath(game_)));
        EXPECT_FALSE(FileExists(installPath() + L"uninst.dat"));
    }

    // Uninstalls through the dialogs and checks that nothing of the game is left.
    void UninstallEverything(InstallerRun& run) {
        std::wstring removal;
        ASSERT_TRUE(run.Uninstall(&removal)) << Log(run);
        EXPECT_EQ(removal, kUninstalled);
        ASSERT_TRUE(run.WaitForLook(false)) << Log(run);
        EXPECT_FALSE(FolderExists(installPath())) << "every listed file and emptied folder goes";
        EXPECT_FALSE(FileExists(journey::DesktopShortcutPath(game_)));
        EXPECT_FALSE(journey::RegistryKeyExists(HKEY_CURRENT_USER, L"Software\\" + game_.company));
        EXPECT_FALSE(journey::RegistryKeyExists(HKEY_LOCAL_MACHINE, journey::UninstallEntryPath(game_)));
    }

    // Answers the box that ends the installation and waits for the look it leads to.
    void FinishInstallation(InstallerRun& run, const wchar_t* expectedOutcome) {
        std::wstring outcome;
        ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &outcome)) << Log(run);
        EXPECT_EQ(outcome, expectedOutcome);
        ASSERT_TRUE(run.WaitForLook(std::wstring(expectedOutcome) == kCompleted)) << Log(run);
    }

    void ExitInstaller(InstallerRun& run) {
        DWORD exitCode = 99;
        ASSERT_TRUE(run.Exit(&exitCode)) << Log(run);
        EXPECT_EQ(exitCode, 0u);
    }

    std::wstring tag_, root_;
    Game game_;
};

GameFiles TwoDiscGame() {
    return {
        {L"game.exe", PatternBytes(20000, 1)},
        {L"data\\背景 01.bmp", PatternBytes(300000, 2)},
        {L"voice\\声.dat", std::string(200000, 'v')},
        {L"movie\\オープニング.mpg", PatternBytes(300000, 3)},
    };
}
// game.exe, the picture and the voice fill disc 1; the movie goes to disc 2.
const wchar_t kTwoDiscOrder[] = L"game.exe\r\ndata\\背景 01.bmp\r\nvoice\\声.dat\r\nmovie\\オープニング.mpg\r\n";

TEST_F(Scenario, TwoDiscsInOneDriveExchangedAtThePrompt) {
    const GameFiles files = TwoDiscGame();
    const DiscSetResult discs = MakeDiscs(files, FirstDiscRoomFor(350000), kTwoDiscOrder);
    ASSERT_EQ(discs.discImages.size(), 2u);
    std::wstring error;
    ASSERT_TRUE(drive::InsertDisc(kDriveR, discs.discImages[0], &error)) << Text(error);

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(L"R:")) << Log(run);
    ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
    ASSERT_TRUE(run.WaitForProgressDialog()) << Log(run);

    // The prompt waits while disc 1 comes out of drive R: and disc 2 goes in.
    ASSERT_TRUE(ui::WaitForMessageBox(L"ディスク交換", journey::kStepTimeout, run.processId())) << Log(run);
    EXPECT_FALSE(FileExists(installPath() + L"movie\\オープニング.mpg"));
    ASSERT_TRUE(drive::EjectDisc(kDriveR));
    ASSERT_TRUE(drive::InsertDisc(kDriveR, discs.discImages[1], &error)) << Text(error);
    std::wstring prompt;
    ASSERT_TRUE(run.AnswerBox(L"ディスク交換", IDRETRY, &prompt)) << Log(run);
    EXPECT_EQ(prompt, kDiscTwoPrompt);

    ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kCompleted));
    ExpectInstalled(files);
    UninstallEverything(run);
    ExitInstaller(run);
}

TEST_F(Scenario, TwoDiscsInTwoDrivesNeedNoPrompt) {
    const GameFiles files = TwoDiscGame();
    const DiscSetResult discs = MakeDiscs(files, FirstDiscRoomFor(350000), kTwoDiscOrder);
    ASSERT_EQ(discs.discImages.size(), 2u);
    std::wstring error;
    ASSERT_TRUE(drive::InsertDisc(kDriveR, discs.discImages[0], &error)) << Text(error);
    ASSERT_TRUE(drive::InsertDisc(kDriveS, discs.discImages[1], &error)) << Text(error);

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(L"R:")) << Log(run);
    ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
    // The next box is the outcome: a disc prompt would stand in its way.
    ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kCompleted));
    EXPECT_EQ(run.log().find(L"ディスク交換"), std::wstring::npos) << Log(run);
    ExpectInstalled(files);
    UninstallEverything(run);
    ExitInstaller(run);
}

// With verification on (the default), each file is checked before the next one is touched: a
// damaged file is reported first, whatever would go wrong next, and the installation stops there.
// A check that cannot open the installed file (another program holds it and does not let it be
// read) says so before the damaged-file box.
TEST_F(Scenario, VerificationStopsAtTheFirstFileThatFailsItsCheckBeforeTheNextIsTouched) {
    const std::string damagedBytes = PatternBytes(100000, 4);
    const DiscFile damaged = {0, L"a\\damaged.bin", damagedBytes};
    const std::wstring uncheckable = L"a\\held.dat";
    const std::wstring heldBox = L"\nCRC32のチェックができません。";
    const struct {
        const char* what;
        std::vector<DiscFile> files;
        std::vector<std::wstring> boxes;  // the error boxes in order; a leading "\n" follows the installed path
        std::wstring next;                // the file after the failing one, which must never exist
    } cases[] = {
        {"a damaged file, then a 3 MB file",
         {damaged, {0, L"b\\big.bin", PatternBytes(3000000, 5)}},
         {std::wstring(L"damaged.bin") + kDamagedFile},
         L"b\\big.bin"},
        {"a damaged file, then one missing from the disc",
         {damaged, {0, L"b\\gone.bin", PatternBytes(1000, 6)}},
         {std::wstring(L"damaged.bin") + kDamagedFile},
         L"b\\gone.bin"},
        {"an expanded file that cannot be read back",
         {{0, uncheckable + L".bz2", PatternBytes(50000, 7)}, {0, L"b\\next.bin", PatternBytes(1000, 8)}},
         {heldBox, std::wstring(L"held.dat.bz2") + kDamagedFile},
         L"b\\next.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring disc = root_ + L"\\disc " + std::to_wstring(&c - cases);
        std::wstring error;
        ASSERT_TRUE(journey::WriteDisc(disc, 0, game_, c.files, true, L"", &error)) << Text(error);
        std::string bytes = ReadAll(disc + L"\\data\\a\\damaged.bin");
        if (bytes.size() == damagedBytes.size()) {
            bytes[54321] ^= 0x01;  // one bit the disc lost
            ASSERT_TRUE(WriteFileBytes(disc + L"\\data\\a\\damaged.bin", bytes));
        }
        DeleteFileW((disc + L"\\data\\b\\gone.bin").c_str());
        // Another program writes to the file and lets others write, but not read.
        FileHandle holder;
        if (c.boxes[0] == heldBox) {
            ASSERT_TRUE(WriteFileBytes(installPath() + uncheckable, "old"));
            holder.reset(CreateFileW((installPath() + uncheckable).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(holder);
        }

        InstallerRun run(game_);
        ASSERT_TRUE(run.Start(InDrive(disc))) << Log(run);
        EXPECT_TRUE(ui::GetControlState(run.mainDialog(), IDC_VERIFY_FILES).checked) << "verification is on by default";
        ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
        for (const std::wstring& expected : c.boxes) {
            HWND box = ui::WaitForMessageBox(L"エラー", journey::kStepTimeout, run.processId());
            ASSERT_TRUE(box) << Log(run);
            EXPECT_FALSE(FileExists(installPath() + c.next)) << "the next file is not touched before the box";
            const std::wstring text = ui::MessageBoxText(box);
            EXPECT_EQ(text, expected[0] == L'\n' ? installPath() + uncheckable + expected : expected);
            ui::ClickButton(box, IDOK);
            ASSERT_TRUE(ui::WaitUntilGone(box));
        }
        ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kInterrupted));
        EXPECT_FALSE(FileExists(installPath() + c.next));
        ExpectNothingRecorded();
        ExitInstaller(run);
        holder.reset();
        journey::CleanUpGame(game_, installPath());
    }
}

TEST_F(Scenario, BrokenControlFilesAndArchivesStopTheInstallation) {
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 7)},
                                         {0, L"data\\voice.dat.bz2", std::string(300000, 'w')}};

    // No setup.lst on the disc: the installer cannot stage itself and says so.
    {
        const std::wstring disc = root_ + L"\\no list";
        std::wstring error;
        ASSERT_TRUE(journey::WriteDisc(disc, 0, game_, files, true, L"", &error)) << Text(error);
        ASSERT_TRUE(DeleteFileW((disc + L"\\setup.lst").c_str()));
        ui::ProcessReaper reaper;
        ui::Process staging = ui::StartProgram(disc + L"\\installer.exe", L"", disc);
        ASSERT_TRUE(staging);
        reaper.Add(staging.id);
        // The target lies in the staging's own folder inside the system's temporary folder.
        std::wstring account;
        EXPECT_TRUE(journey::AnswerStagingFailure(staging, L"setup.lst", &account)) << Text(account);
        EXPECT_FALSE(ui::FindWindowByTitle(game_.appName + L" インストーラ")) << "nothing was started";
    }

    // A line the installer cannot read: it names the line and installs nothing.
    {
        const std::wstring disc = root_ + L"\\bad line";
        std::wstring error;
        ASSERT_TRUE(journey::WriteDisc(disc, 0, game_, files, true, L"", &error)) << Text(error);
        std::string list = ReadAll(disc + L"\\setup.lst");
        list += ToCp932(L"0,音楽\\bgm.ogg\r\n");  // no size, no CRC-32
        ASSERT_TRUE(WriteFileBytes(disc + L"\\setup.lst", list));
        InstallerRun run(game_);
        ASSERT_TRUE(run.Start(disc)) << Log(run);
        ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
        std::wstring message;
        ASSERT_TRUE(run.AnswerBox(L"エラー", IDOK, &message)) << Log(run);
        EXPECT_EQ(message, L"ファイルリストの 3 行目が正しくありません。\n0,音楽\\bgm.ogg");
        ASSERT_TRUE(run.WaitForLook(false)) << Log(run);
        EXPECT_FALSE(FileExists(installPath() + L"game.exe")) << "a list that does not load installs nothing";
        ExpectNothingRecorded();
        ExitInstaller(run);
    }

    // A compressed file damaged on the disc: the expansion says so, even without verification.
    {
        const std::wstring disc = root_ + L"\\bad archive";
        std::wstring error;
        ASSERT_TRUE(journey::WriteDisc(disc, 0, game_, files, true, L"", &error)) << Text(error);
        const std::wstring archive = disc + L"\\data\\data\\voice.dat.bz2";
        std::string bytes = ReadAll(archive);
        ASSERT_GT(bytes.size(), 40u);
        bytes[bytes.size() / 2] ^= 0x40;
        ASSERT_TRUE(WriteFileBytes(archive, bytes));
        const std::wstring drive = InDrive(disc);
        InstallerRun run(game_);
        ASSERT_TRUE(run.Start(drive)) << Log(run);
        ui::ClickButton(run.mainDialog(), IDC_VERIFY_FILES);  // off: the damage must not slip through
        for (int i = 0; i < 40 && ui::GetControlState(run.mainDialog(), IDC_VERIFY_FILES).checked; ++i) Sleep(50);
        ASSERT_FALSE(ui::GetControlState(run.mainDialog(), IDC_VERIFY_FILES).checked);
        ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
        std::wstring message;
        ASSERT_TRUE(run.AnswerBox(L"エラー", IDOK, &message)) << Log(run);
        EXPECT_EQ(message, L"「" + drive + L"\\data\\data\\voice.dat.bz2」\n\n解凍元ファイルが破損しています。");
        ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kInterrupted));
        ExpectNothingRecorded();
        ExitInstaller(run);
    }
}

TEST_F(Scenario, NotEnoughFreeSpaceOnTheDestination) {
    ULARGE_INTEGER available{}, total{}, free{};
    if (GetDriveTypeW(L"V:\\") != DRIVE_FIXED || !GetDiskFreeSpaceExW(L"V:\\", &available, &total, &free) ||
        total.QuadPart > 8000000)
        GTEST_SKIP() << "drive V: is not the 5 MB volume of the scenario_volume fixture (mounting needs root)";
    const GameFiles files = {{L"game.exe", PatternBytes(10000, 8)},
                             {L"data\\world.bin", PatternBytes(4200000, 9)},
                             {L"data\\music.bin", PatternBytes(4200000, 10)}};
    const DiscSetResult discs = MakeDiscs(files, kCd700Capacity);
    ASSERT_EQ(discs.discFolders.size(), 1u);

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(discs.discFolders[0])) << Log(run);
    std::wstring confirmation, error;
    ASSERT_TRUE(run.PressInstall(L"V:\\", IDOK, &confirmation)) << Log(run);
    EXPECT_NE(confirmation.find(L"「V:\\" + game_.instFolder + L"\\」"), std::wstring::npos) << Text(confirmation);
    ASSERT_TRUE(run.AnswerBox(L"エラー", IDOK, &error)) << Log(run);
    EXPECT_EQ(error,
              L"インストール先の空き容量が足りません。\n\n正常にインストールするには 8 MB以上の空き領域が必要です。");
    ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kInterrupted));
    EXPECT_FALSE(FileExists(L"V:\\" + game_.instFolder + L"\\data\\world.bin")) << "nothing is copied";
    EXPECT_FALSE(journey::RegistryKeyExists(HKEY_CURRENT_USER, journey::OwnKeyPath(game_)));
    ExitInstaller(run);
    RemoveTree(L"V:\\" + game_.instFolder);
}

TEST_F(Scenario, ReinstallOverAnEarlierInstallationThenOneUninstallRemovesEverything) {
    // The first edition, installed and left.
    const GameFiles first = {{L"game.exe", PatternBytes(8000, 11)},
                             {L"old\\legacy.dat", std::string(50000, 'l')},
                             {L"shared.bin", PatternBytes(30000, 12)}};
    {
        const DiscSetResult discs = MakeDiscs(first, kCd700Capacity);
        InstallerRun run(game_);
        ASSERT_TRUE(run.Start(discs.discFolders[0])) << Log(run);
        ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
        std::wstring outcome;
        ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &outcome)) << Log(run);
        ASSERT_EQ(outcome, kCompleted);
        ASSERT_TRUE(run.WaitForLook(true)) << Log(run);
        ExitInstaller(run);
    }
    // The registry forgets it (a new user profile, a cleaning tool), the files stay; the second
    // edition is installed into the same folder.
    journey::CleanUpGame(game_, L"");
    ASSERT_TRUE(FileExists(installPath() + L"old\\legacy.dat"));
    RemoveTree(root_ + L"\\source");
    RemoveTree(root_ + L"\\discs");
    const GameFiles second = {{L"game.exe", PatternBytes(9000, 13)},
                              {L"shared.bin", PatternBytes(31000, 14)},
                              {L"new\\fresh.dat", std::string(40000, 'f')}};
    const DiscSetResult discs = MakeDiscs(second, kCd700Capacity);
    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(discs.discFolders[0])) << Log(run);
    EXPECT_EQ(ui::ControlText(run.mainDialog(), IDC_INSTALL), L"インストール");
    ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
    ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kCompleted));
    ExpectInstalled(second);
    EXPECT_EQ(ReadAll(installPath() + L"old\\legacy.dat"), first.at(L"old\\legacy.dat"));

    // The record kept the first edition's lines and added the second's.
    const std::string record = ReadAll(installPath() + L"uninst.dat");
    for (const wchar_t* path : {L"old\\legacy.dat", L"new\\fresh.dat", L"shared.bin"})
        EXPECT_NE(record.find(ToCp932(L"0," + installPath() + path + L"\r\n")), std::string::npos) << Text(path);

    // A save the game wrote in between goes with the template's pattern.
    ASSERT_TRUE(WriteFileBytes(installPath() + L"save\\slot1.sav", "save"));
    UninstallEverything(run);
    ExitInstaller(run);
}

TEST_F(Scenario, StartedFromAFolderWithBlanksAndJapaneseInItsName) {
    const GameFiles files = {{L"game.exe", PatternBytes(12000, 15)},
                             {L"シナリオ\\第 1 章.dat", std::string(100000, 's')},
                             {L"画像\\背景.bmp", PatternBytes(70000, 16)}};
    const DiscSetResult discs = MakeDiscs(files, kCd700Capacity);
    ASSERT_EQ(discs.discFolders.size(), 1u);
    const std::wstring disc = root_ + L"\\ゲーム ディスク 1 枚目";
    ASSERT_TRUE(MoveFileW(discs.discFolders[0].c_str(), disc.c_str()));

    InstallerRun run(game_);
    ASSERT_TRUE(run.Start(disc)) << Log(run);
    // The staged copy was given the folder whole, blanks and all, without quotes.
    EXPECT_EQ(ui::ArgumentText(ui::ProcessCommandLine(run.processId())), L"/lunch:" + disc);
    ASSERT_TRUE(run.PressInstall(typed(), IDOK, nullptr)) << Log(run);
    ASSERT_NO_FATAL_FAILURE(FinishInstallation(run, kCompleted));
    ExpectInstalled(files);
    UninstallEverything(run);
    ExitInstaller(run);
}

}  // namespace
