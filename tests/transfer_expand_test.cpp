#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <locale.h>
#include <atomic>
#include <string>
#include <thread>

#include "base/handles.h"
#include "install/progress_state.h"
#include "support/bzip2_bytes.h"
#include "support/progress_state_test.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "transfer/bz2_blocks.h"
#include "transfer/decoder_pool.h"
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

std::string Compress(const std::string& bytes, int level = 9) {
    std::string packed;
    EXPECT_TRUE(Bzip2Bytes(bytes, &packed, level));
    return packed;
}

constexpr uint64_t kBlockMagic = 0x314159265359ull;
constexpr uint64_t kStreamEndMagic = 0x177245385090ull;
constexpr uint64_t kMagicBits = 48;

// Text in which no byte repeats the one before it: libbzip2 then puts exactly 100,000 x level
// - 19 bytes into each block but the last (checked by LevelOneBlockBytes below).
std::string UnrepeatedBytes(size_t length, uint32_t seed) {
    std::string bytes = CompressibleBytes(length, seed);
    for (size_t i = 1; i < bytes.size(); ++i) {
        if (bytes[i] == bytes[i - 1]) bytes[i] = bytes[i] == 'x' ? 'y' : 'x';
    }
    return bytes;
}
constexpr size_t kLevelOneBlockBytes = 100000 - 19;

// How many threads decode: one (everything on the calling thread), and more than this
// machine's processors.
const unsigned kThreadSettings[] = {1, 4};

// The threads of this process.
size_t ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
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
        bool result = ExpandBz2File(source.c_str(), destination.c_str(), progress_);
        if (!ReadFileBytes(destination, output)) *output = "<none>";
        return result;
    }

    // Runs body once for each thread setting, from a reset progress state, traced with what.
    template <typename Body>
    void ForEachThreadSetting(const std::string& what, Body body) {
        for (unsigned threads : kThreadSettings) {
            SCOPED_TRACE(what + ", threads " + std::to_string(threads));
            SetExpansionThreads(threads);
            progress_.Reset();
            body();
        }
    }

    // The file expands to exactly `expanded`, counted in full, and nothing is shown.
    void ExpectExpandsSilently(const std::string& compressed, const std::wstring& sourceName,
                               const std::string& expanded) {
        ScriptedInteraction script;
        std::string output;
        ASSERT_TRUE(Expand(compressed, sourceName, &output));
        EXPECT_TRUE(output == expanded);
        EXPECT_EQ(progress_.fileDoneBytes.load(), expanded.size());
        EXPECT_TRUE(script.Messages().empty());
    }

    void TearDown() override {
        SetExpansionThreads(0);
        SetExpansionHooks(nullptr);
        ProgressStateTest::TearDown();
    }

    TempFolder folder_{L"h2bz"};
};

TEST_F(ExpandTest, LevelOneBlockBytes) {
    // The block size that the damage table below relies on.
    // The last block takes one byte more: the one that waited to see whether a run begins.
    EXPECT_EQ(FindBits48(Compress(UnrepeatedBytes(2 * kLevelOneBlockBytes + 1, 5), 1), kBlockMagic).size(), 2u);
    EXPECT_EQ(FindBits48(Compress(UnrepeatedBytes(2 * kLevelOneBlockBytes + 2, 5), 1), kBlockMagic).size(), 3u);
}

TEST_F(ExpandTest, SingleConcatenatedAndEmptyStreams) {
    const std::string first = CompressibleBytes(300000, 1);
    const std::string second = CompressibleBytes(12345, 2);
    // Streams of several blocks and of different block sizes, one after the other.
    const std::string small = CompressibleBytes(450000, 11);
    const std::string large = CompressibleBytes(2000000, 12);
    struct Case {
        const char* why;
        std::string data;
        std::string expanded;
    };
    const Case cases[] = {
        {"one stream", Compress(first), first},
        // Several streams, one of them empty, expand in full as the bzip2 tool does.
        {"several streams", Compress(first) + Compress("") + Compress(second), first + second},
        {"streams of levels 1 and 9", Compress(small, 1) + Compress(large, 9) + Compress(small, 1),
         small + large + small},
        // Bytes after a complete stream that are no further stream are ignored, like the tool.
        {"trailing bytes", Compress(second) + "trailing garbage", second},
        {"trailing bytes after blocks", Compress(large, 1) + "BZh0 no stream", large},
    };
    for (const Case& c : cases) {
        ForEachThreadSetting(c.why, [&] {
            ExpectExpandsSilently(c.data, L"streams.bin.bz2", c.expanded);
            EXPECT_EQ(progress_.doneBytes.load(), c.expanded.size());
            EXPECT_EQ(progress_.sourceBytes.load(), 0u) << "expansion never counts source bytes";
        });
    }
    {
        // Empty content: an empty destination, and no abort poll at all.
        progress_.Reset();
        progress_.cancelRequested = 1;
        ScriptedInteraction script;
        std::string output;
        ASSERT_TRUE(Expand(Compress(""), L"empty.bin.bz2", &output));
        EXPECT_EQ(output, "");
        EXPECT_TRUE(script.Messages().empty());
        EXPECT_EQ(progress_.cancelRequested.load(), 1);
    }
}

TEST_F(ExpandTest, DamagedFilesKeepTheSoundBlocksBeforeTheDamage) {
    // Five blocks of 100,000 bytes (the last one shorter), then a second stream.
    const std::string original = UnrepeatedBytes(4 * kLevelOneBlockBytes + 30000, 3);
    const std::string compressed = Compress(original, 1);
    const std::vector<uint64_t> starts = FindBits48(compressed, kBlockMagic);
    const std::vector<uint64_t> ends = FindBits48(compressed, kStreamEndMagic);
    ASSERT_EQ(starts.size(), 5u);
    ASSERT_EQ(ends.size(), 1u);
    auto middleOfBlock = [&](size_t k) { return (starts[k] + (k + 1 < starts.size() ? starts[k + 1] : ends[0])) / 2; };
    auto flipped = [&](uint64_t bit) {
        std::string damaged = compressed;
        damaged[static_cast<size_t>(bit / 8)] ^= static_cast<char>(0x80 >> (bit % 8));
        return damaged;
    };
    const std::string secondContent = CompressibleBytes(5000, 4);
    const std::string second = Compress(secondContent);
    std::string secondDamaged = compressed + second;
    secondDamaged[compressed.size() + 40] ^= 0x55;

    struct Case {
        const char* why;
        std::string data;
        size_t kept;  // the sound blocks before the damage
    };
    const Case cases[] = {
        {"bit flipped in the first block", flipped(middleOfBlock(0)), 0},
        {"bit flipped in a middle block", flipped(middleOfBlock(2)), 2 * kLevelOneBlockBytes},
        {"bit flipped in the last block", flipped(middleOfBlock(4)), 4 * kLevelOneBlockBytes},
        {"cut inside a block", compressed.substr(0, static_cast<size_t>(middleOfBlock(3) / 8)),
         3 * kLevelOneBlockBytes},
        {"wrong stream CRC", flipped(ends[0] + 48 + 5), original.size()},
        // A block whose own CRC is right is sound wherever the next magic is.
        {"bit flipped in a block magic", flipped(starts[2] + 20), 2 * kLevelOneBlockBytes},
        {"bit flipped in the stream end magic", flipped(ends[0] + 20), original.size()},
        {"cut inside the stream CRC", compressed.substr(0, compressed.size() - 3), original.size()},
        {"second stream damaged", secondDamaged, original.size()},
        {"second stream cut off", compressed + second.substr(0, 20), original.size()},
        {"not bzip2", "This is plain text, not compressed data at all.", 0},
        {"empty file", "", 0},
    };
    for (const Case& c : cases) {
        ForEachThreadSetting(c.why, [&] {
            ScriptedInteraction script;
            std::string output;
            const std::wstring source = folder_ / L"bad.dat.bz2";
            EXPECT_FALSE(Expand(c.data, L"bad.dat.bz2", &output));
            auto shown = script.Messages();
            ASSERT_EQ(shown.size(), 1u);
            ExpectErrorBox(shown[0], L"「" + source + L"」\n\n解凍元ファイルが破損しています。");
            EXPECT_EQ(output.size(), c.kept);
            EXPECT_TRUE(output == original.substr(0, c.kept));
            EXPECT_EQ(progress_.fileDoneBytes.load(), c.kept);
        });
    }
}

// Level-1 blocks whose every block writes the block magic, and with streamEnds the end-of-stream
// magic too, into the bitmap of the byte values it holds (16 x 16 bits after its header).
std::string FalseStartBytes(size_t blocks, bool streamEnds) {
    uint16_t groups[16] = {0x3141, 0x5926, 0x5359, 0xFFFF, 0x1772, 0x4538, 0x5090, 0xFFFF,
                           0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    if (!streamEnds) groups[4] = groups[5] = groups[6] = 0xFFFF;
    std::string alphabet;
    for (int value = 0; value < 256; ++value) {
        if (groups[value / 16] & (0x8000 >> (value % 16))) alphabet += static_cast<char>(value);
    }
    // No byte repeats its predecessor, so no run-length count adds a value of its own.
    std::string original;
    uint32_t state = 77;
    while (original.size() < blocks * kLevelOneBlockBytes) {
        state = state * 1664525u + 1013904223u;
        const char next = alphabet[(state >> 8) % alphabet.size()];
        if (original.empty() || next != original.back()) original += next;
    }
    return original;
}

// Runs of one byte of the lengths where the run-length stages change their coding.
std::string RunsOfOneByte() {
    std::string bytes;
    uint32_t state = 5;
    for (int round = 0; round < 40; ++round) {
        for (size_t length : {1, 3, 4, 5, 6, 255, 256, 259, 260, 1000, 5000}) {
            state = state * 1664525u + 1013904223u;
            bytes.append(length, static_cast<char>(state >> 24));
        }
    }
    return bytes;
}

std::string EveryByteValue() {
    std::string bytes = PatternBytes(150000, 9);
    for (int round = 0; round < 4; ++round) {
        for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
    }
    return bytes;
}

TEST_F(ExpandTest, OwnDecoderAgreesWithLibbzip2AtEveryLevel) {
    // Every block of these is decoded by the program's own decoder: libbzip2, which wrote them,
    // is never asked again, and the output is the original.
    struct Case {
        const char* why;
        std::string data;
    };
    const Case cases[] = {
        {"runs of one byte", RunsOfOneByte()},
        {"a single symbol", std::string(250000, 'z')},
        {"every byte value", EveryByteValue()},
        {"full blocks", CompressibleBytes(1900000, 31)},
        {"tiny blocks", "a"},
        {"two bytes", "ab"},
    };
    SetExpansionThreads(2);
    for (const Case& c : cases) {
        for (int level = 1; level <= 9; ++level) {
            SCOPED_TRACE(std::string(c.why) + ", level " + std::to_string(level));
            progress_.Reset();
            const uint64_t redecodedBefore = LibraryRedecodings();
            ExpectExpandsSilently(Compress(c.data, level), L"levels.bin.bz2", c.data);
            EXPECT_EQ(LibraryRedecodings(), redecodedBefore) << "a sound block went to libbzip2";
        }
    }
}

TEST_F(ExpandTest, FalseBlockStartsInsideBlocks) {
    const std::string original = FalseStartBytes(3, true);
    const std::string compressed = Compress(original, 1);
    ASSERT_EQ(FindBits48(compressed, kBlockMagic).size(), 6u) << "3 blocks, each with a false start";
    ASSERT_EQ(FindBits48(compressed, kStreamEndMagic).size(), 4u) << "1 stream end and 3 false ones";
    ForEachThreadSetting("false starts", [&] { ExpectExpandsSilently(compressed, L"false.bin.bz2", original); });
}

// Holds the decoding of the block at heldBit until the calling thread waits for anything beyond
// the failed block at failedBit (blocks are collected in order: it has seen that block fail), or
// else until it begins to join the failed block; records whether the held block was decoded by
// then.
class HoldLaterBlockUntilJoin : public ExpansionHooks {
public:
    HoldLaterBlockUntilJoin(uint64_t failedBit, uint64_t heldBit)
        : failedBit_(failedBit), heldBit_(heldBit), release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void Decoding(uint64_t startBit) override {
        if (startBit == heldBit_) WaitForSingleObject(release_.get(), INFINITE);
    }
    void Decoded(uint64_t startBit) override {
        if (startBit == heldBit_) heldDecoded_ = true;
    }
    void CallerWaits(uint64_t startBit) override {
        if (startBit > failedBit_) SetEvent(release_.get());
    }
    void Joining(uint64_t startBit) override {
        if (startBit == failedBit_) {
            ++joins_;
            heldDecodedBeforeJoin_ = heldDecoded_.load();
        }
        SetEvent(release_.get());
    }

    int Joins() const { return joins_; }
    bool HeldDecodedBeforeJoin() const { return heldDecodedBeforeJoin_; }

private:
    const uint64_t failedBit_;
    const uint64_t heldBit_;
    ObjectHandle release_;
    std::atomic<bool> heldDecoded_{false};
    int joins_ = 0;
    bool heldDecodedBeforeJoin_ = false;
};

TEST_F(ExpandTest, FailedCandidatesWhileLaterBlocksAreInFlight) {
    // One block has a false start: its first candidate fails, and the candidate that begins at
    // the false start is held in flight on a decoding thread. The join must wait for it: its
    // verdict tells whether the failed block is damage. Before that block come more blocks than
    // sixteen threads keep in flight, so the held candidate's job still holds the verdict of a
    // sound block: a join that did not wait would read that one (or one being written) and may
    // call the file damaged.
    constexpr uint32_t kFailedBlock = 18;
    std::string original;
    // Runs of four bytes would change where blocks end; a byte repeated at a join is harmless.
    for (uint32_t block = 0; block < 20; ++block) {
        original += block == kFailedBlock ? FalseStartBytes(1, false) : UnrepeatedBytes(kLevelOneBlockBytes, block);
    }
    const std::string compressed = Compress(original, 1);
    const std::vector<uint64_t> marks = FindBits48(compressed, kBlockMagic);
    ASSERT_EQ(marks.size(), 21u) << "20 blocks, one with a false start";
    // A pool of two threads, the fewest that decode beside the calling thread, and of sixteen.
    for (unsigned threads : {2u, 16u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        SetExpansionThreads(threads);
        progress_.Reset();
        HoldLaterBlockUntilJoin hold(marks[kFailedBlock], marks[kFailedBlock + 1]);
        SetExpansionHooks(&hold);
        ExpectExpandsSilently(compressed, L"in-flight.bin.bz2", original);
        SetExpansionHooks(nullptr);
        EXPECT_EQ(hold.Joins(), 1);
        EXPECT_TRUE(hold.HeldDecodedBeforeJoin()) << "joined while a later block was in flight";
    }
}

TEST_F(ExpandTest, MarkAcrossTheReadPieceBoundary) {
    // The source is read in pieces of 512 KiB: a magic may begin in one piece and end in the next.
    // A first stream of noise is made just long enough to put the chosen magic across.
    constexpr uint64_t kBoundaryBit = 8ull * 1024 * 1024;
    const std::string tailContent = CompressibleBytes(3 * kLevelOneBlockBytes, 8);
    const std::string tail = Compress(tailContent, 1);
    const uint64_t tailSecondBlock = FindBits48(tail, kBlockMagic).at(1);
    struct Case {
        const char* why;
        // Where the magic begins, given the first stream.
        uint64_t (*magicBit)(const std::string& first, uint64_t tailSecondBlock);
    };
    const Case cases[] = {
        {"the first stream's end",
         [](const std::string& first, uint64_t) { return FindBits48(first, kStreamEndMagic).at(0); }},
        {"the second block of the next stream",
         [](const std::string& first, uint64_t second) { return first.size() * 8 + second; }},
    };
    for (const Case& c : cases) {
        size_t noiseBytes = 1040000;
        std::string noise, first;
        auto across = [&](uint64_t bit) { return bit < kBoundaryBit && bit + kMagicBits > kBoundaryBit; };
        for (int step = 0; step < 40; ++step) {
            noise = PatternBytes(noiseBytes, 6);
            first = Compress(noise, 1);
            const uint64_t bit = c.magicBit(first, tailSecondBlock);
            if (across(bit)) break;
            // About 8 bits of output per byte of noise; the last steps go one byte at a time.
            const int64_t off = (static_cast<int64_t>(kBoundaryBit) - 24 - static_cast<int64_t>(bit)) / 8;
            noiseBytes = static_cast<size_t>(static_cast<int64_t>(noiseBytes) + (off > 4    ? off - 2
                                                                                 : off < -4 ? off + 2
                                                                                 : off > 0  ? 1
                                                                                            : -1));
        }
        const uint64_t bit = c.magicBit(first, tailSecondBlock);
        ASSERT_TRUE(across(bit)) << c.why << " not brought across";
        ForEachThreadSetting(c.why,
                             [&] { ExpectExpandsSilently(first + tail, L"across.bin.bz2", noise + tailContent); });
    }
}

TEST_F(ExpandTest, MissingSourceWrongExtensionAndUncreatableDestination) {
    const std::wstring missing = folder_ / L"missing.bin.bz2";
    const std::wstring destination = folder_ / L"created.bin";
    {
        ScriptedInteraction script;
        EXPECT_FALSE(ExpandBz2File(missing.c_str(), destination.c_str(), progress_));
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
        EXPECT_FALSE(ExpandBz2File(upper.c_str(), other.c_str(), progress_));
        EXPECT_TRUE(script.Messages().empty());
        EXPECT_FALSE(FileExists(other));
    }
    {
        const std::wstring source = folder_ / L"fine.bin.bz2";
        ASSERT_TRUE(WriteFileBytes(source, Compress("abc")));
        const std::wstring unreachable = folder_ / L"no-such-folder\\out.bin";
        ScriptedInteraction script;
        EXPECT_FALSE(ExpandBz2File(source.c_str(), unreachable.c_str(), progress_));
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
    EXPECT_FALSE(ExpandBz2File(source.c_str(), destination.c_str(), progress_));
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
        progress_.cancelRequested = 1;
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
        EXPECT_EQ(progress_.cancelRequested.load(), 0);
        EXPECT_EQ(progress_.fileDoneBytes.load(), 0u);
    }
    {
        // Cancel: the expansion goes on; the question came exactly once.
        progress_.cancelRequested = 1;
        ScriptedInteraction script;
        script.AnswerMessages({IDCANCEL});
        std::string output;
        EXPECT_TRUE(Expand(compressed, L"cancel.bin.bz2", &output));
        EXPECT_EQ(script.Messages().size(), 1u);
        EXPECT_TRUE(output == content);
        EXPECT_EQ(progress_.cancelRequested.load(), 0);
    }
}

TEST_F(ExpandTest, CancelConfirmedInTheMiddleEndsEveryThread) {
    // Three blocks of about 900,000 bytes; whole chunks are written together in runs of 64.
    const std::string content = CompressibleBytes(2500000, 21);
    const std::string compressed = Compress(content);
    // The second chunk, one in the middle of a run, one in the second block.
    for (unsigned chunk : {2u, 100u, 250u}) {
        ForEachThreadSetting("cancel before chunk " + std::to_string(chunk), [&] {
            const size_t threadsBefore = ThreadCount();
            ScriptedInteraction script;
            PressCancelBeforeChunk(script, progress_, chunk);
            std::string output;
            EXPECT_FALSE(Expand(compressed, L"cancel-middle.bin.bz2", &output));
            EXPECT_EQ(script.Messages().size(), 1u);
            EXPECT_EQ(ThreadCount(), threadsBefore) << "a decoding thread outlived the call";
            // Every chunk accepted before the question is counted and in the file, and no other.
            const uint64_t kept = (chunk - 1) * uint64_t{kExpandChunkBytes};
            EXPECT_EQ(progress_.fileDoneBytes.load(), kept);
            EXPECT_EQ(progress_.doneBytes.load(), kept);
            EXPECT_EQ(output.size(), kept);
            EXPECT_TRUE(output == content.substr(0, output.size()));
            EXPECT_EQ(progress_.cancelRequested.load(), 0);
        });
    }
}

TEST_F(ExpandTest, Bzip2AndLbzip2OutputExpandAlike) {
    // Made on the Linux side by tests/transfer_interop.cmake: game.bin, and its compression by
    // "bzip2 -9" and by "lbzip2 -9", which splits and encodes blocks its own way.
    const std::wstring folder = L"T:\\bz2-interop";
    std::string original;
    ASSERT_TRUE(ReadFileBytes(folder + L"\\game.bin", &original)) << "the fixture bz2_interop makes the files";
    for (const wchar_t* name : {L"game.bin.bz2", L"game-lbzip2.bin.bz2"}) {
        std::string compressed;
        ASSERT_TRUE(ReadFileBytes(folder + L"\\" + name, &compressed));
        ForEachThreadSetting("interop", [&] {
            const uint64_t redecodedBefore = LibraryRedecodings();
            ExpectExpandsSilently(compressed, name, original);
            EXPECT_EQ(LibraryRedecodings(), redecodedBefore) << "a sound block went to libbzip2";
        });
    }
}

}  // namespace
