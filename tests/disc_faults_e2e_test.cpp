// Scratched and taken-out discs, and a destination that fills up, end to end: the real
// installer.exe installs from disc images in the CD-ROM drives R: and S:, whose media have
// faults (support/disc_drive.h). In every journey the installation stops with the message a
// player needs, without a crash or a hang; nothing is recorded, and the game folder holds only
// what was written, byte for byte as on the disc.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "disc_author.h"
#include "support/bzip2_bytes.h"
#include "support/disc_drive.h"
#include "support/e2e_journey.h"
#include "support/expected_outcomes.h"
#include "support/test_files.h"

namespace {

using journey::DiscFile;
using journey::InstallerRun;

// The drive gives up on an unreadable sector after this long (a player's drive takes seconds).
constexpr unsigned kRetryMs = 200;

const wchar_t kReadFailure[] =
    L"\n\nコピー元ファイルが異常です。ファイルが破損している可能性があります。\n以下の原因が考えられます。\n\n①読み取りドライ"
    L"ブ、読み取りディスクの異常。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サ"
    L"ポート窓口までお問い合わせください。";
const wchar_t kWriteFailure[] =
    L"\n\nコピー先ファイルが作成できません。以下の原因が考えられます。\n\n①コピー先ファイルが読み取り専用属性に設定されてい"
    L"る。\n②コピー先ファイルが他アプリケーションで使用中である。\n③他アプリケーションが影響を与えている。\n④書き込み先HDD"
    L"の異常。\n⑤メモリの不足。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポ"
    L"ート窓口までお問い合わせください。";
const wchar_t kDiscTwoPrompt[] =
    L"ディスク 2 を挿入して「再試行」を押して下さい。\n\n※ディスクを挿入した際に「自動再生」ウィンドウが表示された場合は閉じ"
    L"てください。";
const wchar_t kSmallVolume[] = L"Y:\\";  // a 6 MB volume of its own (fixture disc_faults_volume)

std::string Log(const InstallerRun& run) { return testing::PrintToString(run.log()); }
std::string Text(const std::wstring& text) { return testing::PrintToString(text); }

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    return ReadFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

class DiscFault : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
        root_ = L"T:\\disc faults " + tag;
        game_.company = L"傷工房" + tag;
        game_.appName = L"傷ディスク " + tag;
        game_.instFolder = L"傷ゲーム";
        drive::EjectDisc(L'R');
        drive::EjectDisc(L'S');
    }
    void TearDown() override {
        // An installer that started when it should not have goes, so that it holds up no later journey.
        if (HWND left = ui::FindWindowByTitle(game_.appName + L" インストーラ")) {
            DWORD processId = 0;
            GetWindowThreadProcessId(left, &processId);
            ui::EndProcess(processId);
        }
        drive::EjectDisc(L'R');
        drive::EjectDisc(L'S');
        journey::CleanUpGame(game_, installPath());
        RemoveTree(root_);
        DeleteFileW((std::wstring(kSmallVolume) + L"filler.bin").c_str());
    }

    std::wstring installPath() const {
        const bool root = destination_.back() == L'\\';
        return destination_ + (root ? L"" : L"\\") + game_.instFolder + L"\\";
    }

    // The image of disc `disc` of the game (the first carries the installer and control files),
    // as mkdisc makes it of the disc's folder.
    std::wstring MakeImage(int disc, const std::vector<DiscFile>& files) {
        const std::wstring folder = root_ + L"\\disc" + std::to_wstring(disc + 1);
        const std::wstring image = folder + L".iso";
        std::wstring error;
        uint64_t bytes = 0;
        EXPECT_TRUE(journey::WriteDisc(folder, disc, game_, files, disc == 0, L"", &error)) << Text(error);
        EXPECT_TRUE(MakeFolderImage(folder, image, ImageStamp{}, &bytes, &error)) << Text(error);
        return image;
    }

    void Insert(wchar_t letter, const std::wstring& image, const drive::DiscOptions& options) {
        std::wstring error;
        ASSERT_TRUE(drive::InsertDisc(letter, image, options, &error)) << Text(error);
    }

    // Starts the installer from drive R: and installs into destination_ (verification on).
    void StartInstallation(InstallerRun& run) {
        ASSERT_TRUE(run.Start(L"R:")) << Log(run);
        ASSERT_TRUE(run.PressInstall(destination_, IDOK, nullptr)) << Log(run);
    }

    // The failure box of a copy: "<path><reason> = <written>/<size> byte", where written is what
    // the file on the destination holds, which is the start of the file on the disc.
    void ExpectCopyFailure(InstallerRun& run, const std::wstring& shownPath, const wchar_t* reason,
                           const std::wstring& installed, const std::string& bytes) {
        std::wstring message;
        ASSERT_TRUE(run.AnswerBox(L"エラー", IDOK, &message)) << Log(run);
        const std::string written = ReadAll(installed);
        ASSERT_LT(written.size(), bytes.size()) << "the file stops where the copy failed";
        EXPECT_EQ(written, bytes.substr(0, written.size()));
        EXPECT_EQ(message, shownPath + reason + L" = " + std::to_wstring(written.size()) + L"/" +
                               std::to_wstring(bytes.size()) + L" byte");
    }

    // The end of every journey: the interruption message, the install look, nothing recorded.
    void ExpectStopped(InstallerRun& run) {
        std::wstring outcome;
        ASSERT_TRUE(run.AnswerBox(L"確認", IDOK, &outcome)) << Log(run);
        EXPECT_EQ(outcome, kInterrupted);
        ASSERT_TRUE(run.WaitForLook(false)) << Log(run);
        EXPECT_FALSE(journey::RegistryKeyExists(HKEY_CURRENT_USER, journey::OwnKeyPath(game_)));
        EXPECT_FALSE(journey::RegistryKeyExists(HKEY_LOCAL_MACHINE, journey::UninstallEntryPath(game_)));
        EXPECT_FALSE(FileExists(installPath() + L"uninst.dat"));
        DWORD exitCode = 99;
        ASSERT_TRUE(run.Exit(&exitCode)) << Log(run);
        EXPECT_EQ(exitCode, 0u);
    }

    std::wstring root_;
    std::wstring destination_ = L"T:\\disc faults games";
    journey::Game game_;
};

drive::DiscOptions Unreadable(const std::wstring& path, unsigned long long offset, unsigned long long bytes) {
    drive::DiscOptions options;
    options.unreadable.push_back({{path, offset}, bytes});
    options.retryMs = kRetryMs;
    return options;
}

TEST_F(DiscFault, AnUnreadableSectorInAPlainFile) {
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 1)},
                                         {0, L"data\\big.bin", PatternBytes(3000000, 2)}};
    ASSERT_NO_FATAL_FAILURE(Insert(L'R', MakeImage(0, files), Unreadable(L"\\data\\data\\big.bin", 1500000, 4096)));
    InstallerRun run(game_);
    ASSERT_NO_FATAL_FAILURE(StartInstallation(run));
    ExpectCopyFailure(run, L"R:\\data\\data\\big.bin", kReadFailure, installPath() + L"data\\big.bin", files[1].bytes);
    EXPECT_EQ(ReadAll(installPath() + L"game.exe"), files[0].bytes);
    ExpectStopped(run);
}

// The sector lies in the second of the file's three blocks: the first block, read whole before
// it, is expanded and written, nothing after it, and the installation goes no further.
TEST_F(DiscFault, AnUnreadableSectorInACompressedFile) {
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 3)},
                                         {0, L"data\\voice.dat.bz2", PatternBytes(2500000, 4)},
                                         {0, L"data\\after.bin", PatternBytes(3000, 5)}};
    constexpr uint64_t kUnreadableAt = 1800000;
    // A level-9 block of bytes without runs holds 900,000 less bzip2's 19 bytes of slack.
    constexpr size_t kFirstBlockBytes = 899981;
    const std::vector<uint64_t> blocks = FindBits48(journey::Bzip2(files[1].bytes), 0x314159265359ULL);
    ASSERT_EQ(blocks.size(), 3u);
    ASSERT_TRUE(blocks[1] / 8 < kUnreadableAt && kUnreadableAt < blocks[2] / 8);
    ASSERT_NO_FATAL_FAILURE(
        Insert(L'R', MakeImage(0, files), Unreadable(L"\\data\\data\\voice.dat.bz2", kUnreadableAt, 2048)));
    InstallerRun run(game_);
    ASSERT_NO_FATAL_FAILURE(StartInstallation(run));
    std::wstring message;
    ASSERT_TRUE(run.AnswerBox(L"エラー", IDOK, &message)) << Log(run);
    EXPECT_EQ(message, L"「R:\\data\\data\\voice.dat.bz2」\n\n解凍元ファイルが破損しています。");
    const std::string written = ReadAll(installPath() + L"data\\voice.dat");
    EXPECT_EQ(written.size(), kFirstBlockBytes) << "the blocks read whole are written";
    EXPECT_TRUE(written == files[1].bytes.substr(0, written.size()));
    EXPECT_FALSE(FileExists(installPath() + L"data\\after.bin"));
    ExpectStopped(run);
}

TEST_F(DiscFault, AnUnreadableControlFileOnTheFirstDisc) {
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 5)}};
    const std::wstring image = MakeImage(0, files);
    for (const wchar_t* name : {L"setup.lst", L"setup.ini"}) {
        SCOPED_TRACE(Text(name));
        ASSERT_NO_FATAL_FAILURE(Insert(L'R', image, Unreadable(std::wstring(L"\\") + name, 0, 1)));
        ui::ProcessReaper reaper;
        ui::Process staging = ui::StartProgram(L"R:\\installer.exe", L"", L"R:");
        ASSERT_TRUE(staging);
        reaper.Add(staging.id);
        // The staging copy names the file it could not copy into its folder in the temporary folder.
        std::wstring account;
        EXPECT_TRUE(journey::AnswerStagingFailure(staging, name, &account)) << Text(account);
        EXPECT_FALSE(ui::FindWindowByTitle(game_.appName + L" インストーラ")) << "nothing was started";
    }
}

TEST_F(DiscFault, TheDiscTakenOutInTheMiddleOfAFile) {
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 6)},
                                         {0, L"data\\big.bin", PatternBytes(3000000, 7)}};
    drive::DiscOptions options;
    options.takenOutAt = {L"\\data\\data\\big.bin", 1500000};
    ASSERT_NO_FATAL_FAILURE(Insert(L'R', MakeImage(0, files), options));
    InstallerRun run(game_);
    ASSERT_NO_FATAL_FAILURE(StartInstallation(run));
    ExpectCopyFailure(run, L"R:\\data\\data\\big.bin", kReadFailure, installPath() + L"data\\big.bin", files[1].bytes);
    EXPECT_EQ(GetFileAttributesW(L"R:\\"), INVALID_FILE_ATTRIBUTES) << "the drive is empty";
    ExpectStopped(run);
}

TEST_F(DiscFault, TheNextDiscsMarkerUnreadableDuringTheDiscChange) {
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 8)},
                                         {1, L"movie.bin", PatternBytes(20000, 9)}};
    ASSERT_NO_FATAL_FAILURE(Insert(L'R', MakeImage(0, files), drive::DiscOptions()));
    ASSERT_NO_FATAL_FAILURE(Insert(L'S', MakeImage(1, files), Unreadable(L"\\drvno.dat", 0, 1)));
    InstallerRun run(game_);
    ASSERT_NO_FATAL_FAILURE(StartInstallation(run));
    // Disc 2 sits in drive S:, but its marker cannot be read: the search passes it by and asks.
    std::wstring prompt;
    ASSERT_TRUE(run.AnswerBox(L"ディスク交換", IDCANCEL, &prompt)) << Log(run);
    EXPECT_EQ(prompt, kDiscTwoPrompt);
    EXPECT_EQ(ReadAll(installPath() + L"game.exe"), files[0].bytes);
    EXPECT_FALSE(FileExists(installPath() + L"movie.bin"));
    ExpectStopped(run);
}

TEST_F(DiscFault, TheDestinationFillsUpInTheMiddleOfAFile) {
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_EQ(GetDriveTypeW(kSmallVolume), static_cast<UINT>(DRIVE_FIXED));
    ASSERT_TRUE(GetDiskFreeSpaceExW(kSmallVolume, &available, &total, &free));
    ASSERT_LT(total.QuadPart, 8000000u) << "drive Y: is the 6 MB volume of the disc_faults_volume fixture";
    destination_ = kSmallVolume;
    const std::vector<DiscFile> files = {{0, L"game.exe", PatternBytes(5000, 10)},
                                         {1, L"data\\big.bin", PatternBytes(3000000, 11)}};
    const std::wstring secondDisc = MakeImage(1, files);
    ASSERT_NO_FATAL_FAILURE(Insert(L'R', MakeImage(0, files), drive::DiscOptions()));
    InstallerRun run(game_);
    ASSERT_NO_FATAL_FAILURE(StartInstallation(run));

    // The free space was enough when it was checked; while the player fetches disc 2, another
    // program takes all but 1.5 MB of it.
    ASSERT_TRUE(ui::WaitForMessageBox(L"ディスク交換", journey::kStepTimeout, run.processId())) << Log(run);
    ASSERT_TRUE(GetDiskFreeSpaceExW(kSmallVolume, &available, &total, &free));
    ASSERT_TRUE(WriteFileBytes(std::wstring(kSmallVolume) + L"filler.bin",
                               std::string(static_cast<size_t>(available.QuadPart) - 1500000, 'f')));
    ASSERT_NO_FATAL_FAILURE(Insert(L'R', secondDisc, drive::DiscOptions()));
    ASSERT_TRUE(run.AnswerBox(L"ディスク交換", IDRETRY, nullptr)) << Log(run);
    ExpectCopyFailure(run, installPath() + L"data\\big.bin", kWriteFailure, installPath() + L"data\\big.bin",
                      files[1].bytes);
    ExpectStopped(run);
}

}  // namespace
