// The main installer dialog, opened in this process from template 103 and driven from a second
// thread the way a person would (clicks, typing, the close box); message boxes and the folder
// browser are answered by the script. The registry and setup.ini are real.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/handles.h"
#include "base/module.h"
#include "frontend/main_dialog.h"
#include "resources/resource_ids.h"
#include "support/expected_main_dialog.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"

namespace {

const wchar_t kInstFolder[] = L"h4aゲーム";
const wchar_t kReadFailed[] = L"インストール情報の取得に失敗しました。";

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

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        instanceHandle = GetModuleHandleW(nullptr);
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
        company_ = L"h4a主社" + tag;
        appName_ = L"h4a主画面 " + tag;
        iniPath_ = GetModuleFolder() + L"\\setup.ini";
        ASSERT_TRUE(
            WriteFileBytes(iniPath_, ToCp932(L"[INSTALLER]\r\nCompany=" + company_ + L"\r\nAppName=" + appName_ +
                                             L"\r\nInstFolder=" + kInstFolder + L"\r\nAppExe=game.exe\r\n")));
        ownKey_ = L"Software\\" + company_ + L"\\" + appName_;
    }
    void TearDown() override {
        DeleteFileW(iniPath_.c_str());
        DeleteFileW((GetModuleFolder() + L"\\setup.lst").c_str());
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
        DialogBoxParamW(instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc,
                        reinterpret_cast<LPARAM>(&state_));
        ended = true;
        person.join();
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    std::wstring company_, appName_, iniPath_, ownKey_;
    ScriptedInteraction script_;
    InstallSettings settings_{};
    MainDialogState state_{settings_};
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
        EXPECT_EQ(settings_.DesktopShortcut, 1);
        EXPECT_EQ(settings_.VerifyFiles, 1);
        EXPECT_EQ(settings_.Installed, 0);
        EXPECT_EQ(settings_.IsVistaOrLater, 1) << "Wine reports Windows 7 unless told otherwise";
        EXPECT_FALSE(Visible(dialog, IDC_LAUNCH)) << "no launch button from major version 6 on";
        EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_EQ(state_.window, dialog);

        // The options follow their boxes.
        Click(dialog, IDC_DESKTOP_SHORTCUT);
        Click(dialog, IDC_VERIFY_FILES);
        EXPECT_EQ(settings_.DesktopShortcut, 0);
        EXPECT_EQ(settings_.VerifyFiles, 0);
        Click(dialog, IDC_VERIFY_FILES);
        EXPECT_EQ(settings_.VerifyFiles, 1);

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
        EXPECT_EQ(shown[0].text, ExpectedInstallConfirmation(std::wstring(L"T:\\h4a typed\\") + kInstFolder + L"\\"));
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
        EXPECT_EQ(script_.Messages()[1].text,
                  ExpectedInstallConfirmation(std::wstring(L"T:\\h4a typed\\") + kInstFolder + L"\\"));
    });
    RegKey key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, ownKey_.c_str(), 0, KEY_READ, key.receive()), ERROR_SUCCESS)
        << "a cancelled confirmation records nothing";
}

// The uninstaller must be able to serve the destination: it walks only a folder below a drive or
// share root, and uninst.dat must name every file in full on any volume (exFAT and recent NTFS
// have no 8.3 names to fall back on): a comma, a character outside code page 932, or a line past
// the reader's 258 characters is refused before anything is installed.
TEST_F(MainDialogTest, DestinationsTheUninstallerCannotServeAreRefused) {
    ASSERT_TRUE(WriteFileBytes(GetModuleFolder() + L"\\setup.lst", "0,data\\x.bin,1,00000000\r\n"));
    const std::wstring game = std::wstring(L"\\") + kInstFolder + L"\\";
    const std::wstring fits = L"T:\\" + std::wstring(258 - 2 - wcslen(L"data\\x.bin") - game.size() - 3, L'f');
    const struct {
        std::wstring typed;
        const wchar_t* refusal;  // nullptr: the confirmation follows
    } cases[] = {
        {L"T:\\h4a,Games", L"使用できない文字"},
        {L"T:\\h4aJosé", L"使用できない文字"},
        {L"T:\\h4a한글", L"使用できない文字"},
        {fits, nullptr},
        {fits + L"g", L"アンインストール情報"},
        {L"h4aGames", L"正しくありません"},             // relative
        {L"\\h4aGames", L"正しくありません"},           // the current drive's root
        {L"T:h4aGames", L"正しくありません"},           // T:'s current folder
        {L"\\\\?\\T:\\h4aGames", L"正しくありません"},  // device paths
        {L"\\\\.\\T:\\h4aGames", L"正しくありません"},
        {L"\\\\h4aserver", L"共有フォルダのルート"},  // the game folder would be a share root
        {L"\\\\h4aserver\\share", nullptr},
    };
    RunDialog([&](HWND dialog) {
        for (const auto& c : cases) {
            const size_t before = script_.Messages().size();
            script_.AnswerMessages({IDCANCEL});
            Type(dialog, IDC_DESTINATION, c.typed);
            Click(dialog, IDC_INSTALL);
            std::vector<ShownMessage> shown = script_.Messages();
            ASSERT_EQ(shown.size(), before + 1) << c.typed;
            if (!c.refusal) {
                EXPECT_EQ(shown.back().text, ExpectedInstallConfirmation(c.typed + game));
                continue;
            }
            EXPECT_EQ(shown.back().title, L"エラー");
            EXPECT_EQ(shown.back().style, static_cast<UINT>(MB_ICONERROR));
            EXPECT_NE(shown.back().text.find(c.refusal), std::wstring::npos) << c.typed;
        }
    });

    // Without a game folder of its own, a drive's root typed as it is, or a path that leads back
    // to it, would be the game folder.
    ASSERT_TRUE(WriteFileBytes(iniPath_, ToCp932(L"[INSTALLER]\r\nCompany=" + company_ + L"\r\nAppName=" + appName_ +
                                                 L"\r\nInstFolder=\r\nAppExe=game.exe\r\n")));
    RunDialog([&](HWND dialog) {
        for (const wchar_t* root : {L"T:\\", L"T:\\h4aGames\\.."}) {
            const size_t before = script_.Messages().size();
            Type(dialog, IDC_DESTINATION, root);
            Click(dialog, IDC_INSTALL);
            std::vector<ShownMessage> shown = script_.Messages();
            ASSERT_EQ(shown.size(), before + 1) << root;
            EXPECT_EQ(shown.back().text,
                      L"ドライブやネットワーク上の共有フォルダのルートにはインストールできません。\n\nその中のフォルダ"
                      L"（C:\\Games など）を指定して下さい。")
                << root;
        }
    });
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
        EXPECT_EQ(script_.Messages()[0].text, ExpectedInstallConfirmation(fits + L"\\" + kInstFolder + L"\\"));

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
            EXPECT_LT(wcsnlen(settings_.InstallPath, MAX_PATH), static_cast<size_t>(MAX_PATH));
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
            EXPECT_EQ(settings_.Installed, 1);
            EXPECT_EQ(settings_.DesktopShortcut, static_cast<int>(desktop));
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
        settings_.IsVistaOrLater = 0;
        ShowWindow(GetDlgItem(dialog, IDC_LAUNCH), SW_SHOW);
        settings_.Installed = 0;
        ApplyDialogLook(&state_);
        EXPECT_TRUE(Visible(dialog, IDC_LAUNCH));
        EXPECT_FALSE(Enabled(dialog, IDC_LAUNCH));
        settings_.Installed = 1;
        ApplyDialogLook(&state_);
        EXPECT_TRUE(Enabled(dialog, IDC_LAUNCH));
        EXPECT_EQ(Text(dialog, IDC_INSTALL), L"アンインストール");

        settings_.IsVistaOrLater = 1;
        ApplyDialogLook(&state_);
        EXPECT_FALSE(Visible(dialog, IDC_LAUNCH));
        settings_.Installed = 0;
        ApplyDialogLook(&state_);
        EXPECT_FALSE(Visible(dialog, IDC_LAUNCH));
        EXPECT_TRUE(Checked(dialog, IDC_DESKTOP_SHORTCUT));
        EXPECT_EQ(settings_.DesktopShortcut, 1);
    });
}

// ---- The templates and pictures as compiled into the program ------------------------------

struct TemplateControl {
    int id;
    std::wstring kind;  // window class
    std::wstring text;  // caption, or "#<number>" for a picture's resource id
    int x, y, cx, cy;
    DWORD style;
};

struct DialogTemplate {
    bool extended = false;
    DWORD style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::wstring title, font;
    int pointSize = 0, weight = -1, charset = -1;
    std::vector<TemplateControl> controls;
};

class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : base_(data), at_(data) {}
    WORD Word() { return Take<WORD>(); }
    DWORD Dword() { return Take<DWORD>(); }
    short Short() { return Take<short>(); }
    BYTE Byte() { return Take<BYTE>(); }
    void AlignDword() {
        while ((at_ - base_) % 4 != 0) ++at_;
    }
    // A text, an ordinal ("#<number>") or nothing.
    std::wstring TextOrOrdinal() {
        WORD first = Word();
        if (first == 0) return L"";
        if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
        std::wstring text(1, static_cast<wchar_t>(first));
        for (WORD c = Word(); c != 0; c = Word()) text += static_cast<wchar_t>(c);
        return text;
    }

private:
    template <typename T>
    T Take() {
        T value;
        memcpy(&value, at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    const BYTE* base_;
    const BYTE* at_;
};

std::wstring ClassName(const std::wstring& raw) {
    if (raw == L"#128") return L"Button";
    if (raw == L"#129") return L"Edit";
    if (raw == L"#130") return L"Static";
    return raw;
}

const BYTE* JapaneseResource(const wchar_t* type, int id) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (!found) return nullptr;
    return static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
}

DialogTemplate ReadDialog(int id) {
    DialogTemplate dialog;
    const BYTE* data = JapaneseResource(RT_DIALOG, id);
    if (!data) return dialog;
    TemplateReader in(data);
    WORD count = 0;
    WORD signature = 0;
    memcpy(&signature, data + 2, sizeof(signature));
    if (signature == 0xFFFF) {
        dialog.extended = true;
        in.Word();   // version
        in.Word();   // signature
        in.Dword();  // help id
        in.Dword();  // extended style
        dialog.style = in.Dword();
    } else {
        dialog.style = in.Dword();
        in.Dword();
    }
    count = in.Word();
    dialog.x = in.Short();
    dialog.y = in.Short();
    dialog.cx = in.Short();
    dialog.cy = in.Short();
    in.TextOrOrdinal();  // menu
    in.TextOrOrdinal();  // class
    dialog.title = in.TextOrOrdinal();
    if (dialog.style & DS_SETFONT) {
        dialog.pointSize = in.Word();
        if (dialog.extended) {
            dialog.weight = in.Word();
            in.Byte();
            dialog.charset = in.Byte();
        }
        dialog.font = in.TextOrOrdinal();
    }
    for (WORD i = 0; i < count; ++i) {
        in.AlignDword();
        TemplateControl control{};
        if (dialog.extended) {
            in.Dword();  // help id
            in.Dword();  // extended style
            control.style = in.Dword();
        } else {
            control.style = in.Dword();
            in.Dword();
        }
        control.x = in.Short();
        control.y = in.Short();
        control.cx = in.Short();
        control.cy = in.Short();
        control.id = dialog.extended ? static_cast<int>(in.Dword()) : static_cast<short>(in.Word());
        control.kind = ClassName(in.TextOrOrdinal());
        control.text = in.TextOrOrdinal();
        WORD extra = in.Word();
        for (WORD b = 0; b < extra; ++b) in.Byte();
        dialog.controls.push_back(control);
    }
    return dialog;
}

void ExpectControls(const DialogTemplate& dialog, const std::vector<TemplateControl>& expected) {
    ASSERT_EQ(dialog.controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const TemplateControl& got = dialog.controls[i];
        const TemplateControl& want = expected[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(_wcsicmp(got.kind.c_str(), want.kind.c_str()), 0) << testing::PrintToString(got.kind);
        EXPECT_EQ(got.text, want.text);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.style & 0xFFFF, want.style & 0xFFFF) << "control kind";
        EXPECT_EQ(got.style & WS_TABSTOP, want.style & WS_TABSTOP) << "tab stop";
        EXPECT_TRUE(got.style & WS_VISIBLE);
    }
}

constexpr DWORD kDialogStyle = DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;

TEST(InstallerResources, MainDialogTemplate) {
    DialogTemplate dialog = ReadDialog(IDD_MAIN);
    ASSERT_FALSE(dialog.controls.empty()) << "no Japanese dialog 103";
    EXPECT_EQ(dialog.style & kDialogStyle, kDialogStyle);
    EXPECT_FALSE(dialog.style & WS_THICKFRAME) << "not resizable";
    EXPECT_EQ(std::vector<int>({dialog.x, dialog.y, dialog.cx, dialog.cy}), std::vector<int>({22, 17, 383, 242}));
    EXPECT_EQ(dialog.title, L"インストーラ");
    EXPECT_EQ(dialog.font, L"ＭＳ Ｐゴシック");
    EXPECT_EQ(dialog.pointSize, 10);
    const DWORD tab = WS_TABSTOP;
    ExpectControls(
        dialog,
        {
            {IDC_INSTALL, L"Button", L"インストール", 292, 152, 80, 24, BS_DEFPUSHBUTTON | tab},
            {-1, L"Static", L"#131", 4, 4, 171, 228, SS_BITMAP | SS_REALSIZEIMAGE},
            {-1, L"Button", L"インストール情報", 180, 4, 196, 177, BS_GROUPBOX},
            {IDC_DESTINATION, L"Edit", L"", 184, 28, 188, 12, ES_AUTOHSCROLL | tab},
            {-1, L"Static", L"インストール先", 184, 16, 92, 8, SS_LEFT},
            {-1, L"Button", L"追加項目", 184, 99, 188, 49, BS_GROUPBOX},
            {IDC_BROWSE, L"Button", L"参照", 344, 12, 28, 12, BS_PUSHBUTTON | tab},
            {IDC_DESKTOP_SHORTCUT, L"Button", L"デスクトップにショートカットを作成する", 192, 115, 128, 8,
             BS_AUTOCHECKBOX | tab},
            {IDC_VERIFY_FILES, L"Button", L"ファイルが正常か確認を行う", 192, 130, 101, 8, BS_AUTOCHECKBOX | tab},
            {IDC_EXIT, L"Button", L"終了", 284, 185, 92, 24, BS_PUSHBUTTON | tab},
            {IDC_LAUNCH, L"Button", L"ゲームの起動", 184, 185, 88, 24, BS_PUSHBUTTON | tab},
            {-1, L"Static", L"※選択したフォルダ内にゲーム名フォルダが作成されます。", 184, 45, 188, 11, SS_LEFT},
            {-1, L"Static", L"※UAC管理下のフォルダ(Program Files等)にはインストールできません。", 184, 58, 188, 17,
             SS_LEFT},
        });
    EXPECT_TRUE(dialog.controls[3].style & WS_BORDER) << "the destination edit has a border";
}

TEST(InstallerResources, ProgressAndUninstallDialogTemplates) {
    DialogTemplate progress = ReadDialog(IDD_PROGRESS);
    ASSERT_FALSE(progress.controls.empty()) << "no Japanese dialog 133";
    EXPECT_EQ(progress.style & kDialogStyle, kDialogStyle);
    EXPECT_EQ(std::vector<int>({progress.cx, progress.cy}), std::vector<int>({282, 153}));
    EXPECT_EQ(progress.title, L"セットアップ中");
    EXPECT_EQ(progress.font, L"MS UI Gothic");
    EXPECT_EQ(progress.pointSize, 10);
    ExpectControls(
        progress,
        {
            {IDCANCEL, L"Button", L"キャンセル", 212, 124, 58, 18, BS_PUSHBUTTON | WS_TABSTOP},
            {-1, L"Static", L"指示があるまで、ディスクの抜き差し等は行わないで下さい。", 8, 36, 224, 8, SS_LEFT},
            {-1, L"Static", L"また、セットアップ中は他の作業を行わないで下さい。", 8, 48, 224, 8, SS_LEFT},
            {-1, L"Static", L"セットアップ状態：全体", 8, 70, 76, 8, SS_LEFT},
            {-1, L"Static", L"セットアップ状態：ファイル", 8, 94, 80, 8, SS_LEFT},
            {IDC_OVERALL_BAR, PROGRESS_CLASSW, L"", 92, 67, 160, 16, PBS_SMOOTH},
            {IDC_FILE_BAR, PROGRESS_CLASSW, L"", 92, 91, 160, 16, PBS_SMOOTH},
            {IDC_OVERALL_PERCENT, L"Static", L"00%", 256, 70, 24, 8, SS_LEFT},
            {IDC_FILE_PERCENT, L"Static", L"00%", 256, 94, 24, 8, SS_LEFT},
            {IDC_STATUS, L"Static", L"現在の状態：", 8, 113, 200, 32, SS_LEFT},
            {-1, L"Static", L"#138", 8, 4, 263, 25, SS_BITMAP},
        });
    EXPECT_TRUE(progress.controls[5].style & WS_BORDER);
    EXPECT_TRUE(progress.controls[6].style & WS_BORDER);

    DialogTemplate uninstall = ReadDialog(IDD_UNINSTALL);
    ASSERT_FALSE(uninstall.controls.empty()) << "no Japanese dialog 136";
    EXPECT_TRUE(uninstall.extended);
    EXPECT_EQ(uninstall.style & kDialogStyle, kDialogStyle);
    EXPECT_EQ(std::vector<int>({uninstall.cx, uninstall.cy}), std::vector<int>({170, 129}));
    EXPECT_EQ(uninstall.title, L"アンインストール");
    EXPECT_EQ(uninstall.font, L"MS UI Gothic");
    EXPECT_EQ(uninstall.pointSize, 10);
    EXPECT_EQ(uninstall.weight, FW_NORMAL);
    EXPECT_EQ(uninstall.charset, SHIFTJIS_CHARSET);
    ExpectControls(
        uninstall,
        {
            {IDC_CANCEL_REMOVAL, L"Button", L"キャンセル", 96, 100, 62, 20, BS_DEFPUSHBUTTON | WS_TABSTOP},
            {IDC_START_REMOVAL, L"Button", L"削除開始", 8, 100, 60, 20, BS_PUSHBUTTON | WS_TABSTOP},
            {IDC_REMOVE_FILES, L"Button", L"インストールしたファイルを削除", 24, 24, 128, 8, BS_AUTORADIOBUTTON},
            {-1, L"Button", L"アンインストール方法", 8, 8, 152, 84, BS_GROUPBOX},
        });
}

TEST(InstallerResources, PicturesAndIconHaveTheirSizesAndDepths) {
    struct Picture {
        int id, width, height;
    };
    for (const Picture& picture : {Picture{IDB_MAIN_PICTURE, 297, 369}, Picture{IDB_BANNER, 461, 41}}) {
        const BYTE* data = JapaneseResource(RT_BITMAP, picture.id);
        ASSERT_NE(data, nullptr) << picture.id;
        BITMAPINFOHEADER header;
        memcpy(&header, data, sizeof(header));
        EXPECT_EQ(header.biWidth, picture.width) << picture.id;
        EXPECT_EQ(std::abs(header.biHeight), picture.height) << picture.id;
        EXPECT_EQ(header.biBitCount, 24) << picture.id;
    }

    const BYTE* group = JapaneseResource(RT_GROUP_ICON, IDI_APP);
    ASSERT_NE(group, nullptr);
    WORD count = 0;
    memcpy(&count, group + 4, sizeof(count));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* entry = group + 6 + 14 * i;  // width, height, colours, reserved, planes, bit count, bytes, id
        WORD bits = 0;
        memcpy(&bits, entry + 6, sizeof(bits));
        EXPECT_EQ(bits, 32) << "image " << i;
        sizes.push_back(entry[0] == 0 ? 256 : entry[0]);
    }
    EXPECT_EQ(sizes, std::vector<int>({16, 32, 48, 64, 128, 256}));
    IconHandle icon(static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR)));
    EXPECT_TRUE(icon.valid());
}

}  // namespace
