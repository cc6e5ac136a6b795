// The main installer dialog, opened in this process from template 103 and driven from a second
// thread the way a person would (clicks, typing, the close box); message boxes and the folder
// browser are answered by the script. The registry and setup.ini are real.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "base/handles.h"
#include "frontend/main_dialog.h"
#include "resources/resource_ids.h"
#include "startup/entry.h"
#include "startup/settings.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"

namespace {

const wchar_t kInstFolder[] = L"h4aゲーム";
const wchar_t kReadFailed[] = L"インストール情報の取得に失敗しました。";
const wchar_t kConfirmFormat[] =
    L"インストールを開始します。\n「%ls」\n\n※既に存在するファイルは上書きされます。\n※指定フォルダ内にゲーム名フォルダ"
    L"が作成されます。\n※存在しないフォルダは作成されます。";

std::wstring Text(HWND dialog, int id) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(dialog, id, text, 1024);
    return text;
}

std::wstring Title(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

bool Checked(HWND dialog, int id) { return SendDlgItemMessageW(dialog, id, BM_GETCHECK, 0, 0) == BST_CHECKED; }
bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
bool Visible(HWND dialog, int id) { return (GetWindowLongW(GetDlgItem(dialog, id), GWL_STYLE) & WS_VISIBLE) != 0; }

void Click(HWND dialog, int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
void Type(HWND dialog, int id, const std::wstring& text) {
    SendDlgItemMessageW(dialog, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

BOOL CALLBACK FindShownDialog(HWND window, LPARAM found) {
    wchar_t kind[16] = {};
    GetClassNameW(window, kind, 16);
    if (wcscmp(kind, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

bool WaitForGone(HWND window) {
    for (int i = 0; i < 200 && IsWindow(window); ++i) Sleep(25);
    return !IsWindow(window);
}

std::wstring Format(const wchar_t* format, const std::wstring& value) {
    wchar_t text[2048];
    swprintf(text, 2048, format, value.c_str());
    return text;
}

// The default destination as the platform gives it: the system drive's root from major version 6
// on, the program-files folder before; the company folder inside, with a final backslash.
std::wstring ExpectedDefaultDestination(const std::wstring& company) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring folder = std::wstring(system).substr(0, 2);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExW(&version);
    if (version.dwMajorVersion < 6) {
        wchar_t programs[MAX_PATH] = {};
        SHGetSpecialFolderPathW(nullptr, programs, CSIDL_PROGRAM_FILES, FALSE);
        folder = programs;
    }
    return folder + L"\\" + company + L"\\";
}

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        instanceHandle = GetModuleHandleW(nullptr);
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
        company_ = L"h4a主社" + tag;
        appName_ = L"h4a主画面 " + tag;
        iniPath_ = GetModuleFolder() + L"\\setup.ini";
        ASSERT_TRUE(WriteFileBytes(iniPath_, ToCp932(L"[INSTALLER]\r\nCompany=" + company_ + L"\r\nAppName=" + appName_ +
                                                     L"\r\nInstFolder=" + kInstFolder + L"\r\nAppExe=game.exe\r\n")));
        ownKey_ = L"Software\\" + company_ + L"\\" + appName_;
    }
    void TearDown() override {
        DeleteFileW(iniPath_.c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\" + company_).c_str());
    }

    void Record(const std::wstring& installPath, bool withDesktopFlag, DWORD desktop) {
        RegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, ownKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  key.receive(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), L"InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(installPath.c_str()),
                       static_cast<DWORD>((installPath.size() + 1) * 2));
        if (withDesktopFlag)
            RegSetValueExW(key.get(), L"DskSht", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&desktop), 4);
    }

    // Opens dialog 103 on this thread and runs `steps` on a second thread once it shows; then
    // closes it through the close box, answered with OK, unless the steps ended it already.
    void RunDialog(const std::function<void(HWND)>& steps) {
        const DWORD uiThread = GetCurrentThreadId();
        std::atomic<bool> ended{false};
        std::thread person([&] {
            HWND dialog = nullptr;
            for (int i = 0; i < 400 && !dialog && !ended; ++i) {
                EnumThreadWindows(uiThread, FindShownDialog, reinterpret_cast<LPARAM>(&dialog));
                if (!dialog) Sleep(25);
            }
            if (!dialog) return;
            steps(dialog);
            if (IsWindow(dialog) && !ended) {
                script_.AnswerMessages({IDOK});
                SendMessageW(dialog, WM_CLOSE, 0, 0);
            }
        });
        DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
        ended = true;
        person.join();
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    std::wstring company_, appName_, iniPath_, ownKey_;
    ScriptedInteraction script_;
};

TEST_F(MainDialogTest, FreshStartShowsTheInstallLookWithTheDefaultDestination) {
    RunDialog([&](HWND dialog) {
        EXPECT_EQ(Title(dialog), appName_ + L" インストーラ");
        EXPECT_EQ(Text(dialog, IDC_INSTALL), L"インストール");
        EXPECT_EQ(Text(dialog, IDC_BROWSE), L"参照");
        EXPECT_EQ(Text(dialog, IDC_DESTINATION), ExpectedDefaultDestination(company_));
        EXPECT_TRUE(Enabled(dialog, IDC_DESTINATION));
        EXPECT_TRUE(Checked(dialog, IDC_DESKTOP_SHORTCUT) && Enabled(dialog, IDC_DESKTOP_SHORTCUT));
        EXPECT_TRUE(Checked(dialog, IDC_VERIFY_FILES) && Enabled(dialog, IDC_VERIFY_FILES));
        EXPECT_EQ(installSettings.DesktopShortcut, 1);
        EXPECT_EQ(installSettings.VerifyFiles, 1);
        EXPECT_EQ(installSettings.Installed, 0);
        EXPECT_EQ(installSettings.IsVistaOrLater, 1) << "Wine reports Windows 7 unless told otherwise";
        EXPECT_FALSE(Visible(dialog, IDC_LAUNCH)) << "no launch button from major version 6 on";
        EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_EQ(mainWindow, dialog);

        // The options follow their boxes.
        Click(dialog, IDC_DESKTOP_SHORTCUT);
        Click(dialog, IDC_VERIFY_FILES);
        EXPECT_EQ(installSettings.DesktopShortcut, 0);
        EXPECT_EQ(installSettings.VerifyFiles, 0);
        Click(dialog, IDC_VERIFY_FILES);
        EXPECT_EQ(installSettings.VerifyFiles, 1);

        // Escape (IDCANCEL) and Enter's IDOK do nothing at all.
        SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        SendMessageW(dialog, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_TRUE(script_.Messages().empty());
    });
}

TEST_F(MainDialogTest, ConfirmationNamesTheGameFolderInsideTheTypedFolderAndCancelChangesNothing) {
    RunDialog([&](HWND dialog) {
        Type(dialog, IDC_DESTINATION, L"T:\\h4a typed");
        script_.AnswerMessages({IDCANCEL});
        Click(dialog, IDC_INSTALL);
        std::vector<ShownMessage> shown = script_.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, Format(kConfirmFormat, std::wstring(L"T:\\h4a typed\\") + kInstFolder + L"\\"));
        EXPECT_EQ(shown[0].title, L"確認");
        EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_OKCANCEL | MB_ICONWARNING));
        EXPECT_EQ(shown[0].owner, dialog);
        EXPECT_EQ(Text(dialog, IDC_DESTINATION), L"T:\\h4a typed") << "cancel leaves the typed text";
        EXPECT_EQ(Text(dialog, IDC_INSTALL), L"インストール");
        EXPECT_FALSE(FolderExists(std::wstring(L"T:\\h4a typed\\") + kInstFolder));

        // A final backslash typed by the user is not doubled.
        Type(dialog, IDC_DESTINATION, L"T:\\h4a typed\\");
        script_.AnswerMessages({IDCANCEL});
        Click(dialog, IDC_INSTALL);
        ASSERT_EQ(script_.Messages().size(), 2u);
        EXPECT_EQ(script_.Messages()[1].text, Format(kConfirmFormat, std::wstring(L"T:\\h4a typed\\") + kInstFolder + L"\\"));
    });
    RegKey key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, ownKey_.c_str(), 0, KEY_READ, key.receive()), ERROR_SUCCESS)
        << "a cancelled confirmation records nothing";
}

TEST_F(MainDialogTest, DestinationsTooLongForAPathAreRefusedNotCut) {
    RunDialog([&](HWND dialog) {
        // Typed folder, backslash, game folder and backslash: exactly 259 characters still go.
        const size_t room = 259 - 2 - wcslen(kInstFolder);
        std::wstring fits = L"T:\\" + std::wstring(room - 3, L'a');
        ASSERT_EQ(fits.size() + 1 + wcslen(kInstFolder) + 1, 259u);
        Type(dialog, IDC_DESTINATION, fits);
        script_.AnswerMessages({IDCANCEL});
        Click(dialog, IDC_INSTALL);
        ASSERT_EQ(script_.Messages().size(), 1u);
        EXPECT_EQ(script_.Messages()[0].text, Format(kConfirmFormat, fits + L"\\" + kInstFolder + L"\\"));

        for (const std::wstring& tooLong : {fits + L"b", fits + std::wstring(400, L'c')}) {
            const size_t before = script_.Messages().size();
            Type(dialog, IDC_DESTINATION, tooLong);
            Click(dialog, IDC_INSTALL);
            std::vector<ShownMessage> shown = script_.Messages();
            ASSERT_EQ(shown.size(), before + 1) << "one refusal, no confirmation";
            EXPECT_EQ(shown.back().title, L"エラー");
            EXPECT_EQ(shown.back().style, static_cast<UINT>(MB_ICONERROR));
            EXPECT_NE(shown.back().text.find(L"長すぎます"), std::wstring::npos);
            EXPECT_EQ(Text(dialog, IDC_DESTINATION).size(), std::min<size_t>(tooLong.size(), 1023));
            EXPECT_LT(wcsnlen(installSettings.InstallPath, MAX_PATH), static_cast<size_t>(MAX_PATH));
        }

        // Browsing from a text that is no path at all and cancelling leaves the text as typed.
        const std::wstring overLong = L"T:\\" + std::wstring(300, L'd');
        Type(dialog, IDC_DESTINATION, overLong);
        Click(dialog, IDC_BROWSE);
        EXPECT_EQ(Text(dialog, IDC_DESTINATION), overLong);
    });
}

TEST_F(MainDialogTest, BrowsingSetsTheChosenFolderAndCancellingKeepsTheTypedOne) {
    TempFolder chosen(L"h4a選択");
    RunDialog([&](HWND dialog) {
        Type(dialog, IDC_DESTINATION, L"T:\\h4a browse");
        Click(dialog, IDC_BROWSE);  // unscripted: the person cancels
        EXPECT_EQ(Text(dialog, IDC_DESTINATION), L"T:\\h4a browse\\");
        ASSERT_EQ(script_.Browsers().size(), 1u);
        EXPECT_EQ(script_.Browsers()[0].owner, dialog);
        EXPECT_EQ(script_.Browsers()[0].title,
                  L"インストール先フォルダを指定して下さい。\n※選択したフォルダ内にゲーム名フォルダが作成されます。");
        EXPECT_EQ(script_.Browsers()[0].flags, static_cast<UINT>(BIF_RETURNONLYFSDIRS));

        script_.ChooseFolders({chosen.path()});
        Click(dialog, IDC_BROWSE);
        EXPECT_EQ(Text(dialog, IDC_DESTINATION), chosen.path() + L"\\");
        EXPECT_TRUE(script_.Messages().empty());
    });
}

TEST_F(MainDialogTest, CloseBoxAsksBeforeEndingAndExitButtonToo) {
    RunDialog([&](HWND dialog) {
        script_.AnswerMessages({IDCANCEL, IDCANCEL});
        SendMessageW(dialog, WM_CLOSE, 0, 0);
        Click(dialog, IDC_EXIT);
        std::vector<ShownMessage> shown = script_.Messages();
        ASSERT_EQ(shown.size(), 2u);
        for (const ShownMessage& message : shown) {
            EXPECT_EQ(message.text, L"終了しますか？");
            EXPECT_EQ(message.title, L"確認");
            EXPECT_EQ(message.style, static_cast<UINT>(MB_OKCANCEL));
            EXPECT_EQ(message.owner, dialog);
        }
        EXPECT_TRUE(IsWindowVisible(dialog)) << "cancel keeps the installer open";
        script_.AnswerMessages({IDOK});
        Click(dialog, IDC_EXIT);
        EXPECT_TRUE(WaitForGone(dialog));
    });
}

TEST_F(MainDialogTest, RecordedInstallationShowsTheUninstallLook) {
    for (DWORD desktop : {0u, 1u}) {
        SCOPED_TRACE(desktop);
        Record(L"T:\\h4a installed\\ゲーム\\", true, desktop);
        RunDialog([&](HWND dialog) {
            EXPECT_EQ(Title(dialog), appName_ + L" インストーラ");
            EXPECT_EQ(Text(dialog, IDC_INSTALL), L"アンインストール");
            EXPECT_EQ(Text(dialog, IDC_BROWSE), L"開く");
            EXPECT_EQ(Text(dialog, IDC_DESTINATION), L"T:\\h4a installed\\ゲーム\\");
            EXPECT_FALSE(Enabled(dialog, IDC_DESTINATION));
            EXPECT_FALSE(Enabled(dialog, IDC_DESKTOP_SHORTCUT));
            EXPECT_EQ(Checked(dialog, IDC_DESKTOP_SHORTCUT), desktop == 1);
            EXPECT_FALSE(Enabled(dialog, IDC_VERIFY_FILES));
            EXPECT_TRUE(Checked(dialog, IDC_VERIFY_FILES));
            EXPECT_EQ(installSettings.Installed, 1);
            EXPECT_EQ(installSettings.DesktopShortcut, static_cast<int>(desktop));
            EXPECT_EQ(script_.Messages().size(), desktop) << "only the exit question of the run before";
        });
    }
}

TEST_F(MainDialogTest, UnreadableRecordShowsTheReadMessageAndTheInstallLook) {
    Record(L"T:\\h4a half\\", false, 0);
    RunDialog([&](HWND dialog) {
        ASSERT_GE(script_.Messages().size(), 1u);
        EXPECT_EQ(script_.Messages()[0].text, kReadFailed);
        EXPECT_EQ(script_.Messages()[0].owner, dialog);
        EXPECT_EQ(Text(dialog, IDC_INSTALL), L"インストール");
        EXPECT_EQ(Text(dialog, IDC_DESTINATION), ExpectedDefaultDestination(company_));
        EXPECT_TRUE(Enabled(dialog, IDC_DESTINATION));
    });
}

TEST_F(MainDialogTest, LaunchButtonFollowsTheLookBelowVersionSixAndHidesFromSixOn) {
    RunDialog([&](HWND dialog) {
        // The platform version is fixed for this process; the looks are applied for each kind.
        installSettings.IsVistaOrLater = 0;
        ShowWindow(GetDlgItem(dialog, IDC_LAUNCH), SW_SHOW);
        installSettings.Installed = 0;
        ApplyDialogLook();
        EXPECT_TRUE(Visible(dialog, IDC_LAUNCH));
        EXPECT_FALSE(Enabled(dialog, IDC_LAUNCH));
        installSettings.Installed = 1;
        ApplyDialogLook();
        EXPECT_TRUE(Enabled(dialog, IDC_LAUNCH));
        EXPECT_EQ(Text(dialog, IDC_INSTALL), L"アンインストール");

        installSettings.IsVistaOrLater = 1;
        ApplyDialogLook();
        EXPECT_FALSE(Visible(dialog, IDC_LAUNCH));
        installSettings.Installed = 0;
        ApplyDialogLook();
        EXPECT_FALSE(Visible(dialog, IDC_LAUNCH));
        EXPECT_TRUE(Checked(dialog, IDC_DESKTOP_SHORTCUT));
        EXPECT_EQ(installSettings.DesktopShortcut, 1);
    });
}

}  // namespace
