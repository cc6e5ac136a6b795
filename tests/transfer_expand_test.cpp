#include <gtest/gtest.h>

#include <windows.h>

#include <locale.h>
#include <string>

#include "install/progress_state.h"
#include "support/bzip2_bytes.h"
#include "support/progress_state_test.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "transfer/expand.h"

namespace {

const HWND kOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x6161));

// Compressible but not trivial: runs of words picked by a small generator.
std::string CompressibleBytes(size_t length, uint32_t seed) {
    static const char* const kWords[] = {"game ", "disc ", "install ", "データ ", "\r\n", "0123456789", "..."};
    std::string bytes;
    uint32_t state = seed * 2654435761u + 1;
    while (bytes.size() < length) {
        state = state * 1664525u + 1013904223u;
        bytes += kWords[(state >> 24) % 7];
        if ((state & 0xFF) == 7) bytes += static_cast<char>(state >> 8);
    }
    bytes.resize(length);
    return bytes;
}

std::string Compress(const std::string& bytes) {
    std::string packed;
    EXPECT_TRUE(Bzip2Bytes(bytes, &packed));
    return packed;
}

class ExpandTest : public ProgressStateTest {
protected:
    ExpandTest() : ProgressStateTest(kOwner) {}

    // Expands compressed (written to sourceName) and returns the result; *output gets the
    // destination's content ("<none>" when there is no destination file).
    bool Expand(const std::string& compressed, const std::wstring& sourceName, std::string* output) {
        const std::wstring source = folder_ / sourceName;
        const std::wstring destination = folder_ / L"expanded.bin";
        EXPECT_TRUE(WriteFileBytes(source, compressed));
        DeleteFileW(destination.c_str());
        bool result = ExpandBz2File(destination.c_str(), source.c_str());
        if (!ReadFileBytes(destination, output)) *output = "<none>";
        return result;
    }

    TempFolder folder_{L"h2bz"};
};

TEST_F(ExpandTest, SingleConcatenatedAndEmptyStreams) {
    const std::string first = CompressibleBytes(300000, 1);
    const std::string second = CompressibleBytes(12345, 2);
    std::string output;
    {
        ScriptedInteraction script;
        ASSERT_TRUE(Expand(Compress(first), L"single.bin.bz2", &output));
        EXPECT_TRUE(output == first);
        EXPECT_EQ(progressState.fileDoneBytes.load(), first.size());
        EXPECT_EQ(progressState.doneBytes.load(), first.size());
        EXPECT_EQ(progressState.sourceBytes.load(), 0u) << "expansion never counts source bytes";
        EXPECT_TRUE(script.Messages().empty());
    }
    {
        // Several streams, one of them empty, expand in full as the bzip2 tool does.
        ResetProgressState();
        ScriptedInteraction script;
        ASSERT_TRUE(Expand(Compress(first) + Compress("") + Compress(second), L"multi.bin.bz2", &output));
        EXPECT_TRUE(output == first + second);
        EXPECT_EQ(progressState.fileDoneBytes.load(), first.size() + second.size());
        EXPECT_TRUE(script.Messages().empty());
    }
    {
        // Bytes after a complete stream that are no further stream are ignored, like the tool.
        ScriptedInteraction script;
        ASSERT_TRUE(Expand(Compress(second) + "trailing garbage", L"trail.bin.bz2", &output));
        EXPECT_TRUE(output == second);
        EXPECT_TRUE(script.Messages().empty());
    }
    {
        // Empty content: an empty destination, and no abort poll at all.
        ResetProgressState();
        progressState.cancelRequested = 1;
        ScriptedInteraction script;
        ASSERT_TRUE(Expand(Compress(""), L"empty.bin.bz2", &output));
        EXPECT_EQ(output, "");
        EXPECT_TRUE(script.Messages().empty());
        EXPECT_EQ(progressState.cancelRequested.load(), 1);
    }
}

TEST_F(ExpandTest, DamagedCutOffAndForeignDataFail) {
    const std::string original = CompressibleBytes(200000, 3);
    const std::string compressed = Compress(original);
    std::string damaged = compressed;
    for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 8; ++i) damaged[i] = static_cast<char>(~damaged[i]);
    const std::string secondContent = CompressibleBytes(5000, 4);
    std::string secondDamaged = compressed + Compress(secondContent);
    secondDamaged[compressed.size() + 40] ^= 0x55;

    struct Case {
        const char* why;
        std::string data;
        std::string sound;       // what the data would expand to if it were whole
        size_t keptAtLeast;      // bytes decoded before the fault that must stay
        bool checkContent;       // a block's bytes leave the library before its checksum is
                                 // tested, so flipped bits may show as wrong bytes
    };
    const Case cases[] = {
        {"damaged", damaged, original, 0, false},
        {"cut off", compressed.substr(0, compressed.size() / 2), original, 0, true},
        {"cut off just before the end marker", compressed.substr(0, compressed.size() - 3), original, 0, true},
        {"second stream damaged", secondDamaged, original + secondContent, original.size(), true},
        {"second stream cut off", compressed + compressed.substr(0, 20), original + original, original.size(), true},
        {"not bzip2", "This is plain text, not compressed data at all.", "", 0, true},
        {"zero bytes", "", "", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ResetProgressState();
        ScriptedInteraction script;
        std::string output;
        const std::wstring source = folder_ / L"bad.dat.bz2";
        EXPECT_FALSE(Expand(c.data, L"bad.dat.bz2", &output));
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        ExpectErrorBox(shown[0], L"「" + source + L"」\n\n解凍元ファイルが破損しています。");
        // What was written stays, and it is only ever sound content.
        EXPECT_LT(output.size(), c.sound.size() + 1);
        if (c.checkContent) {
            EXPECT_TRUE(c.sound.compare(0, output.size(), output) == 0);
        }
        EXPECT_GE(output.size(), c.keptAtLeast);
        EXPECT_EQ(progressState.fileDoneBytes.load(), output.size());
    }
}

TEST_F(ExpandTest, MissingSourceWrongExtensionAndUncreatableDestination) {
    const std::wstring missing = folder_ / L"missing.bin.bz2";
    const std::wstring destination = folder_ / L"created.bin";
    {
        ScriptedInteraction script;
        EXPECT_FALSE(ExpandBz2File(destination.c_str(), missing.c_str()));
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        ExpectErrorBox(shown[0], L"「" + missing + L"」\n\n解凍元ファイルが開けません。");
        std::string output = "x";
        ASSERT_TRUE(ReadFileBytes(destination, &output)) << "the destination is created first";
        EXPECT_EQ(output, "");
    }
    {
        const std::wstring upper = folder_ / L"upper.bin.BZ2";
        ASSERT_TRUE(WriteFileBytes(upper, Compress("abc")));
        const std::wstring other = folder_ / L"other.bin";
        ScriptedInteraction script;
        EXPECT_FALSE(ExpandBz2File(other.c_str(), upper.c_str()));
        EXPECT_TRUE(script.Messages().empty());
        EXPECT_FALSE(FileExists(other));
    }
    {
        const std::wstring source = folder_ / L"fine.bin.bz2";
        ASSERT_TRUE(WriteFileBytes(source, Compress("abc")));
        const std::wstring unreachable = folder_ / L"no-such-folder\\out.bin";
        ScriptedInteraction script;
        EXPECT_FALSE(ExpandBz2File(unreachable.c_str(), source.c_str()));
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        ExpectErrorBox(shown[0], L"「" + source + L"」\n\n解凍先ファイルが作成できません。");
    }
}

TEST_F(ExpandTest, DiskThatFillsUpIsAWriteFailure) {
    // The 2 MiB volume that tests/transfer_small_volume.cmake links as T:\small-volume.
    const std::wstring volume = L"T:\\small-volume";
    if (!FolderExists(volume)) GTEST_SKIP() << "the small volume needs root to mount";
    const std::wstring source = folder_ / L"big.bin.bz2";
    const std::wstring destination = volume + L"\\full.bin";
    const std::string content = CompressibleBytes(3000000, 13);
    ASSERT_TRUE(WriteFileBytes(source, Compress(content)));
    ScriptedInteraction script;
    EXPECT_FALSE(ExpandBz2File(destination.c_str(), source.c_str()));
    auto shown = script.Messages();
    ASSERT_EQ(shown.size(), 1u);
    ExpectErrorBox(shown[0], L"「" + source + L"」\n\n解凍先ファイルが作成できません。");
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(destination, &kept));
    EXPECT_LT(kept.size(), content.size());
    EXPECT_TRUE(content.compare(0, kept.size(), kept) == 0);
    DeleteFileW(destination.c_str());
}

TEST_F(ExpandTest, SourcePathsInsideAndOutsideCodePage932) {
    const std::string content = CompressibleBytes(50000, 7);
    for (const wchar_t* name : {L"日本語のファイル.dat.bz2", L"한국어_Ωμέγα_Ærø.dat.bz2"}) {
        SCOPED_TRACE(name);
        ScriptedInteraction script;
        std::string output;
        ASSERT_TRUE(Expand(Compress(content), name, &output));
        EXPECT_TRUE(output == content);
        EXPECT_TRUE(script.Messages().empty());
    }
}

TEST_F(ExpandTest, CancelIsAskedBeforeEachChunkIsWritten) {
    const std::string content = CompressibleBytes(100000, 9);
    const std::string compressed = Compress(content);
    {
        // OK after the first chunk was read: that chunk is not written.
        progressState.cancelRequested = 1;
        ScriptedInteraction script;
        script.AnswerMessages({IDOK});
        std::string output;
        EXPECT_FALSE(Expand(compressed, L"cancel.bin.bz2", &output));
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, L"インストールを中断しますか？");
        EXPECT_EQ(shown[0].title, L"確認");
        EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_OKCANCEL | MB_ICONWARNING));
        EXPECT_EQ(shown[0].owner, kOwner);
        EXPECT_EQ(output, "");
        EXPECT_EQ(progressState.cancelRequested.load(), 0);
        EXPECT_EQ(progressState.fileDoneBytes.load(), 0u);
    }
    {
        // Cancel: the expansion goes on; the question came exactly once.
        progressState.cancelRequested = 1;
        ScriptedInteraction script;
        script.AnswerMessages({IDCANCEL});
        std::string output;
        EXPECT_TRUE(Expand(compressed, L"cancel.bin.bz2", &output));
        EXPECT_EQ(script.Messages().size(), 1u);
        EXPECT_TRUE(output == content);
        EXPECT_EQ(progressState.cancelRequested.load(), 0);
    }
}

}  // namespace
