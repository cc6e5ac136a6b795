#include "transfer/read_ahead.h"

#include <shlwapi.h>

#include <algorithm>

#include "base/text.h"

bool OnFixedDisk(const wchar_t* path) {
    wchar_t root[MAX_PATH];
    if (!CopyText(root, path)) return true;
    PathStripToRootW(root);
    if (!PathAddBackslashW(root)) return true;
    const UINT type = GetDriveTypeW(root);
    return type == DRIVE_FIXED || type == DRIVE_RAMDISK;
}

ReadAhead::ReadAhead(HANDLE file, uint64_t limit, bool threaded, size_t pieceBytes, int pieces)
    : file_(file),
      remaining_(limit),
      pieceBytes_(pieceBytes),
      threaded_(threaded),
      pieceCount_(std::max(1, std::min(pieces, kMostPieces))) {
    if (!threaded_) {
        // One piece, no larger than the file needs: small files are the common case.
        pieces_[0].bytes.reset(
            new uint8_t[static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(limit, pieceBytes_)))]);
        return;
    }
    for (int i = 0; i < pieceCount_; ++i) pieces_[i].bytes.reset(new uint8_t[pieceBytes_]);
    reader_ = std::thread([this] { ReadAll(); });
}

ReadAhead::~ReadAhead() {
    if (!reader_.joinable()) return;
    AcquireSRWLockExclusive(&lock_);
    stopping_ = true;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&pieceFreed_);
    reader_.join();
}

// Never past the limit, so a file that grows meanwhile is read only as far as it was measured.
size_t ReadAhead::ReadPiece(uint8_t* buffer) {
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(remaining_, pieceBytes_));
    DWORD got = 0;
    if (wanted == 0) return 0;
    if (!ReadFile(file_, buffer, wanted, &got, nullptr)) {
        failed_ = true;
        return 0;
    }
    remaining_ -= got;
    return got;
}

void ReadAhead::ReadAll() {
    for (int index = 0;; index = (index + 1) % pieceCount_) {
        Piece& piece = pieces_[index];
        AcquireSRWLockExclusive(&lock_);
        while (piece.filled && !stopping_) SleepConditionVariableSRW(&pieceFreed_, &lock_, INFINITE, 0);
        const bool stop = stopping_;
        ReleaseSRWLockExclusive(&lock_);
        if (stop) return;
        const size_t count = ReadPiece(piece.bytes.get());
        AcquireSRWLockExclusive(&lock_);
        piece.count = count;
        piece.filled = true;
        ReleaseSRWLockExclusive(&lock_);
        WakeConditionVariable(&pieceFilled_);
        if (count == 0) return;
    }
}

size_t ReadAhead::Next(const uint8_t** bytes) {
    *bytes = pieces_[0].bytes.get();
    if (ended_) return 0;
    if (!threaded_) {
        size_t count = ReadPiece(pieces_[0].bytes.get());
        ended_ = count == 0;
        return count;
    }
    AcquireSRWLockExclusive(&lock_);
    if (holding_) {
        pieces_[(next_ + pieceCount_ - 1) % pieceCount_].filled = false;
        WakeConditionVariable(&pieceFreed_);
    }
    Piece& piece = pieces_[next_];
    while (!piece.filled) SleepConditionVariableSRW(&pieceFilled_, &lock_, INFINITE, 0);
    ReleaseSRWLockExclusive(&lock_);
    holding_ = true;
    next_ = (next_ + 1) % pieceCount_;
    *bytes = piece.bytes.get();
    ended_ = piece.count == 0;
    return piece.count;
}
