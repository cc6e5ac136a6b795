#include "transfer/decoder_pool.h"

#include <algorithm>

DecoderPool::DecoderPool(unsigned threads, size_t keepBytes) : keepBytes_(keepBytes) {
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

void DecoderPool::WaitFor(BlockJob* job, BlockDecoder* helper) {
    AcquireSRWLockExclusive(&lock_);
    while (!job->finished) {
        auto waiting = std::find(queue_.begin(), queue_.end(), job);
        if (waiting == queue_.end()) {
            SleepConditionVariableSRW(&jobFinished_, &lock_, INFINITE, 0);
            continue;
        }
        BlockJob* next = *waiting;
        queue_.erase(waiting);
        ++busy_;
        ReleaseSRWLockExclusive(&lock_);
        Decode(next, helper);
        AcquireSRWLockExclusive(&lock_);
        --busy_;
        next->finished = true;
        WakeAllConditionVariable(&jobFinished_);
    }
    ReleaseSRWLockExclusive(&lock_);
}

void DecoderPool::Decode(BlockJob* job, BlockDecoder* decoder) const { job->Decode(decoder, keepBytes_); }

void DecoderPool::WaitForAll() {
    AcquireSRWLockExclusive(&lock_);
    while (!queue_.empty() || busy_ > 0) SleepConditionVariableSRW(&jobFinished_, &lock_, INFINITE, 0);
    ReleaseSRWLockExclusive(&lock_);
}

void DecoderPool::Work() {
    BlockDecoder decoder;
    AcquireSRWLockExclusive(&lock_);
    for (;;) {
        while (!stopping_ && queue_.empty()) SleepConditionVariableSRW(&jobQueued_, &lock_, INFINITE, 0);
        if (stopping_) break;
        BlockJob* job = queue_.front();
        queue_.pop_front();
        ++busy_;
        ReleaseSRWLockExclusive(&lock_);
        Decode(job, &decoder);
        AcquireSRWLockExclusive(&lock_);
        --busy_;
        job->finished = true;
        WakeAllConditionVariable(&jobFinished_);
    }
    ReleaseSRWLockExclusive(&lock_);
}
