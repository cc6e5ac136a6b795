// The memory an expansion holds, measured in a program of its own so that no other test's
// peak is counted.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <bzlib.h>

#include <string>
#include <vector>

#include "install/progress_state.h"
#include "support/bzip2_bytes.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "transfer/bz2_blocks.h"
#include "transfer/expand.h"

namespace {

constexpr size_t kNoiseBytes = 100000;

// A first stream of noise makes a file long enough to be expanded on threads.
std::string CompressedNoise() {
    std::string noise;
    EXPECT_TRUE(Bzip2Bytes(PatternBytes(kNoiseBytes, 2), &noise, 9));
    return noise;
}

// Zeros as one bzip2 stream of blocks of level, compressed piece by piece so that they are never
// held at once.
std::string CompressedZeros(uint64_t count, int level) {
    bz_stream stream{};
    EXPECT_EQ(BZ2_bzCompressInit(&stream, level, 0, 0), BZ_OK);
    std::vector<char> zeros(1024 * 1024), out(1024 * 1024);
    std::string packed;
    uint64_t left = count;
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
            stream.next_in = zeros.data();
            stream.avail_in = static_cast<unsigned>(piece);
            left -= piece;
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<unsigned>(out.size());
        const int result = BZ2_bzCompress(&stream, left == 0 && stream.avail_in == 0 ? BZ_FINISH : BZ_RUN);
        packed.append(out.data(), out.size() - stream.avail_out);
        if (result == BZ_STREAM_END || result < 0) break;
    }
    BZ2_bzCompressEnd(&stream);
    return packed;
}

PROCESS_MEMORY_COUNTERS MemoryCounters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters;
}

TEST(ExpandMemory, SixteenThreadsHoldAtMostTheOutputBound) {
    // 40 level-1 blocks of zeros, each expanding to 5.2 MB, more than the 32 blocks that 16
    // threads keep in flight: every block held grows to its share of the 64 MiB bound.
    constexpr uint64_t kZeroBytes = 40 * 5178000ull;
    TempFolder folder(L"h2mem");
    const std::wstring source = folder / L"zeros.bin.bz2";
    const std::wstring destination = folder / L"zeros.bin";
    ASSERT_TRUE(WriteFileBytes(source, CompressedNoise() + CompressedZeros(kZeroBytes, 1)));
    ScriptedInteraction script;
    SetExpansionThreads(16);
    const SIZE_T before = MemoryCounters().WorkingSetSize;
    ProgressState progress;
    EXPECT_TRUE(ExpandBz2File(source.c_str(), destination.c_str(), progress));
    const SIZE_T peak = MemoryCounters().PeakWorkingSetSize;
    SetExpansionThreads(0);
    EXPECT_TRUE(script.Messages().empty());
    EXPECT_EQ(progress.fileDoneBytes.load(), kNoiseBytes + kZeroBytes);
    DeleteFileW(destination.c_str());
    // 64 MiB of held output, the threads' decoders and the source read ahead (about 95 MiB):
    // well below what 32 whole blocks of 5.2 MB take (about 190 MiB).
    const double grownMiB = static_cast<double>(peak - before) / (1024 * 1024);
    EXPECT_LT(grownMiB, 140.0);
}

TEST(ExpandMemory, HeldOutputNeverExceedsTheBound) {
    // One block per thread and one more are in flight, each holding at most its share of the
    // 64 MiB bound. Level-9 blocks of zeros a quarter longer than the share, as many as are in
    // flight, give every block held a whole share; were each allowed more, together they would
    // hold a quarter more than the bound.
    constexpr uint64_t kBoundBytes = 64ull * 1024 * 1024;
    TempFolder folder(L"h2held");
    const std::wstring source = folder / L"runs.bin.bz2";
    const std::wstring destination = folder / L"runs.bin";
    const std::string noise = CompressedNoise();
    for (unsigned threads : {2u, 4u, 16u}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        const unsigned inFlight = threads + 1;
        const uint64_t blockBytes = kBoundBytes / inFlight * 5 / 4;
        const std::string block = CompressedZeros(blockBytes, 9);
        ASSERT_EQ(FindBits48(block, kBlockMagic).size(), 1u) << "one block per stream";
        std::string compressed = noise;
        for (unsigned i = 0; i < inFlight; ++i) compressed += block;
        ASSERT_TRUE(WriteFileBytes(source, compressed));
        ScriptedInteraction script;
        SetExpansionThreads(threads);
        ResetPeakHeldOutputBytes();
        ProgressState progress;
        EXPECT_TRUE(ExpandBz2File(source.c_str(), destination.c_str(), progress));
        SetExpansionThreads(0);
        EXPECT_TRUE(script.Messages().empty());
        EXPECT_EQ(progress.fileDoneBytes.load(), kNoiseBytes + inFlight * blockBytes);
        EXPECT_LE(PeakHeldOutputBytes(), kBoundBytes);
    }
    DeleteFileW(destination.c_str());
}

}  // namespace
