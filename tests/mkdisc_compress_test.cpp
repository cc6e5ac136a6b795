// mkdisc's own bzip2 encoder against libbzip2, the arbiter: every stream it writes, at every
// level, is read back by libbzip2's decoder as its input, is no more than 1% larger than
// libbzip2's own, and is expanded by the installer without a block going to libbzip2.
#include <gtest/gtest.h>

#include <windows.h>
#include <bzlib.h>

#include "bzip2_pieces.h"
#include "support/bzip2_bytes.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "transfer/bz2_blocks.h"
#include "transfer/expand.h"

namespace {

constexpr uint64_t kBlockMagic = 0x314159265359ull;

// Words and numbers, as in a game's text files: runs of every kind are rare.
std::string TextBytes(size_t length, uint32_t seed) {
    static const char* const kWords[] = {"sword ", "dragon ", "<item id=", "/>", "\r\n", "レベル", "0x"};
    std::string bytes;
    uint32_t state = seed;
    while (bytes.size() < length) {
        state = state * 1664525u + 1013904223u;
        bytes += kWords[(state >> 24) % 7];
        bytes += std::to_string((state >> 8) % 1000);
    }
    bytes.resize(length);
    return bytes;
}

// Runs of 4, 5, 255 and 256 bytes and a few lengths around them, between other bytes.
std::string RunsBytes() {
    std::string bytes;
    for (size_t run : {1, 2, 3, 4, 5, 6, 254, 255, 256, 257, 259, 510, 511, 1000}) {
        bytes += std::string(run, static_cast<char>('a' + run % 7)) + "|";
    }
    return bytes;
}

std::string EveryByteValue() {
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
        for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value * (round + 1) % 256));
    }
    return bytes;
}

// No byte equals the one before it, so the first run-length stage keeps the length as it is.
std::string UnrepeatedBytes(size_t length, uint32_t seed) {
    std::string bytes = TextBytes(length, seed);
    for (size_t i = 1; i < bytes.size(); ++i) {
        if (bytes[i] == bytes[i - 1]) bytes[i] = bytes[i] == 'x' ? 'y' : 'x';
    }
    return bytes;
}

std::string Compress(const std::string& bytes, unsigned level) {
    std::string stream;
    EXPECT_TRUE(CompressBytes(bytes, level, &stream));
    return stream;
}

// What libbzip2 reads from stream; "<refused: code>" when it refuses.
std::string LibraryExpand(const std::string& stream, size_t expectedSize) {
    std::string out(expectedSize + 64, '\0');
    unsigned length = static_cast<unsigned>(out.size());
    const int result = BZ2_bzBuffToBuffDecompress(out.data(), &length, const_cast<char*>(stream.data()),
                                                  static_cast<unsigned>(stream.size()), 0, 0);
    if (result != BZ_OK) return "<refused: " + std::to_string(result) + ">";
    out.resize(length);
    return out;
}

struct QuietSink : ProgressSink {
    void CountSourceBytes(uint64_t) override {}
    void CountWrittenBytes(uint64_t) override {}
    bool ShouldStop() override { return false; }
    HWND Owner() const override { return nullptr; }
};

TEST(MkdiscCompress, LibbzipReadsEveryLevelAndEdgeBack) {
    struct Case {
        const char* why;
        std::string data;
    };
    const Case cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"two bytes", "xy"},
        {"runs of 4, 5, 255 and 256", RunsBytes()},
        {"one symbol repeated", std::string(1234567, 'q')},
        {"every byte value", EveryByteValue()},
        {"text", TextBytes(700000, 3)},
        {"text repeated", TextBytes(20000, 4) + TextBytes(20000, 4) + TextBytes(20000, 4)},
        {"noise", PatternBytes(150000, 5)},
    };
    for (unsigned level = 1; level <= 9; ++level) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.why) + ", level " + std::to_string(level));
            const std::string stream = Compress(c.data, level);
            ASSERT_EQ(stream.compare(0, 4, "BZh" + std::to_string(level)), 0);
            EXPECT_TRUE(LibraryExpand(stream, c.data.size()) == c.data);
            std::string reference;
            ASSERT_TRUE(Bzip2Bytes(c.data, &reference, static_cast<int>(level)));
            EXPECT_LE(stream.size() * 100, reference.size() * 101);
        }
    }
}

TEST(MkdiscCompress, BlocksHoldExactlyTheLevelsSize) {
    for (unsigned level = 1; level <= 9; ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        const std::string full = UnrepeatedBytes(level * 100000, level);
        for (const std::string& data : {full, full + "!"}) {
            const std::string stream = Compress(data, level);
            EXPECT_EQ(FindBits48(stream, kBlockMagic).size(), data.size() == full.size() ? 1u : 2u);
            EXPECT_TRUE(LibraryExpand(stream, data.size()) == data);
        }
    }
}

TEST(MkdiscCompress, TheInstallerExpandsWithItsOwnDecoder) {
    TempFolder folder(L"compress");
    const std::string data = TextBytes(1500000, 9) + std::string(300000, '\0') + PatternBytes(400000, 10);
    ASSERT_TRUE(WriteFileBytes(folder / L"game.bin.bz2", Compress(data, 9)));
    QuietSink sink;
    ScriptedInteraction script;  // a damaged block's message is recorded, not shown
    const uint64_t redecodedBefore = LibraryRedecodings();
    ASSERT_TRUE(ExpandBz2File((folder / L"game.bin.bz2").c_str(), (folder / L"game.bin").c_str(), sink));
    EXPECT_EQ(LibraryRedecodings(), redecodedBefore) << "a block went to libbzip2";
    std::string expanded;
    ASSERT_TRUE(ReadFileBytes(folder / L"game.bin", &expanded));
    EXPECT_TRUE(expanded == data);
    EXPECT_TRUE(script.Messages().empty());
}

}  // namespace
