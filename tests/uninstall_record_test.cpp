#include <windows.h>
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <utility>
#include <vector>

#include "base/module.h"
#include "base/text.h"
#include "records/uninstall_record.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "uninstall/removal.h"

namespace {

using Items = std::vector<std::pair<int32_t, std::wstring>>;

const std::wstring kBase = L"T:\\h3-rec";
const std::wstring kGame = L"T:\\h3-rec\\game\\";

const wchar_t kMessageA[] =
    L"アンインストールファイルリストが開けません。\n\nインストールしたゲームデータは手動で削除してください。";
const wchar_t kMessageB[] =
    L"アンインストールファイルリストを作成できません。\n\nインストールしたゲームデータは手動で削除してください。";

std::wstring FromCp932(const std::string& bytes) {
    if (bytes.empty()) return L"";
    int length = MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

// The record's lines as text, each without its CR LF; fails the test on a line end other than CR LF.
std::vector<std::wstring> RecordLines(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, &bytes));
    std::wstring text = FromCp932(bytes);
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        EXPECT_NE(end, std::wstring::npos) << "every line ends with CR LF";
        if (end == std::wstring::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::wstring LongPath(const std::wstring& path) {
    wchar_t buffer[1024];
    DWORD length = GetLongPathNameW(path.c_str(), buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

class UninstallRecord : public ::testing::Test {
protected:
    void SetUp() override {
        _wsetlocale(LC_ALL, L"Japanese_Japan.932");
        templatePath_ = GetModuleFolder() + L"\\uninst.dat";
        DeleteFileW(templatePath_.c_str());
        owner_ = CreateWindowW(L"STATIC", L"progress", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        RemoveTree(kBase);
        SetInstallPath(kGame);
    }
    void TearDown() override {
        DeleteFileW(templatePath_.c_str());
        RemoveTree(kBase);
        DestroyWindow(owner_);
    }
    void SetInstallPath(const std::wstring& folder) {
        CopyText(installPath_, folder.c_str());
        CreateDirectoryW(kBase.c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    void WriteTemplate(const std::wstring& text) { ASSERT_TRUE(WriteFileBytes(templatePath_, ToCp932(text))); }

    Items ListItems() const {
        Items items;
        for (const UninstallItem& item : uninstallList_) items.emplace_back(item.kind, item.path);
        return items;
    }
    void AddItem(int32_t kind, const std::wstring& path) {
        UninstallItem item = {};
        item.kind = kind;
        ASSERT_TRUE(CopyText(item.path, path.c_str()));
        uninstallList_.push_back(item);
    }
    bool Write() { return WriteUninstallRecord(installPath_, &uninstallList_, owner_); }
    bool Read(const std::wstring& recordPath) { return ReadUninstallRecord(recordPath.c_str(), &uninstallList_); }

    std::wstring templatePath_;
    HWND owner_ = nullptr;
    wchar_t installPath_[kPathCapacity] = L"";
    std::vector<UninstallItem> uninstallList_;
};

TEST_F(UninstallRecord, TemplateLinesJoinTheListUnderTheInstallFolder) {
    ScriptedInteraction script;
    WriteTemplate(
        L"abc,readme.txt\r\n"
        L" 2,x.ini\r\n"
        L"-1,y.ini\r\n"
        L"0,a,b.txt\r\n"
        L"1,save\\*.sav\r\n"
        L"\r\n"
        L"5\r\n"
        L"7,\r\n"
        L",,\r\n"
        L",,4,,lead.txt\r\n"
        L"0,..\\outside.txt\r\n"
        L"0,sub\\..\\..\\up.txt\r\n"
        L"0,sub\\. .\\trimmed.txt\r\n"
        L"0,C:\\abs.txt\r\n"
        L"0,\\rooted.txt\r\n"
        L"0,/rooted.txt\r\n"
        L"0,x:y.txt\r\n"
        L"0,notes..txt\r\n"
        L"3,last.txt");  // no line end
    AddItem(0, kGame + L"data\\voice.pak");

    EXPECT_TRUE(Write());
    EXPECT_TRUE(script.Messages().empty());
    const Items expected = {
        {0, kGame + L"data\\voice.pak"}, {0, kGame + L"readme.txt"}, {2, kGame + L"x.ini"},
        {-1, kGame + L"y.ini"},          {0, kGame + L"a"},          {1, kGame + L"save\\*.sav"},
        {4, kGame + L"lead.txt"},        {0, kGame + L"notes..txt"}, {3, kGame + L"last.txt"},
    };
    EXPECT_EQ(ListItems(), expected);

    std::vector<std::wstring> lines = RecordLines(kGame + L"uninst.dat");
    std::vector<std::wstring> expectedLines;
    for (const auto& item : expected) expectedLines.push_back(std::to_wstring(item.first) + L"," + item.second);
    EXPECT_EQ(lines, expectedLines);

    AddItem(9, L"junk");
    ASSERT_TRUE(Read(kGame + L"uninst.dat"));
    EXPECT_EQ(ListItems(), expected);
}

TEST_F(UninstallRecord, AppendsToAnOldRecordAndReadsEitherLineEnd) {
    ScriptedInteraction script;
    WriteTemplate(L"");
    ASSERT_TRUE(WriteFileBytes(kGame + L"uninst.dat", "1,T:\\old\\kept.txt\r\n"));
    AddItem(0, kGame + L"new.dat");
    EXPECT_TRUE(Write());
    EXPECT_EQ(RecordLines(kGame + L"uninst.dat"),
              (std::vector<std::wstring>{L"1,T:\\old\\kept.txt", L"0," + kGame + L"new.dat"}));

    const Items expected = {{0, L"C:\\g\\a.txt"}, {-3, L"C:\\g\\b c.txt"}, {2, L"C:\\g\\*.sav"}};
    ASSERT_TRUE(WriteFileBytes(kBase + L"\\crlf.dat", "0,C:\\g\\a.txt\r\n-3,C:\\g\\b c.txt\r\n2,C:\\g\\*.sav\r\n"));
    ASSERT_TRUE(WriteFileBytes(kBase + L"\\lf.dat", "0,C:\\g\\a.txt\n-3,C:\\g\\b c.txt\n2,C:\\g\\*.sav"));
    ASSERT_TRUE(Read(kBase + L"\\crlf.dat"));
    EXPECT_EQ(ListItems(), expected);
    ASSERT_TRUE(Read(kBase + L"\\lf.dat"));
    EXPECT_EQ(ListItems(), expected);

    EXPECT_FALSE(Read(kBase + L"\\missing.dat"));
    EXPECT_TRUE(uninstallList_.empty());
    EXPECT_TRUE(script.Messages().empty()) << "the reader's caller reports a missing record";
}

TEST_F(UninstallRecord, JapanesePathsSurviveWriteAndRead) {
    ScriptedInteraction script;
    const std::wstring game = kBase + L"\\ゲーム①\\";
    SetInstallPath(game);
    WriteTemplate(L"0,説明書\\*.txt\r\n1,セーブ\\データ～.sav\r\n");
    AddItem(0, game + L"音声\\ソフト表.pak");

    EXPECT_TRUE(Write());
    const Items expected = {
        {0, game + L"音声\\ソフト表.pak"}, {0, game + L"説明書\\*.txt"}, {1, game + L"セーブ\\データ～.sav"}};
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(game + L"uninst.dat", &bytes));
    std::wstring text;
    for (const auto& item : expected) text += std::to_wstring(item.first) + L"," + item.second + L"\r\n";
    EXPECT_EQ(bytes, ToCp932(text)) << "code page 932 on disk";

    ASSERT_TRUE(Read(game + L"uninst.dat"));
    EXPECT_EQ(ListItems(), expected);
    EXPECT_TRUE(script.Messages().empty());
}

TEST_F(UninstallRecord, MissingTemplateAndUnwritableRecordAreReported) {
    ScriptedInteraction script;
    AddItem(0, kGame + L"a.dat");
    EXPECT_FALSE(Write());
    ASSERT_EQ(script.Messages().size(), 1u);
    ShownMessage shown = script.Messages()[0];
    EXPECT_EQ(shown.text, kMessageA);
    EXPECT_EQ(shown.title, L"エラー");
    EXPECT_EQ(shown.style, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(shown.owner, owner_);
    EXPECT_FALSE(FileExists(kGame + L"uninst.dat")) << "nothing is written without the template";

    WriteTemplate(L"0,b.dat\r\n");
    CopyText(installPath_, (kBase + L"\\no-such-folder\\").c_str());
    EXPECT_FALSE(Write());
    ASSERT_EQ(script.Messages().size(), 2u);
    shown = script.Messages()[1];
    EXPECT_EQ(shown.text, kMessageB);
    EXPECT_EQ(shown.title, L"エラー");
    EXPECT_EQ(shown.style, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(shown.owner, owner_);
}

// Paths that a line cannot carry as they are (over the reader's 258 characters, a comma, a
// character outside code page 932) go in their 8.3 form when that names the same item, and are
// otherwise left out, and the player is told to remove the game by hand. Deleting what the
// record names then removes exactly the intended files.
TEST_F(UninstallRecord, PathsThatCannotBeCarriedNeverBecomeWrongLines) {
    ScriptedInteraction script;
    WriteTemplate(L"");
    ASSERT_EQ(kGame.size(), 15u);
    const std::wstring fits = kGame + std::wstring(256 - kGame.size(), L'f');          // "0," + 256 = 258
    const std::wstring tooLong = kGame + std::wstring(257 - kGame.size(), L'g');       // 259: short form
    const std::wstring negativeFits = kGame + std::wstring(254 - kGame.size(), L'n');  // "-12," + 254
    const std::wstring longFolder = kGame + std::wstring(236, L'L');
    const std::wstring pattern = longFolder + L"\\*.sav";  // 257: the folder's short form, pattern kept
    const std::wstring comma = kGame + L"c,d.txt";
    const std::wstring yen = kGame + L"e\u00a5f.txt";  // best fit would make it e\f.txt
    const std::wstring hangul = kGame + L"\ud55c\uae00.txt";
    const std::wstring missingAccent = kGame + L"caf\u00e9.txt";                      // no file: left out
    const std::wstring missingLong = kGame + std::wstring(258 - kGame.size(), L'm');  // no file: left out
    for (const std::wstring& file : {fits, tooLong, negativeFits, comma, yen, hangul}) {
        ASSERT_TRUE(WriteFileBytes(file, "x"));
    }
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + longFolder).c_str(), nullptr));  // beyond CreateDirectoryW's 248
    ASSERT_TRUE(WriteFileBytes(longFolder + L"\\a.sav", "x"));
    // What a cut or converted line would name instead (best fit, a replacement '?', a cut).
    const std::vector<std::wstring> decoys = {kGame + L"c", kGame + L"e\\f.txt", kGame + L"cafe.txt", kGame + L"hg.txt",
                                              tooLong.substr(0, 256)};
    for (const std::wstring& decoy : decoys) ASSERT_TRUE(WriteFileBytes(decoy, "decoy"));

    AddItem(0, fits);
    AddItem(0, tooLong);
    AddItem(-12, negativeFits);
    AddItem(0, pattern);
    AddItem(0, comma);
    AddItem(0, yen);
    AddItem(0, hangul);
    AddItem(0, missingAccent);
    AddItem(0, missingLong);
    EXPECT_FALSE(Write());
    ASSERT_EQ(script.Messages().size(), 1u);
    EXPECT_EQ(
        script.Messages()[0].text,
        L"アンインストールファイルリストに記録できないファイルがありました。\n\nインストールしたゲームデータは手動"
        L"で削除してください。");
    EXPECT_EQ(script.Messages()[0].style, static_cast<UINT>(MB_OK | MB_ICONERROR));

    std::vector<std::wstring> lines = RecordLines(kGame + L"uninst.dat");
    for (const std::wstring& line : lines) EXPECT_LE(line.size(), 258u) << testing::PrintToString(line);
    ASSERT_TRUE(Read(kGame + L"uninst.dat"));
    Items items = ListItems();
    ASSERT_EQ(items.size(), 7u) << "the two items without a file and a usable form are left out";
    EXPECT_EQ(items[0], std::make_pair(0, fits)) << "a line of exactly 258 characters stays as it is";
    EXPECT_EQ(items[2], std::make_pair(-12, negativeFits));
    EXPECT_NE(items[1].second, tooLong);
    EXPECT_EQ(LongPath(items[1].second), tooLong) << "the 8.3 form names the same file";
    EXPECT_EQ(items[3].second.substr(items[3].second.size() - 6), L"\\*.sav");
    EXPECT_EQ(LongPath(items[3].second.substr(0, items[3].second.size() - 6)), longFolder);
    EXPECT_EQ(LongPath(items[4].second), comma);
    EXPECT_EQ(LongPath(items[5].second), yen);
    EXPECT_EQ(LongPath(items[6].second), hangul);

    for (const auto& item : items) {
        if (item.first == 0) DeleteMatchingFiles(item.second.c_str());
    }
    for (const std::wstring& file : {fits, tooLong, comma, yen, hangul, longFolder + L"\\a.sav"}) {
        EXPECT_FALSE(FileExists(file)) << testing::PrintToString(file);
    }
    for (const std::wstring& decoy : decoys) EXPECT_TRUE(FileExists(decoy)) << testing::PrintToString(decoy);
}

TEST_F(UninstallRecord, ReaderNeverTakesPartOfAnOverlongLine) {
    const std::string good1 = "0,C:\\g\\first.txt\r\n";
    const std::string good2 = "1,C:\\g\\second.txt\r\n";
    const std::string limit = "0,C:\\" + std::string(253, 'k');  // 258 characters: taken
    const std::string over = "0,C:\\" + std::string(254, 'o');   // 259 characters: not taken
    const std::string huge = "0,C:\\" + std::string(600, 'h');   // several buffers long
    ASSERT_TRUE(
        WriteFileBytes(kBase + L"\\long.dat", good1 + over + "\r\n" + limit + "\r\n" + huge + "\r\n" + good2 + huge));
    ASSERT_TRUE(Read(kBase + L"\\long.dat"));
    const Items expected = {
        {0, L"C:\\g\\first.txt"}, {0, L"C:\\" + std::wstring(253, L'k')}, {1, L"C:\\g\\second.txt"}};
    EXPECT_EQ(ListItems(), expected);
}

}  // namespace
