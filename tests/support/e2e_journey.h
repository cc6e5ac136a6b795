// End-to-end helpers: discs made of real files, the real installer.exe started the way a user
// starts it (from the disc, so it stages itself and relaunches from the temporary folder), and
// the person at the screen walking through the main, progress and uninstall dialogs with the
// UI driver. Nothing here asserts; every step returns whether it got what it waited for and
// leaves a readable account in the installer's log() for the test's failure message.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui_driver.h"

namespace journey {

constexpr DWORD kStepTimeout = 30000;  // milliseconds for one step (a dialog, a box, an install)

// What setup.ini says about the game.
struct Game {
    std::wstring company;
    std::wstring publisher = L"h4a出版";
    std::wstring url = L"https://support.example/h4a";
    std::wstring appName;
    std::wstring instFolder;
    std::wstring appExe = L"game.exe";
};

// One line of setup.lst. A list path ending in ".bz2" is stored compressed on the disc and
// expands to `bytes`; any other file is stored as it is.
struct DiscFile {
    int disc = 0;
    std::wstring listPath;
    std::string bytes;
};

// The build whose installer.exe the end-to-end suites start, whichever build the test program
// belongs to: the shipped i686 one, unless the test command found that this machine cannot run
// 32-bit code and named x86_64 in INSTALLER_E2E_BUILD.
std::wstring InstallerBuild();
std::wstring BuiltInstaller();
// The registry view that installer.exe records in: a 32-bit program's Uninstall entry lives in
// the 32-bit view (WOW6432Node), where Windows' own list of programs reads it.
REGSAM InstallerRegistryView();
// The program-files folder that installer.exe is given: a 32-bit program on 64-bit Windows gets
// "Program Files (x86)", whatever the test program's own width.
std::wstring InstallerProgramFilesFolder();
// A small real program of this build (the UI driver's console tool), for a game that can start.
std::wstring RunnableProgram();

// bzip2 of the bytes, as the discs carry compressed files.
std::string Bzip2(const std::string& bytes);

// setup.lst for the files (code page 932, CR LF, real CRC-32s in lower-case hex).
std::string SetupListBytes(const std::vector<DiscFile>& files);

// Fills `folder` as disc number `disc`: drvno.dat ("drvno:<disc>") and data\ with that disc's
// files. With `controlFiles`, also installer.exe, setup.ini, setup.lst (all discs' files) and the
// uninst.dat template `uninstTemplate` (lines "kind,relative path"). False with *error on failure.
bool WriteDisc(const std::wstring& folder, int disc, const Game& game, const std::vector<DiscFile>& files,
               bool controlFiles, const std::wstring& uninstTemplate, std::wstring* error);

// The two registry places of an installation.
std::wstring OwnKeyPath(const Game& game);
std::wstring UninstallEntryPath(const Game& game);

struct RegistryValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::wstring text;  // REG_SZ data without its terminator
    DWORD number = 0;   // REG_DWORD data
    size_t bytes = 0;   // stored size
};
RegistryValue ReadRegistryValue(HKEY root, const std::wstring& key, const wchar_t* name);
bool RegistryKeyExists(HKEY root, const std::wstring& key);

// The shortcut files an installation of the game makes (desktop first, then the start menu's).
std::wstring DesktopShortcutPath(const Game& game);
std::vector<std::wstring> StartMenuShortcutPaths(const Game& game);

// Removes whatever an installation of the game may have left: both registry places, the company
// key when empty, the shortcuts and their start-menu folders, and the install folder.
void CleanUpGame(const Game& game, const std::wstring& installFolder);

// The Windows version Wine reports to processes started from now on ("winxp64", "win7"...);
// the earlier setting comes back when the object goes.
class WineVersion {
public:
    explicit WineVersion(const wchar_t* version);
    ~WineVersion();
    WineVersion(const WineVersion&) = delete;
    WineVersion& operator=(const WineVersion&) = delete;
    bool applied() const { return applied_; }

private:
    bool applied_ = false;
    bool hadValue_ = false;
    std::wstring previous_;
};

// Answers the two boxes of a staging copy that could not copy fileName into its folder in the
// system's temporary folder, and waits for it to end with exit code 1. False, with what was seen
// in *account, when a box or the ending differs.
bool AnswerStagingFailure(const ui::Process& staging, const std::wstring& fileName, std::wstring* account);

// The visible message boxes and dialogs of a process, as "title: text" lines (for failure notes).
std::wstring DescribeWindows(DWORD processId);

// One run of installer.exe, from start to exit. Ends every process it started when it goes.
class InstallerRun {
public:
    explicit InstallerRun(const Game& game) : game_(game) {}
    ~InstallerRun();
    InstallerRun(const InstallerRun&) = delete;
    InstallerRun& operator=(const InstallerRun&) = delete;

    // Starts the installer from the disc folder without arguments and waits for the relaunched
    // copy's main dialog, titled "<AppName> インストーラ".
    bool Start(const std::wstring& discFolder);

    HWND mainDialog() const { return main_; }
    DWORD processId() const { return processId_; }
    const std::wstring& log() const { return log_; }

    // Waits until the main button reads "アンインストール" (installed) or "インストール".
    bool WaitForLook(bool installed, DWORD timeoutMs = kStepTimeout);

    // Types `folder` into the destination, presses "インストール" and waits for the confirmation
    // box; *text gets its text. Answers it with `answer` (IDOK or IDCANCEL).
    bool PressInstall(const std::wstring& folder, int answer, std::wstring* text);

    // Waits for a box of the process titled `title`, gives its text, presses `button`, and waits
    // until it has gone.
    bool AnswerBox(const std::wstring& title, int button, std::wstring* text, DWORD timeoutMs = kStepTimeout);

    // The progress dialog ("セットアップ中") while it is open; null when it did not show.
    HWND WaitForProgressDialog(DWORD timeoutMs = kStepTimeout);

    // Presses "アンインストール", then "削除開始" in the uninstall dialog, and answers the result box
    // with OK; *text gets the result text.
    bool Uninstall(std::wstring* text);

    // Presses "終了", answers "終了しますか？" with OK and waits for the process to end.
    bool Exit(DWORD* exitCode);

    // Waits for the working process to end by itself.
    bool WaitForEnd(DWORD* exitCode, DWORD timeoutMs = kStepTimeout);

private:
    void Note(const std::wstring& line);

    Game game_;
    HWND main_ = nullptr;
    DWORD processId_ = 0;
    ui::Process working_;
    ui::ProcessReaper reaper_;
    std::wstring log_;
};

}  // namespace journey
