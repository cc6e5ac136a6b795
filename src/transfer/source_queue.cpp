#include "transfer/source_queue.h"

#include <algorithm>
#include <utility>

#include "base/handles.h"

SourceQueue::SourceQueue(std::vector<std::wstring> paths, size_t aheadBytes)
    : paths_(std::move(paths)), aheadBytes_(std::max(aheadBytes, 2 * kPieceBytes)) {
    opener_ = std::thread([this] { OpenAll(); });
    reader_ = std::thread([this] { ReadAll(); });
}

SourceQueue::~SourceQueue() {
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    reader_.join();
    opener_.join();
}

// Opening and closing a file costs the file system a few round trips but the drive nothing, so
// they are done on a thread of their own, a few files ahead of the reading.
void SourceQueue::OpenAll() {
    size_t next = 0;
    for (;;) {
        std::vector<FileHandle> closing;
        AcquireSRWLockExclusive(&lock_);
        while (!stopping_ && !readerDone_ && toClose_.empty() &&
               (next == paths_.size() || openedAhead_.size() >= kMostOpenAhead)) {
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        }
        const bool end = stopping_ || readerDone_;
        const bool open = !end && next < paths_.size() && openedAhead_.size() < kMostOpenAhead;
        closing.swap(toClose_);
        ReleaseSRWLockExclusive(&lock_);
        closing.clear();
        if (end) return;
        if (!open) continue;
        OpenedFile opened;
        opened.file.reset(CreateFileW(paths_[next].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size{};
        opened.opened = opened.file && GetFileSizeEx(opened.file.get(), &size) && size.QuadPart >= 0;
        opened.size = opened.opened ? static_cast<uint64_t>(size.QuadPart) : 0;
        ++next;
        AcquireSRWLockExclusive(&lock_);
        openedAhead_.push_back(std::move(opened));
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
    }
}

void SourceQueue::ReadAll() {
    for (size_t index = 0; index < paths_.size(); ++index) {
        if (!ReadOne(index)) break;
    }
    AcquireSRWLockExclusive(&lock_);
    readerDone_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
}

// False when the reading is to end: it was stopped, or a read failed (the drive gave up there,
// and the installation stops at that file).
bool SourceQueue::ReadOne(size_t index) {
    AcquireSRWLockExclusive(&lock_);
    while (!stopping_ && openedAhead_.empty()) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    if (stopping_) {
        ReleaseSRWLockExclusive(&lock_);
        return false;
    }
    OpenedFile file = std::move(openedAhead_.front());
    openedAhead_.pop_front();
    opened_.push_back(Opened{file.opened, file.size});
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    // Its transfer opens a file that did not open here, and reports what it finds.
    const bool go = !file.opened || ReadPieces(index, file);
    AcquireSRWLockExclusive(&lock_);
    toClose_.push_back(std::move(file.file));
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    return go;
}

bool SourceQueue::ReadPieces(size_t index, OpenedFile& opened) {
    // Never past the size measured, so a file that grows meanwhile is read only as far as that.
    uint64_t left = opened.size;
    for (;;) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(left, kPieceBytes));
        if (!WaitForRoom(wanted)) return false;
        Piece piece;
        piece.file = index;
        DWORD got = 0;
        if (wanted > 0) {
            piece.bytes.reset(new uint8_t[wanted]);
            piece.failed = !ReadFile(opened.file.get(), piece.bytes.get(), static_cast<DWORD>(wanted), &got, nullptr);
        }
        piece.count = piece.failed ? 0 : got;
        left -= piece.count;
        const bool last = piece.count == 0;
        const bool failed = piece.failed;
        // What was reserved for it, less what the read did not fill.
        Push(std::move(piece), wanted);
        if (last) return !failed;
    }
}

// Reserves room for a piece of bytes; false when the reading is to stop.
bool SourceQueue::WaitForRoom(size_t bytes) {
    AcquireSRWLockExclusive(&lock_);
    while (!stopping_ && heldBytes_ > 0 && heldBytes_ + bytes > aheadBytes_) {
        SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    }
    const bool go = !stopping_;
    if (go) heldBytes_ += bytes;
    ReleaseSRWLockExclusive(&lock_);
    return go;
}

void SourceQueue::Push(Piece piece, size_t reserved) {
    AcquireSRWLockExclusive(&lock_);
    heldBytes_ -= reserved - piece.count;
    pieces_.push_back(std::move(piece));
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
}

void SourceQueue::DropHeldLocked() {
    if (!holding_) return;
    heldBytes_ -= pieces_.front().count;
    pieces_.pop_front();
    holding_ = false;
}

void SourceQueue::DropBeforeLocked(size_t index) {
    while (!pieces_.empty() && pieces_.front().file < index) {
        heldBytes_ -= pieces_.front().count;
        pieces_.pop_front();
    }
}

bool SourceQueue::Take(size_t index, OpenedSource* source) {
    AcquireSRWLockExclusive(&lock_);
    DropHeldLocked();
    for (;;) {
        // A transfer may end before the end of its source (a compressed stream followed by
        // other bytes): its rest is let go here, which makes room for the reader.
        DropBeforeLocked(index);
        WakeAllConditionVariable(&changed_);
        if (opened_.size() > index || readerDone_) break;
        SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    }
    const bool opened = opened_.size() > index && opened_[index].opened;
    const uint64_t size = opened ? opened_[index].size : 0;
    ReleaseSRWLockExclusive(&lock_);
    if (!opened) return false;
    takenEnded_ = false;
    takenFailed_ = false;
    source->size = size;
    source->pieces = &takenPieces_;
    return true;
}

size_t SourceQueue::NextPiece(const uint8_t** bytes) {
    static const uint8_t kNone = 0;
    *bytes = &kNone;
    if (takenEnded_) return 0;
    AcquireSRWLockExclusive(&lock_);
    DropHeldLocked();
    // The reader ends every file it opened with a last piece, so one comes.
    while (pieces_.empty()) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    const Piece& piece = pieces_.front();
    holding_ = true;
    takenEnded_ = piece.count == 0;
    takenFailed_ = piece.failed;
    if (piece.count > 0) *bytes = piece.bytes.get();
    const size_t count = piece.count;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    return count;
}
