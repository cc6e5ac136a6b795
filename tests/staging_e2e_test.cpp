// The real installer.exe (the shipped i686 build where the machine runs 32-bit code) under Wine,
// answered by the driver:
// the refused switches, staging into a private folder inside the temporary folder and the
// relaunch from there, the one working instance, and the failures. Every process a test starts
// is ended before the next test, so no working instance outlives its test.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/module.h"
#include "resources/resource_ids.h"
#include "startup/private_folder.h"
#include "support/e2e_journey.h"
#include "support/private_folder_checks.h"
#include "support/registry_values.h"
#include "support/test_files.h"
#include "ui_driver.h"

namespace {

const wchar_t kErrorTitle[] = L"エラー";
const wchar_t kMixedUp[] = L"インストーラとアンインストーラの取り違いです。";
const std::wstring kCopyFailed =
    L"コピーできませんでした。\n次のコピー先ファイルが起動中か読み取り専用になっている可能性があります。\n";
const wchar_t kStagingFailed[] =
    L"インストールに失敗しました。\nTempフォルダへインストーラをコピーすることができませんでした。";
const wchar_t kSourceTooLong[] = L"インストール元フォルダのパスが長すぎます。";
const wchar_t* const kStagedFiles[] = {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"};

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

std::wstring BuiltInstaller() { return journey::BuiltInstaller(); }

// The system's temporary folder, where only administrators may rename or delete what another made,
// as the system's own environment names it; never the user's temporary folder.
std::wstring TempFolderPath() {
    wchar_t systemRoot[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH);
    EXPECT_TRUE(length > 0 && length < MAX_PATH);
    return std::wstring(systemRoot) + L"\\Temp\\";
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
    ASSERT_TRUE(
        WriteFileBytes(folder + L"\\setup.ini", ToCp932(L"[INSTALLER]\r\nCompany=H1 Staging\r\nAppName=段階試験 " +
                                                        folder + L"\r\nInstFolder=段階試験\r\nAppExe=game.exe\r\n")));
    if (withSetupLst) {
        ASSERT_TRUE(WriteFileBytes(folder + L"\\setup.lst", ToCp932(L"1,game.exe,4,0\n")));
    }
    ASSERT_TRUE(WriteFileBytes(folder + L"\\uninst.dat", ToCp932(L"1\n" + folder + L"\\セーブ\n")));
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The private folders in the temporary folder, sorted.
std::vector<std::wstring> PrivateFolders() {
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((TempFolderPath() + L"*").c_str(), &found));
    if (!search) return folders;
    do {
        std::wstring path = TempFolderPath() + found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsPrivateFolder(path, TempFolderPath()))
            folders.push_back(path);
    } while (FindNextFileW(search.get(), &found));
    std::sort(folders.begin(), folders.end());
    return folders;
}

std::vector<std::wstring> FoldersAddedSince(const std::vector<std::wstring>& before) {
    std::vector<std::wstring> added;
    for (const std::wstring& folder : PrivateFolders())
        if (std::find(before.begin(), before.end(), folder) == before.end()) added.push_back(folder);
    return added;
}

// The program file another process runs.
std::wstring ProcessImage(DWORD processId) {
    ObjectHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t image[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, image, &length)) return L"<unknown>";
    return image;
}

// The removals and renames the system carries out at its next start, as stored: source and target
// alternate, an empty target meaning removal.
std::vector<std::wstring> PendingFileRenameOperations() {
    StoredValue value = ReadStoredValue(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                                        L"PendingFileRenameOperations");
    std::vector<std::wstring> entries;
    if (!value.present || value.type != REG_MULTI_SZ) return entries;
    std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
    size_t begin = 0;
    for (size_t end; (end = text.find(L'\0', begin)) != std::wstring::npos; begin = end + 1)
        entries.push_back(text.substr(begin, end - begin));
    // The list ends with an empty string after the last pair.
    if (entries.size() % 2 == 1 && entries.back().empty()) entries.pop_back();
    return entries;
}

// A top-level window of this process that holds the foreground, so a test can see it taken away.
class ForegroundProbe {
public:
    ForegroundProbe()
        : window_(CreateWindowExW(0, L"STATIC", L"h1 foreground probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                  100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr)) {
        SetForegroundWindow(window_);
        Pump();
    }
    ~ForegroundProbe() { DestroyWindow(window_); }
    ForegroundProbe(const ForegroundProbe&) = delete;
    ForegroundProbe& operator=(const ForegroundProbe&) = delete;

    HWND window() const { return window_; }
    // Answers the messages that activation sends to this thread's window.
    static void Pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }

private:
    HWND window_;
};

class StagingTest : public ::testing::Test {
protected:
    // The first window of a session makes the system start its desktop process, as a child of
    // the process that asked; asking here keeps it from passing for something the installer started.
    static void SetUpTestSuite() { GetDesktopWindow(); }
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
        EXPECT_TRUE(ui::ChildProcessIds(installer).empty()) << "nothing is started";
    }
}

TEST_F(StagingTest, EachStagingFillsAFreshPrivateFolderInTheSystemTemporaryFolderFromWhichTheOnlyWorkingInstanceRuns) {
    const std::wstring temp = TempFolderPath();
    const std::wstring disc = L"T:\\staging\\disc one";  // a blank, passed on unquoted
    ASSERT_NO_FATAL_FAILURE(MakeDisc(disc));
    // What any program of the user may leave in the temporary folder beforehand: a read-only
    // installer.exe of its own and a setup.ini for another game.
    for (const wchar_t* name : kStagedFiles) {
        SetFileAttributesW((temp + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((temp + name).c_str());
    }
    ASSERT_TRUE(CopyFileW(BuiltInstaller().c_str(), (temp + L"installer.exe").c_str(), FALSE));
    ASSERT_TRUE(SetFileAttributesW((temp + L"installer.exe").c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string plantedIni = ToCp932(L"[INSTALLER]\r\nAppName=偽物\r\n");
    ASSERT_TRUE(WriteFileBytes(temp + L"setup.ini", plantedIni));
    const std::vector<std::wstring> before = PrivateFolders();

    // A trailing blank makes it no refusal.
    DWORD copy = StageFrom(disc + L"\\installer.exe", L"/luninst1 ");
    ASSERT_NE(copy, 0u) << "the staging process started nothing";
    std::vector<std::wstring> added = FoldersAddedSince(before);
    ASSERT_EQ(added.size(), 1u);
    const std::wstring folder = added[0];
    for (const wchar_t* name : kStagedFiles) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_EQ(FileBytes(folder + L"\\" + name), FileBytes(disc + L"\\" + name));
        EXPECT_EQ(GetFileAttributesW((folder + L"\\" + name).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
    std::wstring probed;
    if (FolderDescriptorsAreKept(&probed)) {
        ExpectFolderForAdministratorsAndSystemOnly(folder);
    } else {
        // The descriptor the folder is created with is checked in startup_test.
        std::cout << "note: this system does not keep folder descriptors; it reads back "
                  << testing::PrintToString(probed) << "\n";
    }
    EXPECT_EQ(FileBytes(temp + L"installer.exe"), FileBytes(BuiltInstaller()));
    EXPECT_NE(GetFileAttributesW((temp + L"installer.exe").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(FileBytes(temp + L"setup.ini"), plantedIni);

    // The copy is the program in the private folder, started there with the disc's folder.
    EXPECT_TRUE(SamePath(ProcessImage(copy), folder + L"\\installer.exe"))
        << testing::PrintToString(ProcessImage(copy));
    std::wstring commandLine = ui::ProcessCommandLine(copy);
    EXPECT_EQ(ui::ArgumentText(commandLine), L"/lunch:" + disc);
    EXPECT_TRUE(SamePath(commandLine, L"\"" + folder + L"\\installer.exe\" /lunch:" + disc))
        << testing::PrintToString(commandLine);
    EXPECT_TRUE(SamePath(ui::ProcessCurrentFolder(copy), folder + L"\\"));

    // It runs in working mode with the game named by the setup.ini beside it.
    HWND window = ui::WaitForProcessWindow(copy);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(GetDlgItem(window, IDC_EXIT), nullptr) << testing::PrintToString(ui::WindowTitle(window));
    EXPECT_EQ(ui::WindowTitle(window), L"段階試験 " + disc + L" インストーラ");

    // The driver reaches into the other process's controls: typed text (Japanese included) reads
    // back, and a click on a check box turns its state over.
    const std::wstring typed = L"T:\\h1 typed\\フォルダ";
    EXPECT_TRUE(ui::TypeText(window, IDC_DESTINATION, typed));
    EXPECT_EQ(ui::ControlText(window, IDC_DESTINATION), typed);
    ui::ControlState checkBox = ui::GetControlState(window, IDC_VERIFY_FILES);
    ASSERT_TRUE(checkBox.exists && checkBox.visible && checkBox.enabled);
    ASSERT_TRUE(ui::ClickButton(window, IDC_VERIFY_FILES));
    DWORD start = GetTickCount();
    while (ui::GetControlState(window, IDC_VERIFY_FILES).checked == checkBox.checked && GetTickCount() - start < 5000)
        Sleep(20);
    EXPECT_NE(ui::GetControlState(window, IDC_VERIFY_FILES).checked, checkBox.checked);
    EXPECT_FALSE(ui::GetControlState(window, 4242).exists);

    // Started again from the disc while that copy runs: the copy comes to the front, nothing is
    // shown or staged, and the start ends with 1.
    {
        ForegroundProbe probe;
        ASSERT_EQ(GetForegroundWindow(), probe.window()) << "the test must hold the foreground first";
        ui::Process again = Start(disc + L"\\installer.exe", L"");
        ASSERT_TRUE(again);
        DWORD code = 0xDEAD;
        start = GetTickCount();
        while (!ui::WaitForExit(again, 50, &code) && GetTickCount() - start < ui::kDefaultTimeout)
            ForegroundProbe::Pump();
        EXPECT_EQ(code, 1u);
        ForegroundProbe::Pump();
        EXPECT_EQ(GetForegroundWindow(), window);
        EXPECT_TRUE(ui::ChildProcessIds(again).empty());
        EXPECT_TRUE(FoldersAddedSince(before) == added) << "no second folder";
    }
    // A working mode started directly meanwhile does not open a second main dialog either.
    ui::Process direct = Start(BuiltInstaller(), L"/lunch:" + disc);
    ASSERT_TRUE(direct);
    EXPECT_EQ(ExitCode(direct), 1u);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(ui::ControlText(window, IDC_DESTINATION), typed) << "the running copy is left as it was";

    // Ended by the player, the copy leaves its folder to be removed at the next restart, files
    // first; it cannot remove its own program file before that.
    ui::Process copyProcess = ui::OpenRunningProcess(copy);
    ASSERT_TRUE(copyProcess);
    ASSERT_TRUE(ui::ClickButton(window, IDC_EXIT));
    HWND confirm = ui::WaitForMessageBox(L"確認", ui::kDefaultTimeout, copy);
    ASSERT_NE(confirm, nullptr);
    ASSERT_TRUE(ui::ClickButton(confirm, IDOK));
    EXPECT_EQ(ExitCode(copyProcess), 0u);
    std::vector<std::wstring> pending = PendingFileRenameOperations();
    std::vector<std::wstring> expected;
    for (const wchar_t* name : kStagedFiles) expected.insert(expected.end(), {L"\\??\\" + folder + L"\\" + name, L""});
    expected.insert(expected.end(), {L"\\??\\" + folder, L""});
    ASSERT_GE(pending.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(SamePath(pending[pending.size() - expected.size() + i], expected[i])) << i;
    EXPECT_TRUE(FolderExists(folder));

    // The next staging removes that folder at once, as nothing holds it any more, and draws a
    // folder of its own.
    copy = StageFrom(disc + L"\\installer.exe", L"");
    ASSERT_NE(copy, 0u);
    EXPECT_FALSE(FolderExists(folder));
    added = FoldersAddedSince(before);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_NE(added[0], folder);
    EXPECT_TRUE(SamePath(ProcessImage(copy), added[0] + L"\\installer.exe"));
}

TEST_F(StagingTest, StartedFromADriveRootTheCopyGetsTheDriveLetterAndColonOnly) {
    const std::wstring disc = L"T:\\cd-m";  // the disc in drive M:
    ASSERT_NO_FATAL_FAILURE(MakeDisc(disc));
    ASSERT_EQ(GetDriveTypeW(L"M:\\"), static_cast<UINT>(DRIVE_CDROM));

    // Capitals make it no refusal either.
    DWORD copy = StageFrom(L"M:\\installer.exe", L"/LUNINST1");
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(ui::ArgumentText(ui::ProcessCommandLine(copy)), L"/lunch:M:");
    std::wstring image = ProcessImage(copy);
    EXPECT_EQ(FileBytes(image.substr(0, image.find_last_of(L'\\')) + L"\\setup.ini"), FileBytes(disc + L"\\setup.ini"));
    reaper_.EndAll();
    RemoveTree(disc);
}

TEST_F(StagingTest, AStagingThatFailsPartWayLeavesNoPrivateFolderBehind) {
    const std::wstring temp = TempFolderPath();
    const std::wstring disc = L"T:\\staging\\no list";
    ASSERT_NO_FATAL_FAILURE(MakeDisc(disc, false));
    const std::vector<std::wstring> before = PrivateFolders();

    ui::Process staging = Start(disc + L"\\installer.exe", L"");
    ASSERT_TRUE(staging);
    // The box names the target in the private folder, which exists while the box shows.
    std::wstring text = AnswerErrorBox(staging);
    const std::wstring prefix = kCopyFailed + temp;
    const std::wstring suffix = L"\\setup.lst";
    ASSERT_GT(text.size(), prefix.size() + suffix.size()) << testing::PrintToString(text);
    EXPECT_TRUE(SamePath(text.substr(0, prefix.size()), prefix)) << testing::PrintToString(text);
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    const std::wstring folder = text.substr(kCopyFailed.size(), text.size() - kCopyFailed.size() - suffix.size());
    EXPECT_TRUE(IsPrivateFolder(folder, temp)) << testing::PrintToString(folder);

    EXPECT_EQ(AnswerErrorBox(staging), kStagingFailed);
    EXPECT_EQ(ExitCode(staging), 1u);
    EXPECT_TRUE(ui::ChildProcessIds(staging).empty()) << "nothing is started";
    EXPECT_FALSE(FolderExists(folder)) << "installer.exe and setup.ini went with their folder";
    EXPECT_TRUE(FoldersAddedSince(before).empty());
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
    const std::wstring driver = FullPath(GetModuleFolder() + L"\\driver\\driver.exe");
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
        ASSERT_TRUE(CreateProcessW(driver.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &started));
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
