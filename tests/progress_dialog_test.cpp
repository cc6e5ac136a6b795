// The progress dialog from its real template, running a real installation on its worker thread.
// A small driver procedure forwards every message to the dialog's own procedure and notes what
// each timer tick left on the screen; the boxes are answered by the script.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <climits>
#include <clocale>
#include <cstdint>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/module.h"
#include "base/text.h"
#include "install/installation.h"
#include "install/progress_dialog.h"
#include "resources/resource_ids.h"
#include "support/expected_outcomes.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"

namespace {

const std::wstring kWork = L"T:\\progress-suite";
const std::wstring kDiscM = L"T:\\cd-m";
const wchar_t kCancelQuestion[] = L"インストールを中断しますか？";

constexpr UINT kFlushRequest = WM_APP;
constexpr UINT kFlushDone = WM_APP + 1;

std::wstring BesideProgram(const wchar_t* name) { return GetModuleFolder() + L"\\" + name; }

std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[2048] = L"";
    GetDlgItemTextW(dialog, id, text, 2048);
    return text;
}

struct Screen {
    std::wstring overall;
    std::wstring file;
    std::wstring status;
    LRESULT overallPosition;
    LRESULT filePosition;
};

Screen Look(HWND dialog) {
    return {ControlText(dialog, IDC_OVERALL_PERCENT), ControlText(dialog, IDC_FILE_PERCENT),
            ControlText(dialog, IDC_STATUS), SendDlgItemMessageW(dialog, IDC_OVERALL_BAR, PBM_GETPOS, 0, 0),
            SendDlgItemMessageW(dialog, IDC_FILE_BAR, PBM_GETPOS, 0, 0)};
}

// What one opening of the dialog showed.
struct DialogRun {
    HWND dialog = nullptr;
    HANDLE workerAtStart = nullptr;
    std::wstring overallBeforeFirstTick;
    std::vector<Screen> ticks;
};

DialogRun* currentRun = nullptr;
HANDLE flushedEvent = nullptr;

INT_PTR CALLBACK Driver(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        currentRun->dialog = dialog;
        currentRun->overallBeforeFirstTick = ControlText(dialog, IDC_OVERALL_PERCENT);
    }
    INT_PTR result = ProgressDialogProc(dialog, message, wParam, lParam);
    switch (message) {
        case WM_INITDIALOG:
            currentRun->workerAtStart = reinterpret_cast<Installation*>(lParam)->progress.workerThread.load();
            break;
        case WM_TIMER:
            currentRun->ticks.push_back(Look(dialog));
            break;
        case kFlushRequest:  // everything queued before this has been handled once kFlushDone arrives
            PostMessageW(dialog, kFlushDone, 0, 0);
            break;
        case kFlushDone:
            SetEvent(flushedEvent);
            break;
    }
    return result;
}

class ProgressDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        flushedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }

    void SetUp() override {
        _wsetlocale(LC_ALL, L"Japanese_Japan.932");
        RemoveTree(kWork);
        RemoveTree(kDiscM);
        CopyText(settings_.Company, L"進行試験社");
        CopyText(settings_.AppName, L"進行試験ゲーム");
        CopyText(settings_.AppExe, L"game.exe");
        CopyText(settings_.InstallPath, (destination_.path() + L"\\game\\").c_str());
        CopyText(settings_.SourceFolder, (kWork + L"\\launch").c_str());
        ASSERT_TRUE(WriteFileBytes(kWork + L"\\launch\\drvno.dat", "drvno:0\r\n"));
        ASSERT_TRUE(WriteFileBytes(BesideProgram(L"uninst.dat"), ""));
    }

    void TearDown() override {
        DeleteFileW(BesideProgram(L"setup.lst").c_str());
        DeleteFileW(BesideProgram(L"uninst.dat").c_str());
        RemoveTree(kWork);
        RemoveTree(kDiscM);
    }

    INT_PTR Open(DialogRun* run) {
        currentRun = run;
        INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, Driver,
                                         reinterpret_cast<LPARAM>(&installation_));
        currentRun = nullptr;
        return result;
    }

    INT_PTR Install(const std::wstring& setupLst, DialogRun* run) {
        EXPECT_TRUE(WriteFileBytes(BesideProgram(L"setup.lst"), ToCp932(setupLst)));
        return Open(run);
    }

    std::string InstalledBigFile() const {
        std::string bytes;
        return ReadFileBytes(destination_.path() + L"\\game\\big.dat", &bytes) ? bytes : std::string("<missing>");
    }

    // Presses Cancel and the close box while the worker waits in a box, and returns once the
    // dialog has handled both and whatever they queued.
    void PressCancelAndCloseBox(HWND dialog) {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        EXPECT_EQ(progress_.cancelRequested.load(), 1);
        progress_.cancelRequested = 0;
        PostMessageW(dialog, WM_CLOSE, 0, 0);
        PostMessageW(dialog, kFlushRequest, 0, 0);
        // A safety net only: the dialog must still be there to answer.
        EXPECT_EQ(WaitForSingleObject(flushedEvent, 60000), WAIT_OBJECT_0) << "the dialog closed";
        EXPECT_EQ(progress_.cancelRequested.load(), 1);
    }

    TempFolder destination_{L"progress"};
    InstallSettings settings_{};
    Installation installation_{settings_};
    ProgressState& progress_ = installation_.progress;
};

TEST_F(ProgressDialogTest, CompletedInstallationShowsTruePercentagesAndEndsWithOne) {
    ScriptedInteraction script;
    const std::string bytes = PatternBytes(2500000, 3);
    ASSERT_TRUE(WriteFileBytes(kWork + L"\\launch\\data\\big.dat", bytes));
    // Listed at its real size (a file of another size stops the installation, worker_test): the
    // texts end at 100 %, the bars at their end.
    Screen atCompletion{};
    script.OnMessage([&](const ShownMessage& shown) {
        if (shown.text == kCompleted) atCompletion = Look(shown.owner);
    });

    DialogRun run;
    EXPECT_EQ(Install(L"0,big.dat,2500000,0\r\n", &run), 1);

    std::vector<ShownMessage> shown = script.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kCompleted);
    EXPECT_EQ(shown[0].title, L"確認");
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(shown[0].owner, run.dialog);
    EXPECT_EQ(progress_.progressWindow.load(), run.dialog);

    EXPECT_EQ(atCompletion.overall, L"100 %");
    EXPECT_EQ(atCompletion.file, L"100 %");
    EXPECT_EQ(atCompletion.status, L"現在の状態：完了");
    EXPECT_EQ(atCompletion.overallPosition, 100);
    EXPECT_EQ(atCompletion.filePosition, 100);
    ASSERT_FALSE(run.ticks.empty());
    for (const Screen& tick : run.ticks) {
        EXPECT_LE(tick.overallPosition, 100);
        EXPECT_LE(tick.filePosition, 100);
        ASSERT_GE(tick.overall.size(), 3u);
        EXPECT_EQ(tick.overall.substr(tick.overall.size() - 2), L" %") << tick.overall;
    }
    EXPECT_EQ(InstalledBigFile(), bytes);

    // The worker's handle was closed by the dialog once the worker had ended.
    EXPECT_NE(run.workerAtStart, nullptr);
    EXPECT_EQ(progress_.workerThread.load(), nullptr);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(run.workerAtStart, &flags));
}

TEST_F(ProgressDialogTest, EmptyListStaysAtZeroPercentFromTheFirstTick) {
    ScriptedInteraction script;
    DialogRun run;
    EXPECT_EQ(Install(L"", &run), 1);
    EXPECT_EQ(run.overallBeforeFirstTick, L"00%");
    ASSERT_FALSE(run.ticks.empty());
    for (const Screen& tick : run.ticks) {
        EXPECT_EQ(tick.overall, L"0 %");
        EXPECT_EQ(tick.file, L"0 %");
        EXPECT_EQ(tick.overallPosition, 0);
    }
    EXPECT_EQ(run.ticks.back().status, L"現在の状態：完了");
    EXPECT_EQ(script.MessageTexts(), std::vector<std::wstring>{kCompleted});
}

TEST_F(ProgressDialogTest, FailureEndsWithZeroAfterTheInterruptionWarning) {
    ScriptedInteraction script;
    DialogRun run;
    EXPECT_EQ(Install(L"0,absent.dat,10,0\r\n", &run), 0);

    std::vector<ShownMessage> shown = script.Messages();
    ASSERT_EQ(shown.size(), 2u) << "the copy's own message, then the interruption";
    EXPECT_EQ(shown[0].owner, run.dialog);
    EXPECT_EQ(shown[1].text, kInterrupted);
    EXPECT_EQ(shown[1].title, L"確認");
    EXPECT_EQ(shown[1].style, static_cast<UINT>(MB_ICONWARNING | MB_OK));
    EXPECT_EQ(shown[1].owner, run.dialog);
    EXPECT_EQ(run.ticks.back().status, L"現在の状態：absent.dat ファイルのコピーに失敗");
}

TEST_F(ProgressDialogTest, CancelDuringTheDiscPromptIsConfirmedAtTheNextBlock) {
    for (int answer : {IDOK, IDCANCEL}) {
        SCOPED_TRACE(answer == IDOK ? "abort confirmed" : "abort declined");
        ScriptedInteraction script;
        RemoveTree(kDiscM);
        RemoveTree(destination_.path() + L"\\game");
        // The only disc 0 waits outside any drive until the prompt puts it into M:.
        RemoveTree(kWork + L"\\launch");
        const std::string bytes = PatternBytes(2100000, 5);
        ASSERT_TRUE(WriteFileBytes(kWork + L"\\disc0\\drvno.dat", "drvno:0\r\n"));
        ASSERT_TRUE(WriteFileBytes(kWork + L"\\disc0\\data\\big.dat", bytes));

        script.OnMessage([&](const ShownMessage& shown) {
            if (shown.title != L"ディスク交換") return;
            PressCancelAndCloseBox(shown.owner);
            EXPECT_TRUE(MoveFileW((kWork + L"\\disc0").c_str(), kDiscM.c_str()));
        });
        script.AnswerMessages({IDRETRY, answer, IDOK});

        DialogRun run;
        INT_PTR result = Install(L"0,big.dat,2100000,0\r\n", &run);

        std::vector<std::wstring> texts = script.MessageTexts();
        ASSERT_EQ(texts.size(), 3u);
        EXPECT_EQ(texts[1], kCancelQuestion);
        EXPECT_EQ(progress_.cancelRequested.load(), 0);
        if (answer == IDOK) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(texts[2], kInterrupted);
            EXPECT_EQ(InstalledBigFile(), "") << "the abort came before the first block";
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(texts[2], kCompleted);
            EXPECT_EQ(InstalledBigFile(), bytes);
        }
    }
}

TEST_F(ProgressDialogTest, EachInstallationStartsFromZeroAndAMissingListEndsQuietly) {
    ScriptedInteraction script;
    ASSERT_TRUE(WriteFileBytes(kWork + L"\\launch\\data\\a.dat", std::string(3000, 'a')));
    DialogRun first;
    ASSERT_EQ(Install(L"0,a.dat,3000,0\r\n", &first), 1);
    ASSERT_EQ(progress_.doneBytes.load(), 3000u);

    // Second run: the worker waits at a disc prompt for disc 1; a refresh forced there must
    // show nothing of the first run.
    uint64_t doneAtPrompt = 99, fileDoneAtPrompt = 99, sourceAtPrompt = 99;
    Screen screenAtPrompt{};
    script.OnMessage([&](const ShownMessage& shown) {
        if (shown.title != L"ディスク交換") return;
        doneAtPrompt = progress_.doneBytes.load();
        fileDoneAtPrompt = progress_.fileDoneBytes.load();
        sourceAtPrompt = progress_.sourceBytes.load();
        SendMessageW(shown.owner, WM_TIMER, IDT_PROGRESS, 0);
        screenAtPrompt = Look(shown.owner);
    });
    script.AnswerMessages({IDCANCEL, IDOK});
    DialogRun second;
    EXPECT_EQ(Install(L"1,b.dat,500,0\r\n", &second), 0);
    EXPECT_EQ(doneAtPrompt, 0u);
    EXPECT_EQ(fileDoneAtPrompt, 0u);
    EXPECT_EQ(sourceAtPrompt, 0u);
    EXPECT_EQ(progress_.totalBytes.load(), 500u);
    EXPECT_EQ(screenAtPrompt.overall, L"0 %");
    EXPECT_EQ(screenAtPrompt.file, L"0 %");

    // Third run without setup.lst: only the list's own message, no worker, no outcome box.
    size_t before = script.Messages().size();
    ASSERT_TRUE(DeleteFileW(BesideProgram(L"setup.lst").c_str()));
    DialogRun third;
    EXPECT_EQ(Open(&third), 0);
    std::vector<std::wstring> texts = script.MessageTexts();
    ASSERT_EQ(texts.size(), before + 1);
    EXPECT_EQ(texts.back(), L"ファイルリストが開けません。");
    EXPECT_TRUE(third.ticks.empty());
    EXPECT_EQ(third.workerAtStart, nullptr);
    EXPECT_EQ(progress_.doneBytes.load(), 0u);
    EXPECT_EQ(progress_.totalBytes.load(), 0u);
    EXPECT_EQ(progress_.StatusText(), L"開始");
}

}  // namespace

// The figures are exact in integers, the same in both builds, and never overflow.
TEST(ProgressPercentageTest, IsTheTruncatedQuotientOfTheCounts) {
    const uint64_t kMax = UINT64_MAX;
    const struct {
        uint64_t done, total;
        int percent;
    } cases[] = {
        {29, 100, 29},
        {57, 100, 57},
        {1, 3, 33},
        {2, 3, 66},
        {0, 0, 0},
        {5, 0, 0},
        {0, 7, 0},
        {1, 1, 100},
        {2500000, 1250000, 200},
        {kMax, kMax, 100},
        {kMax - 1, kMax, 99},
        {kMax / 100 * 29, kMax, 28},
        {kMax / 2 + 1, kMax, 50},
        {kMax / 2, kMax, 49},
        {21474836, 1, 2147483600},
        {21474837, 1, INT_MAX},
        {kMax, 1, INT_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgressPercentage(c.done, c.total), c.percent) << c.done << " of " << c.total;
}
