// Threads that decode bzip2 blocks, each job on its own, in the order they were handed in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "transfer/bz2_blocks.h"

// Points at which a test holds or follows the threads of an expansion, so that the order in
// which they meet is the test's and not the machine's. Nothing but tests sets them.
class ExpansionHooks {
public:
    virtual ~ExpansionHooks() = default;
    // On the thread that decodes the block beginning at startBit: before, and after it (before
    // anyone can see the block finished).
    virtual void Decoding(uint64_t /*startBit*/) {}
    virtual void Decoded(uint64_t /*startBit*/) {}
    // On the calling thread, with the pool's lock held (it must not wait): it is about to sleep
    // until the block beginning at startBit is finished, or with kEveryBlock, every block.
    static constexpr uint64_t kEveryBlock = UINT64_MAX;
    virtual void CallerWaits(uint64_t /*startBit*/) {}
    // On the calling thread, as it begins to join the failed block at startBit to the candidates
    // after it.
    virtual void Joining(uint64_t /*startBit*/) {}
};

// One block: its place in the source, the stream built for it, and what decoding it gave.
struct BlockJob {
    uint64_t startBit = 0;
    uint64_t endBit = 0;
    bool endIsStreamEnd = false;
    unsigned level = 9;
    uint32_t crc = 0;  // the block's CRC, as its header gives it
    ByteBuffer stream;
    HeldOutput output;       // the first keepBytes of the output
    BlockResult result;      // what decoding gave
    bool endIsKnown = true;  // false: no magic was found after it, and it runs to what could be read
    bool finished = false;   // guarded by the pool's lock once handed in

    void Decode(BlockDecoder* decoder, size_t keepBytes) {
        result = decoder->Decode(stream, endBit - startBit, keepBytes, &output);
    }
    bool Complete() const { return result.sound && result.length == output.size; }
};

class DecoderPool {
public:
    // keepBytes: how much of each block's output the jobs keep.
    DecoderPool(unsigned threads, size_t keepBytes, ExpansionHooks& hooks);
    DecoderPool(const DecoderPool&) = delete;
    DecoderPool& operator=(const DecoderPool&) = delete;
    // Drops the jobs not yet started and waits for those being decoded.
    ~DecoderPool();

    void Submit(BlockJob* job);
    // Waits until job is finished; decodes it itself when no thread has started it yet and a
    // thread's decoder is idle (on a busy machine the caller may get a processor sooner than a
    // woken thread). The decoders, one per thread, are shared: a caller that helps adds none.
    void WaitFor(BlockJob* job);
    // Waits until every job handed in is finished.
    void WaitForAll();

private:
    void Work();
    // Decodes job with an idle decoder, the lock released meanwhile; called with the lock held.
    void DecodeLocked(BlockJob* job);

    // Sleeps until a job is finished, waiting for the block at startBit (or kEveryBlock); called
    // with the lock held.
    void SleepUntilFinished(uint64_t startBit);

    size_t keepBytes_;
    ExpansionHooks& hooks_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE jobQueued_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE jobFinished_ = CONDITION_VARIABLE_INIT;
    std::deque<BlockJob*> queue_;
    std::vector<std::unique_ptr<BlockDecoder>> decoders_;
    std::vector<BlockDecoder*> idle_;
    unsigned busy_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
