// setup.ini reading and the start-up helpers, against the real profile functions. The program
// runs twice (tests/startup.cmake): under ANSI code page 932 and under 1252, because the profile
// functions decode file paths and values with the process's ANSI code page.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/code_page.h"
#include "base/handles.h"
#include "base/module.h"
#include "records/settings.h"
#include "startup/entry.h"
#include "startup/private_folder.h"
#include "support/private_folder_checks.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "ui_driver.h"

namespace {

const wchar_t kDefaultCompany[] = L"Company";
const wchar_t kDefaultPublisher[] = L"Publisher";
const wchar_t kDefaultUrl[] = L"URLInfoAbout";
const wchar_t kDefaultAppName[] = L"ゲーム";
const wchar_t kDefaultInstFolder[] = L"ゲーム";
const wchar_t kDefaultAppExe[] = L"non.exe";

// A code page that no system provides, standing for an ANSI code page in which no form of a
// path survives (a volume without short names, for example).
constexpr UINT kUnusableCodePage = 12345;

// What the tests read setup.ini into and hand to the entry, as the program's wWinMain does.
InstallSettings settings{};

std::string IniBytes(const std::wstring& lines) { return ToCp932(L"[INSTALLER]\r\n" + lines); }

// Leaves something in every field, so a test sees that loading really replaces it.
void FillWithLeftovers() {
    for (wchar_t* field : {settings.Company, settings.Publisher, settings.URLInfoAbout, settings.AppName,
                           settings.InstFolder, settings.AppExe})
        wcscpy(field, L"leftover");
}

void ExpectSettings(const wchar_t* company, const wchar_t* publisher, const wchar_t* url, const wchar_t* appName,
                    const wchar_t* instFolder, const wchar_t* appExe) {
    EXPECT_STREQ(settings.Company, company);
    EXPECT_STREQ(settings.Publisher, publisher);
    EXPECT_STREQ(settings.URLInfoAbout, url);
    EXPECT_STREQ(settings.AppName, appName);
    EXPECT_STREQ(settings.InstFolder, instFolder);
    EXPECT_STREQ(settings.AppExe, appExe);
}

void ExpectAllDefaults() {
    ExpectSettings(kDefaultCompany, kDefaultPublisher, kDefaultUrl, kDefaultAppName, kDefaultInstFolder,
                   kDefaultAppExe);
}

std::wstring TempPath() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

void ExpectErrorBox(const ShownMessage& shown, const std::wstring& text) {
    EXPECT_EQ(shown.owner, nullptr) << "no window exists yet to own it";
    EXPECT_EQ(shown.title, L"エラー");
    EXPECT_EQ(shown.style, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(shown.text, text);
}

// Runs the entry in working mode on this thread and ends its modal dialog from another as soon
// as the window shows. Returns the entry's result; *shown tells whether the dialog appeared.
int RunWorkingModeUntilShown(const std::wstring& arguments, bool* shown) {
    const DWORD entryThread = GetCurrentThreadId();
    std::atomic<bool> appeared{false};
    std::thread closer([&] {
        appeared = ui::WaitForProcessWindow(GetCurrentProcessId()) != nullptr;
        PostThreadMessageW(entryThread, WM_QUIT, 0, 0);
    });
    int result = RunInstaller(GetModuleHandleW(nullptr), arguments.c_str(), &settings);
    closer.join();
    // The dialog loop passes the quit message on; it must not end the next test's loop.
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    *shown = appeared;
    return result;
}

const wchar_t* const kStagedNames[] = {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"};

std::wstring Repeat(const std::wstring& text, size_t times) {
    std::wstring result;
    for (size_t i = 0; i < times; ++i) result += text;
    return result;
}

}  // namespace

TEST(StartupEnvironment, RunsUnderTheAnsiCodePageItsTestEntryAsksFor) {
    char expected[16] = {};
    DWORD length = GetEnvironmentVariableA("STARTUP_EXPECTED_ACP", expected, sizeof(expected));
    ASSERT_GT(length, 0u) << "the test entry must say which ANSI code page this run is for";
    EXPECT_EQ(GetACP(), std::strtoul(expected, nullptr, 10));
}

TEST(InstallerConfig, MissingFileSectionOrKeysGiveTheDefaultsAndAnEmptyValueStaysEmpty) {
    ScriptedInteraction screen;
    TempFolder folder(L"ini");

    FillWithLeftovers();
    EXPECT_TRUE(LoadInstallerConfigFrom(nullptr, folder / L"setup.ini", GetACP(), &settings));
    ExpectAllDefaults();

    ASSERT_TRUE(WriteFileBytes(folder / L"setup.ini", "[OTHER]\r\nCompany=Elsewhere\r\nAppExe=other.exe\r\n"));
    FillWithLeftovers();
    EXPECT_TRUE(LoadInstallerConfigFrom(nullptr, folder / L"setup.ini", GetACP(), &settings));
    ExpectAllDefaults();

    ASSERT_TRUE(WriteFileBytes(folder / L"setup.ini", IniBytes(L"Company=H1 Works\r\nAppExe=\r\nInstFolder=\r\n")));
    FillWithLeftovers();
    EXPECT_TRUE(LoadInstallerConfigFrom(nullptr, folder / L"setup.ini", GetACP(), &settings));
    EXPECT_STREQ(settings.Company, L"H1 Works");
    EXPECT_STREQ(settings.AppExe, L"") << "a present, empty AppExe is not replaced by non.exe";
    EXPECT_STREQ(settings.InstFolder, L"");
    EXPECT_STREQ(settings.Publisher, kDefaultPublisher);
    EXPECT_STREQ(settings.URLInfoAbout, kDefaultUrl);
    EXPECT_STREQ(settings.AppName, kDefaultAppName);

    EXPECT_TRUE(screen.Messages().empty()) << "defaults apply silently";
}

TEST(InstallerConfig, JapaneseValuesInCodePage932ArriveIntact) {
    ScriptedInteraction screen;
    TempFolder folder(L"ini");
    // ソ and 表 end in the byte of a backslash; ｹﾞｰﾑ is half-width (single bytes above 0xA0).
    const std::wstring company = L"株式会社ソフト表現";
    const std::wstring publisher = L"出版 ﾊﾟﾌﾞﾘｯｼｬｰ";
    const std::wstring url = L"https://example.jp/サポート/";
    const std::wstring appName = L"ゲーム名～第二章①";
    const std::wstring instFolder = L"ゲーム\\能力";
    const std::wstring appExe = L"起動.exe";
    ASSERT_TRUE(WriteFileBytes(
        folder / L"setup.ini",
        IniBytes(L"Company=" + company + L"\r\nPublisher=" + publisher + L"\r\nURLInfoAbout=" + url + L"\r\nAppName=" +
                 appName + L"\r\nInstFolder=" + instFolder + L"\r\nAppExe=" + appExe + L"\r\n")));

    FillWithLeftovers();
    EXPECT_TRUE(LoadInstallerConfigFrom(nullptr, folder / L"setup.ini", GetACP(), &settings));
    ExpectSettings(company.c_str(), publisher.c_str(), url.c_str(), appName.c_str(), instFolder.c_str(),
                   appExe.c_str());

    wchar_t field[kValueCapacity] = L"leftover";
    ReadInstallerValue(L"Missing", L"既定値", field, (folder / L"setup.ini").c_str());
    EXPECT_STREQ(field, L"既定値") << "a Japanese default passes through the profile functions unchanged";
}

TEST(InstallerConfig, LongValuesAreCutAt255BytesAndACutLeadByteIsNotRejected) {
    TempFolder folder(L"ini");
    const std::wstring hiragana = L"あ";  // two bytes in code page 932
    // One ASCII byte first, so that byte 255 ends a double-byte character exactly.
    const std::wstring even = L"a" + Repeat(hiragana, 149) + L"b";  // 300 bytes
    const std::wstring halved = Repeat(hiragana, 150);              // 300 bytes, byte 255 is a lead byte
    const std::wstring ascii = Repeat(L"0123456789", 30);           // 300 bytes
    ASSERT_EQ(ToCp932(even).size(), 300u);
    ASSERT_TRUE(WriteFileBytes(folder / L"setup.ini",
                               IniBytes(L"Even=" + even + L"\r\nHalved=" + halved + L"\r\nAscii=" + ascii + L"\r\n")));
    const std::wstring path = folder / L"setup.ini";

    wchar_t field[kValueCapacity] = {};
    ReadInstallerValue(L"Ascii", L"default", field, path.c_str());
    EXPECT_EQ(std::wstring(field), ascii.substr(0, 255));

    ReadInstallerValue(L"Even", L"default", field, path.c_str());
    EXPECT_EQ(std::wstring(field), L"a" + Repeat(hiragana, 127));

    ReadInstallerValue(L"Halved", L"default", field, path.c_str());
    std::wstring value = field;
    ASSERT_GE(value.size(), 127u) << "the whole characters before the cut arrive";
    EXPECT_EQ(value.substr(0, 127), Repeat(hiragana, 127));
    // Under code page 1252 the profile functions hand over all 255 bytes, the last a lone lead
    // byte, which becomes one replacement character; under 932 they stop before the halved character.
    if (GetACP() == 932) {
        EXPECT_EQ(value.size(), 127u);
    } else {
        ASSERT_EQ(value.size(), 128u);
        EXPECT_NE(value[127], hiragana[0]);
    }

    std::wstring lone = CodePage932ToWide("\x82\xa0\x82");
    ASSERT_EQ(lone.size(), 2u) << "a lone lead byte at the end is converted, not rejected";
    EXPECT_EQ(lone[0], hiragana[0]);
}

TEST(InstallerConfig, FoldersNamedOutsideTheAnsiCodePageStillReadTheirValues) {
    ScriptedInteraction screen;
    // Hangul is outside code page 932 (and 1252); Japanese is outside 1252 only.
    for (const wchar_t* prefix : {L"한국어", L"日本語フォルダ"}) {
        TempFolder folder(prefix);
        ASSERT_TRUE(FolderExists(folder.path()));
        const std::wstring path = folder / L"setup.ini";
        ASSERT_TRUE(WriteFileBytes(path, IniBytes(L"Company=H1 Soft\r\nAppName=冒険ゲーム\r\nAppExe=play.exe\r\n")));

        std::string narrow = AnsiProfilePath(path, GetACP());
        ASSERT_FALSE(narrow.empty()) << "a short form exists for the staged file";
        EXPECT_EQ(CodePageToWide(GetACP(), narrow, nullptr).find(L'~') != std::wstring::npos,
                  GetACP() != 932 || std::wstring(prefix) == L"한국어")
            << "the long path is kept where it survives, else the short form is used";

        FillWithLeftovers();
        EXPECT_TRUE(LoadInstallerConfigFrom(nullptr, path, GetACP(), &settings));
        EXPECT_STREQ(settings.Company, L"H1 Soft");
        EXPECT_STREQ(settings.AppName, L"冒険ゲーム");
        EXPECT_STREQ(settings.AppExe, L"play.exe");
        EXPECT_STREQ(settings.Publisher, kDefaultPublisher);

        // No file there: a path that needed the short form has none now, and either way the
        // defaults apply silently.
        DeleteFileW(path.c_str());
        if (std::wstring(prefix) == L"한국어") {
            EXPECT_TRUE(AnsiProfilePath(path, GetACP()).empty());
        }
        FillWithLeftovers();
        EXPECT_TRUE(LoadInstallerConfigFrom(nullptr, path, GetACP(), &settings));
        ExpectAllDefaults();
    }
    EXPECT_TRUE(screen.Messages().empty());
}

TEST(InstallerConfig, AFileThatNoPathFormReachesIsReportedInsteadOfReadAsDefaults) {
    ScriptedInteraction screen;
    TempFolder folder(L"한국어");
    const std::wstring path = folder / L"setup.ini";
    ASSERT_TRUE(WriteFileBytes(path, IniBytes(L"Company=H1 Soft\r\nAppName=冒険ゲーム\r\n")));
    EXPECT_TRUE(AnsiProfilePath(path, kUnusableCodePage).empty());

    HWND owner = GetDesktopWindow();
    FillWithLeftovers();
    EXPECT_FALSE(LoadInstallerConfigFrom(owner, path, kUnusableCodePage, &settings));
    ExpectAllDefaults();
    std::vector<ShownMessage> shown = screen.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].owner, owner);
    EXPECT_EQ(shown[0].title, L"エラー");
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_ICONERROR));
    EXPECT_NE(shown[0].text.find(path), std::wstring::npos) << "the message names the file";
    EXPECT_NE(shown[0].text.find(L"読み込めませんでした"), std::wstring::npos);
}

TEST(StartupHelpers, SetupIniPathIsBesideTheProgram) {
    EXPECT_EQ(GetSetupIniPath(), GetModuleFolder() + L"\\setup.ini");
}

TEST(StartupHelpers, ClearingTheSettingsKeepsSourceFolderAndInstalled) {
    FillWithLeftovers();
    wcscpy(settings.InstallPath, L"C:\\Games\\H1\\");
    settings.DesktopShortcut = 1;
    settings.VerifyFiles = 1;
    settings.IsVistaOrLater = 1;
    wcscpy(settings.SourceFolder, L"M:");
    settings.Installed = 1;

    ClearInstallSettings(&settings);
    for (const wchar_t* field : {settings.Company, settings.Publisher, settings.URLInfoAbout, settings.AppName,
                                 settings.InstFolder, settings.InstallPath, settings.AppExe})
        EXPECT_STREQ(field, L"");
    EXPECT_EQ(settings.DesktopShortcut, 0);
    EXPECT_EQ(settings.VerifyFiles, 0);
    EXPECT_EQ(settings.IsVistaOrLater, 0);
    EXPECT_STREQ(settings.SourceFolder, L"M:");
    EXPECT_EQ(settings.Installed, 1);
}

TEST(StartupHelpers, HardeningLeavesOnlyTheSystemFolderInTheDllSearch) {
    // app_folder_probe.dll lies only beside this program (built by tests/startup.cmake).
    ASSERT_TRUE(FileExists(GetModuleFolder() + L"\\app_folder_probe.dll"));
    HMODULE probe = LoadLibraryW(L"app_folder_probe.dll");
    ASSERT_NE(probe, nullptr) << "before hardening the program's folder is searched";
    FreeLibrary(probe);
    ASSERT_EQ(GetModuleHandleW(L"app_folder_probe.dll"), nullptr);
    ASSERT_TRUE(SetDllDirectoryW(GetModuleFolder().c_str()));

    HardenDllSearch();
    EXPECT_EQ(LoadLibraryW(L"app_folder_probe.dll"), nullptr) << "only the system folder is searched";
    wchar_t directory[MAX_PATH] = L"x";
    EXPECT_EQ(GetDllDirectoryW(MAX_PATH, directory), 0u);
    EXPECT_STREQ(directory, L"") << "the extra DLL folder is gone";
    EXPECT_NE(LoadLibraryW(L"shlwapi.dll"), nullptr) << "system DLLs still load";
}

TEST(RunModes, UninstallerSwitchesAreRefusedAfterTheLocaleAndInstanceAreSet) {
    ScriptedInteraction screen;
    instanceHandle = nullptr;
    _wsetlocale(LC_ALL, L"C");
    EXPECT_EQ(RunInstaller(GetModuleHandleW(nullptr), L"/luninst1", &settings), 0);
    EXPECT_EQ(RunInstaller(GetModuleHandleW(nullptr), L"/luninst2", &settings), 1);
    EXPECT_EQ(instanceHandle, GetModuleHandleW(nullptr));
    const wchar_t* locale = _wsetlocale(LC_ALL, nullptr);
    ASSERT_NE(locale, nullptr);
    EXPECT_STREQ(locale, L"Japanese_Japan.932");

    std::vector<ShownMessage> shown = screen.Messages();
    ASSERT_EQ(shown.size(), 2u);
    for (const ShownMessage& message : shown)
        ExpectErrorBox(message, L"インストーラとアンインストーラの取り違いです。");
}

TEST(RunModes, WorkingModeTakesTheWholeRestAsSourceFolderAndRefusesOneThatDoesNotFit) {
    ScriptedInteraction screen;
    const std::wstring tooLong = L"T:\\" + std::wstring(257, L'a');  // 260 characters
    wcscpy(settings.SourceFolder, L"M:");
    EXPECT_EQ(RunInstaller(GetModuleHandleW(nullptr), (L"/lunch:" + tooLong).c_str(), &settings), 1);
    std::vector<ShownMessage> shown = screen.Messages();
    ASSERT_EQ(shown.size(), 1u);
    ExpectErrorBox(shown[0], L"インストール元フォルダのパスが長すぎます。");
    EXPECT_EQ(std::wstring(settings.SourceFolder).size(), 0u) << "nothing of the over-long text is kept";

    // Blanks (also leading and trailing) and quotes are kept as they stand; an empty rest is an
    // empty source folder. (Each dialog run costs about two seconds under Wine: its loop is slow
    // to notice the quit message.)
    for (const std::wstring& folder : {std::wstring(L" T:\\h1 \"disc\"  two blanks "), std::wstring()}) {
        SCOPED_TRACE(testing::PrintToString(folder));
        bool dialogShown = false;
        EXPECT_EQ(RunWorkingModeUntilShown(L"/lunch:" + folder, &dialogShown), 0);
        EXPECT_TRUE(dialogShown);
        EXPECT_EQ(settings.SourceFolder, folder);
    }
}

TEST(Staging, CopyToTempFolderNeverOverwritesResetsAttributesAndNamesTheTargetWhenItFails) {
    ScriptedInteraction screen;
    TempFolder folder(L"stage");
    const std::wstring name = L"h1_staged_probe.dat";
    const std::wstring source = GetModuleFolder() + L"\\" + name;
    ASSERT_TRUE(WriteFileBytes(source, "from the disc"));
    ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

    EXPECT_TRUE(CopyToTempFolder(folder.path(), name.c_str()));
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(folder / name, &bytes));
    EXPECT_EQ(bytes, "from the disc");
    EXPECT_EQ(GetFileAttributesW((folder / name).c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
    EXPECT_TRUE(screen.Messages().empty());

    // A file already there is left as it is, whoever put it there.
    ASSERT_TRUE(WriteFileBytes(folder / name, "planted"));
    EXPECT_FALSE(CopyToTempFolder(folder.path(), name.c_str()));
    EXPECT_TRUE(ReadFileBytes(folder / name, &bytes));
    EXPECT_EQ(bytes, "planted");
    SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveTree(source);

    EXPECT_FALSE(CopyToTempFolder(folder.path(), L"h1_not_on_the_disc.dat"));
    std::vector<ShownMessage> shown = screen.Messages();
    ASSERT_EQ(shown.size(), 2u);
    const std::wstring copyFailed =
        L"コピーできませんでした。\n次のコピー先ファイルが起動中か読み取り専用になっている可能性があります。\n";
    ExpectErrorBox(shown[0], copyFailed + (folder / name));
    ExpectErrorBox(shown[1], copyFailed + (folder / L"h1_not_on_the_disc.dat"));
}

namespace {

// Stands in for the random source, to hand out a name that is taken.
std::vector<std::wstring> drawnNames;
size_t namesDrawn = 0;
std::wstring DrawListedName() {
    if (namesDrawn < drawnNames.size()) return drawnNames[namesDrawn++];
    ++namesDrawn;
    return drawnNames.back();
}

}  // namespace

// Wine keeps no descriptor on a folder (staging_e2e_test shows what it reads back instead), so the
// descriptor is checked as the program hands it to the system.
TEST(PrivateFolder, GrantsAdministratorsAndSystemOnlyIsNeverATakenFolderAndCannotBeSwappedWhileHeld) {
    LocalMemory descriptor = BuildPrivateFolderSecurity();
    ASSERT_TRUE(descriptor);
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor.get()));
    ExpectAdministratorsAndSystemOnly(descriptor.get());

    const std::wstring temp = TempPath();
    const std::wstring taken = DrawPrivateFolderName();
    const std::wstring fresh = DrawPrivateFolderName();
    ASSERT_EQ(taken.size(), fresh.size());
    ASSERT_NE(taken, fresh) << "names come from the random source";
    ASSERT_TRUE(CreateDirectoryW((temp + taken).c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(temp + taken + L"\\installer.exe", "planted"));

    drawnNames = {taken, fresh};
    namesDrawn = 0;
    std::wstring folder;
    FileHandle held;
    ASSERT_TRUE(CreatePrivateFolder(temp, &folder, &held, DrawListedName));
    EXPECT_EQ(folder, temp + fresh);
    EXPECT_EQ(namesDrawn, 2u);
    EXPECT_TRUE(FolderExists(folder));
    EXPECT_TRUE(held);
    // While held, nobody can put another folder in its place.
    const std::wstring elsewhere = temp + L"h1-moved-" + fresh;
    EXPECT_FALSE(MoveFileW(folder.c_str(), elsewhere.c_str()));
    EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
    EXPECT_TRUE(FolderExists(folder));
    held.reset();

    drawnNames = {taken};
    namesDrawn = 0;
    std::wstring none = L"untouched";
    EXPECT_FALSE(CreatePrivateFolder(temp, &none, &held, DrawListedName))
        << "it gives up rather than use the taken folder";
    EXPECT_EQ(none, L"untouched");
    EXPECT_FALSE(held);
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(temp + taken + L"\\installer.exe", &bytes));
    EXPECT_EQ(bytes, "planted");

    const struct {
        std::wstring folder;
        bool isPrivate;
    } cases[] = {
        {temp + fresh, true},
        {temp + taken, true},
        {temp + fresh.substr(0, fresh.size() - 1), false},
        {temp + fresh + L"0", false},
        {temp + L"INSTALLER-" + fresh.substr(10), false},
        {temp + fresh.substr(0, 10) + L"0123456789ABCDEF", false},
        {temp + fresh.substr(0, 10) + L"0123456789abcdeg", false},
        {GetModuleFolder(), false},
        {GetModuleFolder() + L"\\" + fresh, false},
        {temp + L"nested\\" + fresh, false},
        {fresh, false},
    };
    // The temporary folder spelt another way (short names, a junction) is still the same folder.
    const std::wstring tempName = temp.substr(temp.find_last_of(L'\\', temp.size() - 2) + 1);
    EXPECT_TRUE(IsPrivateFolder(folder, temp + L"..\\" + tempName)) << testing::PrintToString(tempName);
    EXPECT_FALSE(IsPrivateFolder(folder, GetModuleFolder() + L"\\"));
    for (const auto& entry : cases) {
        SCOPED_TRACE(testing::PrintToString(entry.folder));
        EXPECT_EQ(IsPrivateFolder(entry.folder, temp), entry.isPrivate);
    }

    RemovePrivateFolder(temp + taken, kStagedNames, 4);
    RemovePrivateFolder(folder, kStagedNames, 4);
    EXPECT_FALSE(FolderExists(temp + taken)) << "removed at once when nothing holds it";
    EXPECT_FALSE(FolderExists(folder));
}

// A start clears away what earlier runs left in the staging folder (a killed working instance
// queues nothing for the restart), but never a folder that a running instance holds, nor any file
// of one whose program is running but has not taken its hold yet (its program file cannot be
// deleted), a folder of another name or one inside it, nor what a link of a private folder's name
// leads to (tests/startup.cmake makes the link).
TEST(PrivateFolder, AbandonedFoldersAreRemovedAndHeldOnesLinksAndOtherNamesAreLeft) {
    const std::wstring staging = L"T:\\private-folder-links\\staging\\";
    const std::wstring linkTarget = L"T:\\private-folder-links\\elsewhere\\installer.exe";
    ASSERT_TRUE(FileExists(staging + L"installer-00000000000000a1\\installer.exe")) << "the fixture's link";
    const std::wstring abandoned = staging + DrawPrivateFolderName();
    const std::wstring held = staging + DrawPrivateFolderName();
    const std::wstring starting = staging + DrawPrivateFolderName();
    const std::wstring otherName = staging + L"installer-kept";
    const std::wstring nested = otherName + L"\\" + DrawPrivateFolderName();
    for (const std::wstring& folder : {abandoned, held, starting, nested})
        for (const wchar_t* name : kStagedNames) ASSERT_TRUE(WriteFileBytes(folder + L"\\" + name, "staged"));
    ASSERT_TRUE(SetFileAttributesW((abandoned + L"\\setup.ini").c_str(), FILE_ATTRIBUTE_READONLY));
    FileHandle hold = HoldPrivateFolder(held);
    ASSERT_TRUE(hold);
    // As the system holds a running program's file: readable, never deletable.
    FileHandle running(CreateFileW((starting + L"\\installer.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(running);

    RemoveAbandonedPrivateFolders(staging, kStagedNames, 4);
    EXPECT_FALSE(FolderExists(abandoned));
    for (const std::wstring& folder : {held, starting, nested})
        for (const wchar_t* name : kStagedNames) EXPECT_TRUE(FileExists(folder + L"\\" + name)) << folder << name;
    EXPECT_TRUE(FileExists(linkTarget));

    hold.reset();
    running.reset();
    RemoveAbandonedPrivateFolders(staging, kStagedNames, 4);
    EXPECT_FALSE(FolderExists(held)) << "released, it is abandoned too";
    EXPECT_FALSE(FolderExists(starting));
    EXPECT_TRUE(FileExists(nested + L"\\installer.exe"));
    EXPECT_TRUE(FileExists(linkTarget));
    RemoveTree(otherName);
}

// Staging goes only where the private folder's access list is kept: on the system's volume, and
// not on a disc (drive M:, a CD-ROM drive; FAT and exFAT sticks are refused likewise on Windows).
TEST(PrivateFolder, StagingIsOnlyOnVolumesThatKeepAccessLists) {
    ASSERT_TRUE(CreateDirectoryW(L"T:\\cd-m", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CreateDirectoryW(L"T:\\cd-m\\h18", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(KeepsAccessLists(StagingFolder()));
    EXPECT_TRUE(KeepsAccessLists(L"T:\\"));
    EXPECT_FALSE(KeepsAccessLists(L"M:\\h18"));
    RemoveTree(L"T:\\cd-m");
}
