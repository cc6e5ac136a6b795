#include <windows.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

#include <clocale>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/interaction.h"
#include "base/text.h"
#include "install/disc.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"

namespace {

// M: and N: are CD-ROM drives showing T:\cd-m and T:\cd-n; a missing folder is an empty drive.
const std::wstring kDriveM = L"T:\\cd-m";
const std::wstring kDriveN = L"T:\\cd-n";
const std::wstring kBase = L"T:\\h3-disc";

const wchar_t kPromptDisc1[] =
    L"ディスク 1 を挿入して「再試行」を押して下さい。\n\n"
    L"※ディスクを挿入した際に「自動再生」ウィンドウが表示された場合は閉じてください。";
const wchar_t kPromptDisc2[] =
    L"ディスク 2 を挿入して「再試行」を押して下さい。\n\n"
    L"※ディスクを挿入した際に「自動再生」ウィンドウが表示された場合は閉じてください。";
const wchar_t kBrowserTitle[] = L"指定番号ディスクのあるフォルダを指定して下さい。";

void WriteMarker(const std::wstring& folder, const std::wstring& content) {
    ASSERT_TRUE(WriteFileBytes(folder + L"\\drvno.dat", ToCp932(content)));
}

// What the system says about a drive, for failure messages.
std::string DriveState(const wchar_t* root) {
    BOOL volume = GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0);
    return "type " + std::to_string(GetDriveTypeW(root)) + ", volume " + std::to_string(volume) + ", attributes " +
           std::to_string(GetFileAttributesW(root));
}

// Scripts the prompts and keeps a faulty search from looping for ever: from the 12th prompt on,
// the keys are released and the next prompt is cancelled. `step` sees the number of each prompt.
void GuardPrompts(ScriptedInteraction& script, std::function<void(int)> step = nullptr) {
    auto count = std::make_shared<int>(0);
    script.OnMessage([&script, count, step](const ShownMessage&) {
        ++*count;
        if (step) step(*count);
        if (*count >= 12) {
            script.HoldKeys({});
            script.AnswerMessages({IDCANCEL});
        }
    });
}

class Disc : public ::testing::Test {
protected:
    void SetUp() override {
        _wsetlocale(LC_ALL, L"Japanese_Japan.932");
        owner_ = CreateWindowW(L"STATIC", L"progress", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        RemoveDiscs();
    }
    void TearDown() override {
        RemoveDiscs();
        DestroyWindow(owner_);
    }
    static void RemoveDiscs() {
        RemoveTree(kDriveM);
        RemoveTree(kDriveN);
        RemoveTree(kBase);
    }
    void SetSource(const std::wstring& folder) { CopyText(source_, folder.c_str()); }
    std::wstring Source() const { return source_; }

    HWND owner_ = nullptr;
    wchar_t source_[kPathCapacity] = L"";  // the source folder the disc search starts from and moves
};

TEST_F(Disc, MarkerFirstWordDecides) {
    struct Case {
        const wchar_t* content;
        uint16_t disc;
        bool matches;
    };
    const std::wstring longTail(5000, L'x');
    const Case cases[] = {
        {L"drvno:0", 0, true},
        {L"drvno:0\r\n", 1, false},
        {L"drvno:1xyz", 1, true},
        {L"DRVNO:1", 1, false},
        {L"\r\n\r\n   drvno:1\r\n", 1, true},
        {L"\tdrvno:2 drvno:3", 3, false},
        {L"drvno:", 0, false},
        {L"drvno:;", 11, true},  // the seventh character minus '0'
        {L"", 0, false},
        {L"ディスク１ drvno:1", 1, false},
    };
    ASSERT_TRUE(CreateDirectoryW(kBase.c_str(), nullptr));
    const std::wstring marker = kBase + L"\\drvno.dat";
    for (const Case& c : cases) {
        WriteMarker(kBase, c.content);
        EXPECT_EQ(ReadDiscMarker(marker.c_str(), c.disc), c.matches) << testing::PrintToString(std::wstring(c.content));
    }
    // An over-long first word is read only up to its 255th character, without overrunning.
    WriteMarker(kBase, L"drvno:1" + longTail + L" drvno:2");
    EXPECT_TRUE(ReadDiscMarker(marker.c_str(), 1));
    EXPECT_FALSE(ReadDiscMarker(marker.c_str(), 2));
    WriteMarker(kBase, longTail + L"drvno:1");
    EXPECT_FALSE(ReadDiscMarker(marker.c_str(), 1));

    EXPECT_FALSE(ReadDiscMarker((kBase + L"\\missing.dat").c_str(), 0));
}

TEST_F(Disc, CandidateDrives) {
    ASSERT_TRUE(CreateDirectoryW(kDriveM.c_str(), nullptr));
    EXPECT_TRUE(IsCandidateDrive(L'M')) << "a CD-ROM drive with a disc; " << DriveState(L"M:\\");
    EXPECT_FALSE(IsCandidateDrive(L'N')) << "an empty CD-ROM drive; " << DriveState(L"N:\\");
    EXPECT_TRUE(IsCandidateDrive(L'T')) << "a fixed drive";
    EXPECT_TRUE(IsCandidateDrive(L'C'));
    DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if ((drives & (1u << (letter - L'A'))) == 0) {
            EXPECT_FALSE(IsCandidateDrive(letter)) << char(letter);
        }
    }
    EXPECT_FALSE(IsCandidateDrive(L'@'));
    EXPECT_FALSE(IsCandidateDrive(L'['));
}

TEST_F(Disc, SearchOrderWithoutPrompt) {
    ScriptedInteraction script;
    GuardPrompts(script);
    script.AnswerMessages({IDCANCEL, IDCANCEL});

    // The current source folder holds the disc: it stays, even when a drive holds it too.
    WriteMarker(kBase + L"\\launch", L"drvno:0\r\n");
    WriteMarker(kDriveM, L"drvno:0\r\n");
    WriteMarker(kDriveN, L"drvno:1\r\n");
    SetSource(kBase + L"\\launch");
    EXPECT_TRUE(LocateDisc(0, owner_, source_));
    EXPECT_EQ(Source(), kBase + L"\\launch");

    // Another disc in another drive: the source becomes that drive.
    SetSource(L"M:");
    EXPECT_TRUE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(Source(), L"N:");

    // Two drives with the same disc: the lower letter, unless the current source matches.
    WriteMarker(kDriveM, L"drvno:1\r\n");
    SetSource(kBase + L"\\launch");
    EXPECT_TRUE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(Source(), L"M:");
    SetSource(L"N:");
    EXPECT_TRUE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(Source(), L"N:");

    // A folder copy that is not the source is not found by the scan.
    WriteMarker(kBase + L"\\copy", L"drvno:2\r\n");
    EXPECT_FALSE(LocateDisc(2, owner_, source_));
    EXPECT_EQ(Source(), L"N:");
    ASSERT_EQ(script.Messages().size(), 1u) << "only the failed search asked";
}

TEST_F(Disc, PromptRetriesUntilTheDiscArrivesAndCancelStops) {
    ScriptedInteraction script;
    GuardPrompts(script);
    WriteMarker(kBase + L"\\launch", L"drvno:0\r\n");
    WriteMarker(kBase + L"\\disc1", L"drvno:1\r\n");
    SetSource(kBase + L"\\launch");

    // Plain Cancel: false, source unchanged, no browser.
    script.AnswerMessages({IDCANCEL});
    EXPECT_FALSE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(Source(), kBase + L"\\launch");
    ASSERT_EQ(script.Messages().size(), 1u);
    const ShownMessage prompt = script.Messages()[0];
    EXPECT_EQ(prompt.text, kPromptDisc2);
    EXPECT_EQ(prompt.title, L"ディスク交換");
    EXPECT_EQ(prompt.style, static_cast<UINT>(MB_RETRYCANCEL | MB_ICONINFORMATION));
    EXPECT_EQ(prompt.owner, owner_);
    EXPECT_TRUE(script.Browsers().empty());

    // Retry twice with no disc; the disc goes into N: while the second prompt waits.
    int shown = 0;
    GuardPrompts(script, [&](int number) {
        shown = number;
        if (number == 2) {
            EXPECT_TRUE(MoveFileW((kBase + L"\\disc1").c_str(), kDriveN.c_str()));
        }
    });
    script.AnswerMessages({IDRETRY, IDRETRY, IDCANCEL, IDCANCEL});
    EXPECT_TRUE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(Source(), L"N:");

    // Disc 0 is announced as disc 1; only Shift without Ctrl is a plain Cancel.
    GuardPrompts(script);
    script.HoldKeys({VK_SHIFT});
    script.AnswerMessages({IDCANCEL});
    EXPECT_FALSE(LocateDisc(0, owner_, source_));
    EXPECT_EQ(script.Messages().back().text, kPromptDisc1);
    EXPECT_TRUE(script.Browsers().empty());
    EXPECT_EQ(Source(), L"N:");
}

TEST_F(Disc, ShiftCtrlCancelOpensTheFolderBrowser) {
    ScriptedInteraction script;
    WriteMarker(kBase + L"\\launch", L"drvno:0\r\n");
    WriteMarker(kBase + L"\\copy1", L"drvno:1\r\n");
    WriteMarker(kBase + L"\\wrong", L"drvno:3\r\n");
    WriteMarker(kBase + L"\\disc1", L"drvno:1\r\n");
    SetSource(kBase + L"\\launch");
    GuardPrompts(script);
    script.HoldKeys({VK_SHIFT, VK_CONTROL});

    // A cancelled browser and a folder with another disc both lead back to the prompt.
    script.ChooseFolders({L"", kBase + L"\\wrong", kBase + L"\\copy1"});
    script.AnswerMessages({IDCANCEL, IDCANCEL, IDCANCEL});
    EXPECT_TRUE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(Source(), kBase + L"\\copy1");
    EXPECT_EQ(script.Messages().size(), 3u);
    ASSERT_EQ(script.Browsers().size(), 3u);
    const ShownBrowser browser = script.Browsers()[0];
    EXPECT_EQ(browser.title, kBrowserTitle);
    EXPECT_EQ(browser.flags, static_cast<UINT>(BIF_RETURNONLYFSDIRS));
    EXPECT_EQ(browser.owner, owner_);

    // A drive root chosen in the browser becomes the letter and colon. The disc enters M: while
    // the prompt waits, and the browser is answered before any new scan.
    SetSource(kBase + L"\\launch");
    GuardPrompts(script, [&](int number) {
        if (number == 1) {
            EXPECT_TRUE(MoveFileW((kBase + L"\\disc1").c_str(), kDriveM.c_str()));
        }
    });
    script.ChooseFolders({L"M:\\"});
    script.AnswerMessages({IDCANCEL});
    EXPECT_TRUE(LocateDisc(1, owner_, source_));
    EXPECT_EQ(Source(), L"M:");
    EXPECT_EQ(script.Messages().size(), 4u);
}

// Records what the browser's thread looks like while the browser is open.
class ApartmentProbe final : public Interaction {
public:
    int Message(HWND, const wchar_t*, const wchar_t*, UINT) override { return IDCANCEL; }
    PIDLIST_ABSOLUTE BrowseForFolder(BROWSEINFOW*) override {
        // S_FALSE: this thread already has COM, as the browser needs.
        HRESULT state = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(state)) CoUninitialize();
        stateDuringBrowser = state;
        PIDLIST_ABSOLUTE item = nullptr;
        SHParseDisplayName(L"T:\\", nullptr, &item, 0, nullptr);
        return item;
    }
    SHORT AsyncKeyState(int) override { return 0; }
    HRESULT stateDuringBrowser = E_FAIL;
};

TEST_F(Disc, BrowserOnAWorkerThreadHasComAndReleasesIt) {
    ApartmentProbe probe;
    BindInteraction(&probe);
    std::wstring folder;
    bool chosen = false;
    HRESULT stateAfter = E_FAIL;
    std::thread worker([&] {
        chosen = BrowseForDiscFolder(owner_, &folder);
        stateAfter = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(stateAfter)) CoUninitialize();
    });
    worker.join();
    BindInteraction(nullptr);
    EXPECT_EQ(probe.stateDuringBrowser, S_FALSE);
    EXPECT_EQ(stateAfter, S_OK) << "the worker's COM was uninitialised again";
    EXPECT_TRUE(chosen);
    EXPECT_EQ(folder, L"T:");
}

}  // namespace
