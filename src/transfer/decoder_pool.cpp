#include "transfer/decoder_pool.h"

#include <algorithm>

DecoderPool::DecoderPool(unsigned threads, size_t keepBytes, ExpansionHooks& hooks)
    : keepBytes_(keepBytes), hooks_(hooks) {
    for (unsigned i = 0; i < threads; ++i) {
        decoders_.emplace_back(new BlockDecoder);
        idle_.push_back(decoders_.back().get());
    }
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

DecoderPool::~DecoderPool() {
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    queue_.clear();
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&jobQueued_);
    for (std::thread& thread : threads_) thread.join();
}

void DecoderPool::Submit(BlockJob* job) {
    AcquireSRWLockExclusive(&lock_);
    job->finished = false;
    queue_.push_back(job);
    ReleaseSRWLockExclusive(&lock_);
    WakeConditionVariable(&jobQueued_);
}

void DecoderPool::WaitFor(BlockJob* job) {
    AcquireSRWLockExclusive(&lock_);
    while (!job->finished) {
        auto waiting = std::find(queue_.begin(), queue_.end(), job);
        if (waiting == queue_.end() || idle_.empty()) {
            SleepUntilFinished(job->startBit);
            continue;
        }
        queue_.erase(waiting);
        DecodeLocked(job);
    }
    ReleaseSRWLockExclusive(&lock_);
}

void DecoderPool::DecodeLocked(BlockJob* job) {
    BlockDecoder* decoder = idle_.back();
    idle_.pop_back();
    ++busy_;
    ReleaseSRWLockExclusive(&lock_);
    hooks_.Decoding(job->startBit);
    job->Decode(decoder, keepBytes_);
    hooks_.Decoded(job->startBit);
    AcquireSRWLockExclusive(&lock_);
    --busy_;
    idle_.push_back(decoder);
    job->finished = true;
    WakeAllConditionVariable(&jobFinished_);
    // A thread may have found jobs but no idle decoder.
    if (!queue_.empty()) WakeConditionVariable(&jobQueued_);
}

void DecoderPool::WaitForAll() {
    AcquireSRWLockExclusive(&lock_);
    while (!queue_.empty() || busy_ > 0) SleepUntilFinished(ExpansionHooks::kEveryBlock);
    ReleaseSRWLockExclusive(&lock_);
}

void DecoderPool::SleepUntilFinished(uint64_t startBit) {
    hooks_.CallerWaits(startBit);
    SleepConditionVariableSRW(&jobFinished_, &lock_, INFINITE, 0);
}

void DecoderPool::Work() {
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        while (!stopping_ && (queue_.empty() || idle_.empty())) {
            SleepConditionVariableSRW(&jobQueued_, &lock_, INFINITE, 0);
        }
        if (stopping_) break;
        BlockJob* job = queue_.front();
        queue_.pop_front();
        DecodeLocked(job);
    }
    ReleaseSRWLockExclusive(&lock_);
}
