#include <gtest/gtest.h>

#include <thread>

#include "base/text.h"
#include "install/progress_state.h"

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

TEST(ProgressState, ResetAndWholeStatusTextsAcrossThreads) {
    progressState.doneBytes = 7;
    progressState.cancelRequested = 1;
    ResetProgressState();
    EXPECT_EQ(progressState.doneBytes.load(), 0u);
    EXPECT_EQ(progressState.cancelRequested.load(), 1) << "the cancel flag is not part of the reset";
    EXPECT_EQ(progressState.StatusText(), L"開始");
    progressState.cancelRequested = 0;

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
}
