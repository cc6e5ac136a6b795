// The real installer.exe (the shipped i686 build where the machine runs 32-bit code) under Wine, answered by the driver:
// the refused switches, staging into the temporary folder and the relaunch, and the failures.
// Every process a test starts is ended before the next test, so a staged copy never holds the
// temporary installer.exe of the next one.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "startup/entry.h"
#include "support/e2e_journey.h"
#include "support/test_files.h"
#include "ui_driver.h"

namespace {

const wchar_t kErrorTitle[] = L"エラー";
const wchar_t kMixedUp[] = L"インストーラとアンインストーラの取り違いです。";
const wchar_t kCopyFailed[] =
    L"コピーできませんでした。\n次のコピー先ファイルが起動中か読み取り専用になっている可能性があります。\n";
const wchar_t kStagingFailed[] = L"インストールに失敗しました。\nTempフォルダへインストーラをコピーすることができませんでした。";
const wchar_t kSourceTooLong[] = L"インストール元フォルダのパスが長すぎます。";
const wchar_t* const kStagedFiles[] = {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"};

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::wstring BuiltInstaller() { return journey::BuiltInstaller(); }

std::wstring TempFolderPath() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

std::string FileBytes(const std::wstring& path) {
    std::string bytes;
    return ReadFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

// A disc folder holding the program and its control files (each optional), with contents of
// its own so that a staged copy can be told from an older one.
void MakeDisc(const std::wstring& folder, bool withSetupLst = true) {
    RemoveTree(folder);
    ASSERT_TRUE(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr) == ERROR_SUCCESS);
    ASSERT_TRUE(CopyFileW(BuiltInstaller().c_str(), (folder + L"\\installer.exe").c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(folder + L"\\setup.ini",
                               ToCp932(L"[INSTALLER]\r\nCompany=H1 Staging\r\nAppName=段階試験 " + folder +
                                       L"\r\nInstFolder=段階試験\r\nAppExe=game.exe\r\n")));
    if (withSetupLst) {
        ASSERT_TRUE(WriteFileBytes(folder + L"\\setup.lst", ToCp932(L"1,game.exe,4,0\n")));
    }
    ASSERT_TRUE(WriteFileBytes(folder + L"\\uninst.dat", ToCp932(L"1\n" + folder + L"\\セーブ\n")));
}

void RemoveStagedFiles() {
    for (const wchar_t* name : kStagedFiles) {
        std::wstring path = TempFolderPath() + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

class StagingTest : public ::testing::Test {
protected:
    void TearDown() override { reaper_.EndAll(); }

    ui::Process Start(const std::wstring& program, const std::wstring& arguments) {
        ui::Process process = ui::StartProgram(program, arguments);
        EXPECT_TRUE(process) << "could not start " << testing::PrintToString(program);
        reaper_.Add(process.id);
        return process;
    }

    // Reads the next error box of the process, presses OK and waits until it has gone.
    std::wstring AnswerErrorBox(const ui::Process& process) {
        HWND box = ui::WaitForMessageBox(kErrorTitle, ui::kDefaultTimeout, process.id);
        if (!box) return L"<no message box>";
        std::wstring text = ui::MessageBoxText(box);
        EXPECT_TRUE(ui::ClickButton(box, IDOK));
        EXPECT_TRUE(ui::WaitUntilGone(box));
        return text;
    }

    DWORD ExitCode(const ui::Process& process) {
        DWORD code = 0xDEAD;
        EXPECT_TRUE(ui::WaitForExit(process, ui::kDefaultTimeout, &code)) << "the process did not end";
        return code;
    }

    // Runs the program to its end as the staging process and returns the working copy it started,
    // which the test's reaper ends afterwards.
    DWORD StageFrom(const std::wstring& program, const std::wstring& arguments) {
        ui::Process staging = Start(program, arguments);
        if (!staging) return 0;
        EXPECT_EQ(ExitCode(staging), 0u);
        DWORD copy = ui::WaitForChildProcess(staging.id);
        reaper_.Add(copy);
        return copy;
    }

    ui::ProcessReaper reaper_;
};

}  // namespace

TEST_F(StagingTest, UninstallerSwitchesAreRefusedWithTheirExitCodes) {
    const struct {
        const wchar_t* argument;
        DWORD exitCode;
    } cases[] = {{L"/luninst1", 0}, {L"/luninst2", 1}};
    for (const auto& refused : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(refused.argument)));
        ui::Process installer = Start(BuiltInstaller(), refused.argument);
        ASSERT_TRUE(installer);
        HWND box = ui::WaitForMessageBox(kErrorTitle, ui::kDefaultTimeout, installer.id);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr) << "the box has no owner";
        EXPECT_EQ(ui::MessageBoxText(box), kMixedUp);
        ASSERT_TRUE(ui::ClickButton(box, IDOK));
        EXPECT_EQ(ExitCode(installer), refused.exitCode);
        EXPECT_TRUE(ui::ChildProcessIds(installer.id).empty()) << "nothing is started";
    }
}

TEST_F(StagingTest, StagingCopiesTheFourFilesOverOlderOnesAndRelaunchesWithTheDiscFolder) {
    const std::wstring temp = TempFolderPath();
    const std::wstring disc = L"T:\\staging\\disc one";  // a blank, passed on unquoted
    ASSERT_NO_FATAL_FAILURE(MakeDisc(disc));
    RemoveStagedFiles();
    ASSERT_TRUE(WriteFileBytes(temp + L"setup.ini", "[INSTALLER]\r\nCompany=Older\r\n"));
    ASSERT_TRUE(WriteFileBytes(temp + L"uninst.dat", "older"));

    // A trailing blank makes it no refusal.
    DWORD copy = StageFrom(disc + L"\\installer.exe", L"/luninst1 ");
    ASSERT_NE(copy, 0u) << "the staging process started nothing";
    for (const wchar_t* name : kStagedFiles) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_EQ(FileBytes(temp + name), FileBytes(disc + L"\\" + name));
        EXPECT_EQ(GetFileAttributesW((temp + name).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }

    std::wstring commandLine = ui::ProcessCommandLine(copy);
    ASSERT_FALSE(commandLine.empty());
    EXPECT_EQ(ui::ArgumentText(commandLine), L"/lunch:" + disc);
    EXPECT_EQ(CompareStringOrdinal(commandLine.c_str(), -1, (L"\"" + temp + L"installer.exe\" /lunch:" + disc).c_str(),
                                   -1, TRUE),
              CSTR_EQUAL)
        << testing::PrintToString(commandLine);
    EXPECT_EQ(CompareStringOrdinal(ui::ProcessCurrentFolder(copy).c_str(), -1, temp.c_str(), -1, TRUE), CSTR_EQUAL)
        << "the copy starts in the temporary folder";

    // The copy runs in working mode: its window is the main dialog, not a message box.
    HWND window = ui::WaitForProcessWindow(copy);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(GetDlgItem(window, IDC_EXIT), nullptr) << testing::PrintToString(ui::WindowTitle(window));

    // The driver reaches into the other process's controls: typed text (Japanese included) reads
    // back, and a click on a check box turns its state over.
    const std::wstring typed = L"T:\\h1 typed\\フォルダ";
    EXPECT_TRUE(ui::TypeText(window, IDC_DESTINATION, typed));
    EXPECT_EQ(ui::ControlText(window, IDC_DESTINATION), typed);
    ui::ControlState before = ui::GetControlState(window, IDC_VERIFY_FILES);
    ASSERT_TRUE(before.exists && before.visible && before.enabled);
    ASSERT_TRUE(ui::ClickButton(window, IDC_VERIFY_FILES));
    DWORD start = GetTickCount();
    while (ui::GetControlState(window, IDC_VERIFY_FILES).checked == before.checked && GetTickCount() - start < 5000)
        Sleep(20);
    EXPECT_NE(ui::GetControlState(window, IDC_VERIFY_FILES).checked, before.checked);
    EXPECT_FALSE(ui::GetControlState(window, 4242).exists);

    // Started again from the disc while that copy runs: the running program file cannot be
    // replaced, which is reported, and the running copy is left alone.
    ui::Process again = Start(disc + L"\\installer.exe", L"");
    ASSERT_TRUE(again);
    EXPECT_EQ(AnswerErrorBox(again), kCopyFailed + temp + L"installer.exe");
    EXPECT_EQ(AnswerErrorBox(again), kStagingFailed);
    EXPECT_EQ(ExitCode(again), 1u);
    EXPECT_TRUE(ui::ChildProcessIds(again.id).empty());
    EXPECT_TRUE(IsWindow(window));
}

TEST_F(StagingTest, StartedFromADriveRootTheCopyGetsTheDriveLetterAndColonOnly) {
    const std::wstring disc = L"T:\\cd-m";  // the disc in drive M:
    ASSERT_NO_FATAL_FAILURE(MakeDisc(disc));
    RemoveStagedFiles();
    ASSERT_EQ(GetDriveTypeW(L"M:\\"), static_cast<UINT>(DRIVE_CDROM));

    // Capitals make it no refusal either.
    DWORD copy = StageFrom(L"M:\\installer.exe", L"/LUNINST1");
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(ui::ArgumentText(ui::ProcessCommandLine(copy)), L"/lunch:M:");
    EXPECT_EQ(FileBytes(TempFolderPath() + L"setup.ini"), FileBytes(disc + L"\\setup.ini"));
    reaper_.EndAll();
    RemoveTree(disc);
}

TEST_F(StagingTest, AMissingSetupLstStopsTheStagingAfterTheFilesBeforeIt) {
    const std::wstring temp = TempFolderPath();
    const std::wstring disc = L"T:\\staging\\no list";
    ASSERT_NO_FATAL_FAILURE(MakeDisc(disc, false));
    RemoveStagedFiles();

    ui::Process staging = Start(disc + L"\\installer.exe", L"");
    ASSERT_TRUE(staging);
    EXPECT_EQ(AnswerErrorBox(staging), kCopyFailed + temp + L"setup.lst");
    EXPECT_EQ(AnswerErrorBox(staging), kStagingFailed);
    EXPECT_EQ(ExitCode(staging), 1u);
    EXPECT_TRUE(ui::ChildProcessIds(staging.id).empty()) << "nothing is started";

    EXPECT_EQ(FileBytes(temp + L"installer.exe"), FileBytes(disc + L"\\installer.exe"));
    EXPECT_EQ(FileBytes(temp + L"setup.ini"), FileBytes(disc + L"\\setup.ini"));
    EXPECT_FALSE(FileExists(temp + L"setup.lst"));
    EXPECT_FALSE(FileExists(temp + L"uninst.dat")) << "staging stops at the first failure";
}

TEST_F(StagingTest, ASourceFolderTooLongForItsFieldIsRefusedAndTheLongestThatFitsIsTaken) {
    const std::wstring tooLong = L"T:\\" + std::wstring(257, L'a');  // 260 characters
    ui::Process refused = Start(BuiltInstaller(), L"/lunch:" + tooLong);
    ASSERT_TRUE(refused);
    EXPECT_EQ(AnswerErrorBox(refused), kSourceTooLong);
    EXPECT_EQ(ExitCode(refused), 1u);

    const std::wstring longest = tooLong.substr(0, 259);
    ui::Process accepted = Start(BuiltInstaller(), L"/lunch:" + longest);
    ASSERT_TRUE(accepted);
    HWND window = ui::WaitForProcessWindow(accepted.id);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(GetDlgItem(window, IDC_EXIT), nullptr)
        << "the main dialog opens: " << testing::PrintToString(ui::WindowTitle(window));
    DWORD code = 0;
    EXPECT_FALSE(ui::WaitForExit(accepted, 0, &code)) << "working mode runs until the user ends it";
}

TEST_F(StagingTest, TheDriverProgramRunsAndAnswersForScripts) {
    const std::wstring driver = FullPath(GetModuleFolder() + L"\\..\\tools\\driver\\driver.exe");
    ASSERT_TRUE(FileExists(driver));

    // "run" waits for the program and passes its exit code on; "click" answers the box meanwhile.
    ui::Process run = Start(driver, L"run \"" + BuiltInstaller() + L"\" /luninst2");
    ASSERT_TRUE(run);
    DWORD installer = ui::WaitForChildProcess(run.id);
    ASSERT_NE(installer, 0u);
    reaper_.Add(installer);
    ASSERT_NE(ui::WaitForMessageBox(kErrorTitle, ui::kDefaultTimeout, installer), nullptr);
    EXPECT_EQ(ui::ArgumentText(ui::ProcessCommandLine(installer)), L"/luninst2");

    // "msgbox" prints the box's text as UTF-8 for the script reading it.
    const std::wstring printed = L"T:\\staging\\msgbox.txt";
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        FileHandle output(CreateFileW(printed.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(output);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
        std::wstring commandLine = L"\"" + driver + L"\" msgbox \"エラー\" 10";
        PROCESS_INFORMATION started = {};
        ASSERT_TRUE(CreateProcessW(driver.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &started));
        ui::Process msgbox;
        msgbox.handle.reset(started.hProcess);
        msgbox.id = started.dwProcessId;
        ObjectHandle thread(started.hThread);
        EXPECT_EQ(ExitCode(msgbox), 0u);
    }
    std::string expected = "\n";
    expected.insert(0, reinterpret_cast<const char*>(u8"インストーラとアンインストーラの取り違いです。"));
    EXPECT_EQ(FileBytes(printed), expected);

    ui::Process click = Start(driver, L"click \"エラー\" 1");
    ASSERT_TRUE(click);
    EXPECT_EQ(ExitCode(click), 0u);
    EXPECT_EQ(ExitCode(run), 1u) << "the installer's own exit code";

    ui::Process missing = Start(driver, L"wait \"no such window h1\" 0");
    ASSERT_TRUE(missing);
    EXPECT_EQ(ExitCode(missing), 1u);
}
