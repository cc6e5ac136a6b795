#include <gtest/gtest.h>

#include <windows.h>

#include <locale.h>
#include <string>
#include <vector>

#include "base/module.h"
#include "base/text.h"
#include "install/file_list.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"

namespace {

const wchar_t kInstallPath[] = L"T:\\h2-filelist\\ゲーム\\";
const HWND kOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4242));

// setup.lst lives beside the running program; each test writes its own and removes it.
class FileListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(_wsetlocale(LC_ALL, L"Japanese_Japan.932"), nullptr);
        listPath_ = GetModuleFolder() + L"\\setup.lst";
        DeleteFileW(listPath_.c_str());
        ASSERT_TRUE(CopyText(settings_.InstallPath, kInstallPath));
        installation_.progress.progressWindow = kOwner;
    }
    void TearDown() override { DeleteFileW(listPath_.c_str()); }

    void WriteList(const std::wstring& text) { ASSERT_TRUE(WriteFileBytes(listPath_, ToCp932(text))); }

    // Leaves an earlier load's records in both lists, so a test sees whether they are emptied.
    void FillListsWithLeftovers() {
        installation_.files.assign(3, FileEntry{});
        installation_.uninstallItems.assign(2, UninstallItem{});
    }

    // A list the load must refuse: it fails, both earlier lists end empty, and exactly one error
    // box owned by the progress window says why.
    void ExpectRefused(const std::wstring& text) {
        FillListsWithLeftovers();
        ScriptedInteraction script;
        EXPECT_FALSE(LoadFileList(&installation_));
        EXPECT_TRUE(installation_.files.empty());
        EXPECT_TRUE(installation_.uninstallItems.empty());
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, text);
        EXPECT_EQ(shown[0].title, L"エラー");
        EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(shown[0].owner, kOwner);
    }

    std::wstring listPath_;
    InstallSettings settings_{};
    Installation installation_{settings_};
};

struct ExpectedEntry {
    const wchar_t* name;
    int64_t size;
    const wchar_t* destinationTail;  // after kInstallPath
    uint16_t disc;
    const wchar_t* sourcePath;
    const wchar_t* crcText;
};

void ExpectEntries(const Installation& installation, const std::vector<ExpectedEntry>& expected) {
    const std::vector<FileEntry>& fileList = installation.files;
    const std::vector<UninstallItem>& uninstallList = installation.uninstallItems;
    ASSERT_EQ(fileList.size(), expected.size());
    ASSERT_EQ(uninstallList.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const FileEntry& entry = fileList[i];
        EXPECT_STREQ(entry.name, expected[i].name);
        EXPECT_EQ(entry.size, expected[i].size);
        EXPECT_EQ(std::wstring(entry.destinationPath), std::wstring(kInstallPath) + expected[i].destinationTail);
        EXPECT_EQ(entry.disc, expected[i].disc);
        EXPECT_STREQ(entry.sourcePath, expected[i].sourcePath);
        EXPECT_STREQ(entry.crcText, expected[i].crcText);
        EXPECT_EQ(uninstallList[i].kind, 0);
        EXPECT_STREQ(uninstallList[i].path, entry.destinationPath);
    }
}

const wchar_t* const kMixedLines[] = {
    L"0,game.exe,120,0a1b2c3d",    L"1,movie\\op.mpg.bz2,300,1f2e3d4c",
    L",,0,,a.dat,5,00000000",      L"  2, sp ace.dat, 77 , ABCDEF01",
    L"3,x.BZ2,-4,zz,extra,fields", L"+9,日本語\\ソフト表示.bz2,5000000000,12abcdef",
};

const std::vector<ExpectedEntry> kMixedEntries = {
    {L"game.exe", 120, L"game.exe", 0, L"data\\game.exe", L"0a1b2c3d"},
    {L"op.mpg.bz2", 300, L"movie\\op.mpg", 1, L"data\\movie\\op.mpg.bz2", L"1f2e3d4c"},
    {L"a.dat", 5, L"a.dat", 0, L"data\\a.dat", L"00000000"},
    {L" sp ace.dat", 77, L" sp ace.dat", 2, L"data\\ sp ace.dat", L" ABCDEF01"},
    {L"x.BZ2", -4, L"x.BZ2", 3, L"data\\x.BZ2", L"zz"},
    {L"ソフト表示.bz2", 5000000000LL, L"日本語\\ソフト表示", 9, L"data\\日本語\\ソフト表示.bz2", L"12abcdef"},
};

TEST_F(FileListTest, FieldsFollowTheTokenisingAndNumberRulesWithEitherLineEnd) {
    for (const wchar_t* lineEnd : {L"\r\n", L"\n"}) {
        SCOPED_TRACE(lineEnd[0] == L'\r' ? "CR LF" : "LF");
        std::wstring text;
        for (size_t i = 0; i < 6; ++i) {
            text += kMixedLines[i];
            if (i == 2) text += lineEnd;  // an empty line is skipped
            if (i < 5) text += lineEnd;   // the last line has no line end
        }
        WriteList(text);
        FillListsWithLeftovers();
        ScriptedInteraction script;
        ASSERT_TRUE(LoadFileList(&installation_));
        EXPECT_TRUE(script.Messages().empty());
        ExpectEntries(installation_, kMixedEntries);
    }
}

TEST_F(FileListTest, NumbersReadLikeTheRuntimeAndDiscTruncatesToSixteenBits) {
    FileEntry entry;
    ASSERT_TRUE(ParseFileListLine(L"70000,n.dat,12abc,x", kInstallPath, &entry));
    EXPECT_EQ(entry.disc, static_cast<uint16_t>(70000));
    EXPECT_EQ(entry.size, 12);
    ASSERT_TRUE(ParseFileListLine(L"disc,n.dat,size,x", kInstallPath, &entry));
    EXPECT_EQ(entry.disc, 0);
    EXPECT_EQ(entry.size, 0);
    ASSERT_TRUE(ParseFileListLine(L"\t-1, n.dat ,\t 18446744073709551616,x", kInstallPath, &entry));
    EXPECT_EQ(entry.disc, 0xFFFF);
    EXPECT_EQ(entry.size, INT64_MAX) << "wcstoll saturates";
    EXPECT_STREQ(entry.name, L" n.dat ");
}

TEST_F(FileListTest, LoadResetsProgressButNotTheCancelFlag) {
    WriteList(L"0,a.dat,1,00000000\n");
    installation_.progress.sourceBytes = 1;
    installation_.progress.totalBytes = 2;
    installation_.progress.doneBytes = 3;
    installation_.progress.fileBytes = 4;
    installation_.progress.fileDoneBytes = 5;
    installation_.progress.cancelRequested = 1;
    installation_.progress.SetStatusText(L"前回の状態");
    ScriptedInteraction script;
    ASSERT_TRUE(LoadFileList(&installation_));
    EXPECT_EQ(installation_.progress.sourceBytes.load(), 0u);
    EXPECT_EQ(installation_.progress.totalBytes.load(), 0u);
    EXPECT_EQ(installation_.progress.doneBytes.load(), 0u);
    EXPECT_EQ(installation_.progress.fileBytes.load(), 0u);
    EXPECT_EQ(installation_.progress.fileDoneBytes.load(), 0u);
    EXPECT_EQ(installation_.progress.StatusText(), L"開始");
    EXPECT_EQ(installation_.progress.cancelRequested.load(), 1);
}

TEST_F(FileListTest, EmptyAndMissingLists) {
    {
        WriteList(L"");
        FillListsWithLeftovers();
        ScriptedInteraction script;
        EXPECT_TRUE(LoadFileList(&installation_));
        EXPECT_TRUE(installation_.files.empty());
        EXPECT_TRUE(installation_.uninstallItems.empty());
        EXPECT_TRUE(script.Messages().empty());
    }
    {
        DeleteFileW(listPath_.c_str());
        ExpectRefused(L"ファイルリストが開けません。");
    }
}

TEST_F(FileListTest, LineLengthLimitIsTwoHundredFiftyEightWithTheLineFeed) {
    // 257 characters and the line feed fit; one more character makes the line over-long.
    auto lineOfLength = [](size_t length) {
        std::wstring head = L"0,";
        std::wstring tail = L",1,00000000";
        return head + std::wstring(length - head.size() - tail.size(), L'a') + tail;
    };
    ASSERT_TRUE(CopyText(settings_.InstallPath, L"C:\\"));  // so the long names fit the paths
    {
        WriteList(L"0,first.dat,1,0\n" + lineOfLength(257) + L"\n");
        ScriptedInteraction script;
        EXPECT_TRUE(LoadFileList(&installation_));
        EXPECT_EQ(installation_.files.size(), 2u);
    }
    {
        WriteList(L"0,first.dat,1,0\n" + lineOfLength(258));  // fills the buffer, then the file ends
        ScriptedInteraction script;
        EXPECT_TRUE(LoadFileList(&installation_));
        EXPECT_EQ(installation_.files.size(), 2u);
    }
    {
        const std::wstring longLine = lineOfLength(258);
        WriteList(L"0,first.dat,1,0\n" + longLine + L"\n0,third.dat,1,0\n");
        ExpectRefused(L"ファイルリストの 2 行目が正しくありません。\n" + longLine);
    }
}

TEST_F(FileListTest, MalformedOrEscapingLinesFailTheWholeLoad) {
    const std::wstring longFolder = std::wstring(240, L'f') + L"\\";
    struct Case {
        const wchar_t* why;
        std::wstring line;
    };
    const std::vector<Case> cases = {
        {L"three fields", L"0,a.dat,5"},
        {L"commas only", L",,,,"},
        {L"spaces only", L"   "},
        {L"remainder of a split line", std::wstring(300, L'x') + L",0,a,1,0"},
        {L"disc field of 16 characters", L"0000000000000001,a.dat,1,00000000"},
        {L"destination longer than 259", L"0," + longFolder + L"g.dat,1,0"},
        {L"parent component", L"0,..\\evil.dat,1,0"},
        {L"parent component inside", L"0,a\\..\\..\\evil.dat,1,0"},
        {L"dots and spaces resolve to a parent", L"0,a\\.. \\..\\..\\evil.dat,1,0"},
        {L"current component", L"0,.\\a.dat,1,0"},
        {L"drive", L"0,C:\\evil.dat,1,0"},
        {L"drive-relative", L"0,C:evil.dat,1,0"},
        {L"stream", L"0,a.dat:hidden,1,0"},
        {L"root", L"0,\\evil.dat,1,0"},
        {L"network", L"0,\\\\server\\share\\evil.dat,1,0"},
        {L"empty component", L"0,a\\\\b.dat,1,0"},
        {L"trailing separator", L"0,folder\\,1,0"},
        {L"forward slash", L"0,a/../../evil.dat,1,0"},
        {L"wildcard", L"0,a*.dat,1,0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        WriteList(L"0,good.dat,1,00000000\r\n1,sub\\good2.dat,2,00000000\r\n" + c.line + L"\r\n0,after.dat,1,0\r\n");
        // An over-long line is shown as far as it was read.
        std::wstring shownLine = c.line.size() > 258 ? c.line.substr(0, 258) : c.line;
        ExpectRefused(L"ファイルリストの 3 行目が正しくありません。\n" + shownLine);
    }
}

TEST_F(FileListTest, ParsedPathsAlwaysFitTheirFields) {
    FileEntry entry;
    // "data\" and a 255-character list path need 260 characters.
    std::wstring path255(255, L'p');
    EXPECT_FALSE(ParseFileListLine((L"0," + path255 + L",1,0").c_str(), L"C:\\", &entry));
    std::wstring path254(254, L'p');
    ASSERT_TRUE(ParseFileListLine((L"0," + path254 + L",1,0").c_str(), L"C:\\", &entry));
    EXPECT_EQ(wcslen(entry.sourcePath), 259u);
    // The ".bz2" cut is made before the length is judged.
    std::wstring folder = L"C:\\" + std::wstring(250, L'd') + L"\\";  // 254 characters
    EXPECT_TRUE(ParseFileListLine(L"0,abcde.bz2,1,0", folder.c_str(), &entry));
    EXPECT_EQ(wcslen(entry.destinationPath), 259u);
    EXPECT_FALSE(ParseFileListLine(L"0,abcdef.bz2,1,0", folder.c_str(), &entry));
    EXPECT_FALSE(ParseFileListLine(L"0,abcdef.bin,1,0", folder.c_str(), &entry));
    // A CRC text of 256 characters does not fit its field.
    EXPECT_FALSE(ParseFileListLine((L"0,a,1," + std::wstring(256, L'c')).c_str(), L"C:\\", &entry));
    EXPECT_TRUE(ParseFileListLine((L"0,a,1," + std::wstring(255, L'c')).c_str(), L"C:\\", &entry));
}

TEST(SafeListPath, OnlyRelativePathsBelowTheFolder) {
    for (const wchar_t* safe :
         {L"a.dat", L"sub\\b.dat", L"日本語\\ファイル.bz2", L" lead space", L"a..b\\c.d", L"...x"}) {
        EXPECT_TRUE(IsSafeListPath(safe)) << safe;
    }
    for (const wchar_t* unsafe : {L"", L"..", L".", L"...", L". .", L"a\\..", L"..\\a", L"C:\\a", L"a:b", L"\\a",
                                  L"\\\\?\\C:\\a", L"a\\", L"a\\\\b", L"a/b", L"a\tb", L"a?b"}) {
        EXPECT_FALSE(IsSafeListPath(unsafe)) << unsafe;
    }
}

}  // namespace
