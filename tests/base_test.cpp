#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>

#include "base/code_page.h"
#include "base/module.h"
#include "base/paths.h"
#include "base/text.h"
#include "install/progress_state.h"
#include "support/test_files.h"

namespace {

// A code page that no system provides.
constexpr UINT kUnusableCodePage = 12345;

}  // namespace

TEST(BoundedText, CopyAppendAndBackslashNeverOverflow) {
    wchar_t buffer[8];
    EXPECT_TRUE(CopyText(buffer, L"abcdefg"));
    EXPECT_STREQ(buffer, L"abcdefg");
    EXPECT_FALSE(CopyText(buffer, L"abcdefgh"));
    EXPECT_STREQ(buffer, L"");

    EXPECT_TRUE(CopyText(buffer, L"C:"));
    EXPECT_TRUE(AddBackslash(buffer));
    EXPECT_TRUE(AddBackslash(buffer));
    EXPECT_STREQ(buffer, L"C:\\");
    EXPECT_TRUE(AppendText(buffer, L"game"));
    EXPECT_FALSE(AppendText(buffer, L"x"));
    EXPECT_STREQ(buffer, L"C:\\game");
    EXPECT_FALSE(AddBackslash(buffer));
    EXPECT_STREQ(buffer, L"C:\\game");

    EXPECT_EQ(FormatText(L"%ls=%d %%", L"日本語", 42), L"日本語=42 %");
    // Sizes followed by text, as the messages and mkdisc's summaries use them; and the C99
    // two-digit exponent, which tells this formatter from msvcrt's on any Windows.
    EXPECT_EQ(FormatText(L"%zu files, %ls", static_cast<size_t>(4294967295u), L"ok"), L"4294967295 files, ok");
    EXPECT_EQ(FormatText(L"%llu/%lld %ls", 18446744073709551615ull, -9223372036854775807ll - 1, L"byte"),
              L"18446744073709551615/-9223372036854775808 byte");
    EXPECT_EQ(FormatText(L"%.1e", 1.0), L"1.0e+00");
}

TEST(CodePageConversion, FailuresGiveEmptyResultsInsteadOfExceptions) {
    bool converted = true;
    EXPECT_EQ(WideToCodePage(kUnusableCodePage, L"abc", &converted), "");
    EXPECT_FALSE(converted);
    converted = true;
    EXPECT_EQ(CodePageToWide(kUnusableCodePage, "abc", &converted), L"");
    EXPECT_FALSE(converted);

    converted = false;
    EXPECT_EQ(WideToCodePage(932, L"", &converted), "");
    EXPECT_TRUE(converted) << "an empty text converts";

    EXPECT_EQ(WideToCodePage932(L"日本語 ｶﾅ"), ToCp932(L"日本語 ｶﾅ"));
    EXPECT_EQ(CodePage932ToWide(ToCp932(L"表示～①")), L"表示～①");
    std::string replaced = WideToCodePage932(L"한");
    EXPECT_EQ(replaced.size(), 1u) << "a character outside code page 932 becomes one replacement character";
    EXPECT_EQ(CodePage932ToWide(replaced).find(L'한'), std::wstring::npos);
}

TEST(ModuleFolder, IsTheRunningProgramsFolderWithoutAFinalBackslash) {
    std::wstring folder = GetModuleFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
    EXPECT_TRUE(FolderExists(folder));
    EXPECT_TRUE(FileExists(folder + L"\\base_test.exe"));
}

TEST(PathInsideFolder, ResolvesDotsAndIgnoresCaseButNothingElse) {
    struct Case {
        const wchar_t* path;
        const wchar_t* folder;
        bool inside;
    };
    const Case cases[] = {
        {L"C:\\Games\\Sample\\a.dat", L"C:\\Games\\Sample\\", true},
        {L"c:\\games\\SAMPLE\\sub\\a.dat", L"C:\\Games\\Sample\\", true},
        {L"C:\\Games\\Sample\\save\\*.sav", L"C:\\Games\\Sample", true},
        {L"C:\\Games\\Sample\\sub\\..\\a.dat", L"C:\\Games\\Sample\\", true},
        {L"C:\\Games\\Sample\\.\\a.dat", L"C:\\Games\\Sample\\", true},
        {L"C:\\Games\\Sample/sub/a.dat", L"C:\\Games\\Sample\\", true},
        {L"\\\\server\\share\\Games\\a.dat", L"\\\\server\\share\\Games\\", true},
        {L"C:\\Games\\Sample\\..\\Other\\a.dat", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\Sample/../Other/a.dat", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\Sample\\sub\\..\\..\\*", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\SampleOther\\a.dat", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\SampleOther\\a.dat", L"C:\\Games\\Sample", false},
        {L"\\\\server\\shareOther\\a.dat", L"\\\\server\\share", false},
        {L"C:\\Games\\Sample", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\Sample\\", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\Sample\\.", L"C:\\Games\\Sample\\", false},
        {L"D:\\Games\\Sample\\a.dat", L"C:\\Games\\Sample\\", false},
        {L"a.dat", L"C:\\Games\\Sample\\", false},
        {L"\\Games\\Sample\\a.dat", L"C:\\Games\\Sample\\", false},
        {L"C:Games\\Sample\\a.dat", L"C:\\Games\\Sample\\", false},
        {L"\\\\?\\C:\\Games\\Sample\\..\\x", L"C:\\Games\\Sample\\", false},
        {L"\\\\server\\share\\Games\\..\\..\\other\\a.dat", L"\\\\server\\share\\Games\\", false},
        {L"", L"C:\\Games\\Sample\\", false},
        {L"C:\\Games\\Sample\\a.dat", L"", false},
        {L"C:\\Games\\Sample\\a.dat", L"Games\\Sample\\", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsPathInsideFolder(c.path, c.folder), c.inside)
            << std::string(c.path, c.path + wcslen(c.path)) << " in "
            << std::string(c.folder, c.folder + wcslen(c.folder));
    }
}

TEST(PathRoot, DrivesSharesAndDevicesWithTheirLengths) {
    struct Case {
        const wchar_t* path;
        RootKind kind;
        size_t length;      // of the parsed root
        size_t rootLength;  // what the removal may take as a root: drives and shares only
    };
    const Case cases[] = {
        {L"C:\\Games\\a.dat", RootKind::kDrive, 3, 3},
        {L"c:/", RootKind::kDrive, 3, 3},
        {L"C:", RootKind::kNone, 0, 0},
        {L"C:Games", RootKind::kNone, 0, 0},
        {L"1:\\Games", RootKind::kNone, 0, 0},
        {L"\\Games\\a.dat", RootKind::kNone, 0, 0},
        {L"Games\\a.dat", RootKind::kNone, 0, 0},
        {L"", RootKind::kNone, 0, 0},
        {L"\\\\server\\share\\Games", RootKind::kShare, 15, 15},
        {L"\\\\server\\share\\", RootKind::kShare, 15, 15},
        {L"\\\\server\\share", RootKind::kShare, 14, 14},
        {L"//server/share/Games", RootKind::kShare, 15, 15},
        {L"\\\\server\\", RootKind::kNone, 0, 0},
        {L"\\\\server", RootKind::kNone, 0, 0},
        {L"\\\\\\share\\Games", RootKind::kNone, 0, 0},
        {L"\\\\server\\\\Games", RootKind::kNone, 0, 0},
        {L"\\\\?\\C:\\Games", RootKind::kDevice, 7, 0},
        {L"\\\\.\\PhysicalDrive0\\x", RootKind::kDevice, 19, 0},
        {L"\\\\?\\UNC\\server\\share", RootKind::kDevice, 8, 0},
    };
    for (const Case& c : cases) {
        const std::string shown(c.path, c.path + wcslen(c.path));
        PathRoot root = ParsePathRoot(c.path);
        EXPECT_EQ(root.kind, c.kind) << shown;
        EXPECT_EQ(root.length, c.length) << shown;
        EXPECT_EQ(RootLength(c.path), c.rootLength) << shown;
    }
}

TEST(ProgressState, ResetAndWholeStatusTextsAcrossThreads) {
    ProgressState progressState;
    progressState.doneBytes = 7;
    progressState.cancelRequested = 1;
    progressState.Reset();
    EXPECT_EQ(progressState.doneBytes.load(), 0u);
    EXPECT_EQ(progressState.cancelRequested.load(), 1) << "the cancel flag is not part of the reset";
    EXPECT_EQ(progressState.StatusText(), L"開始");

    const std::wstring first(1000, L'a'), second(1000, L'b');
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) progressState.SetStatusText((i % 2 ? first : second).c_str());
    });
    for (int i = 0; i < 20000; ++i) {
        std::wstring seen = progressState.StatusText();
        ASSERT_TRUE(seen == first || seen == second || seen == L"開始") << "a torn status text was read";
    }
    writer.join();

    std::wstring tooLong(5000, L'x');
    progressState.SetStatusText(tooLong.c_str());
    EXPECT_EQ(progressState.StatusText().size(), kStatusCapacity - 1);
    progressState.SetStatusFileText(L"%ls ファイルをコピー中", tooLong.c_str());
    EXPECT_EQ(progressState.StatusText(), tooLong.substr(0, kStatusCapacity - 1));
}
