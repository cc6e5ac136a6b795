// Reading the sources of the files coming next, one after another in their order, on a thread of
// its own: while one file is written, expanded or checked, the drive goes on reading the next
// ones instead of standing still. Nothing is written here, and a read that fails is only told
// to the transfer of that file, when it takes its source.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/handles.h"
#include "transfer/read_ahead.h"

class SourceQueue {
public:
    static constexpr size_t kPieceBytes = 256 * 1024;
    static constexpr size_t kMostOpenAhead = 16;

    // Starts reading the files at paths, in order, holding at most aheadBytes (at least two
    // pieces) that no transfer has taken yet.
    SourceQueue(std::vector<std::wstring> paths, size_t aheadBytes);
    SourceQueue(const SourceQueue&) = delete;
    SourceQueue& operator=(const SourceQueue&) = delete;
    // Stops the reading after the piece in progress and waits for it.
    ~SourceQueue();

    // The source of paths[index] as opened ahead, for one transfer; whatever was read of the
    // files before it is let go. False when it was not opened ahead (it failed to open, or the
    // reading stopped at a failure before it): the transfer then opens it itself.
    bool Take(size_t index, OpenedSource* source);

private:
    struct Piece {
        size_t file = 0;
        std::unique_ptr<uint8_t[]> bytes;
        size_t count = 0;  // 0: the file's last piece, after its end or a failed read
        bool failed = false;
    };
    struct Opened {
        bool opened = false;
        uint64_t size = 0;
    };
    struct OpenedFile : Opened {
        FileHandle file;
    };

    // The pieces of the file taken last, for its transfer.
    class TakenPieces final : public SourcePieces {
    public:
        explicit TakenPieces(SourceQueue& queue) : queue_(queue) {}
        size_t Next(const uint8_t** bytes) override { return queue_.NextPiece(bytes); }
        bool Failed() const override { return queue_.takenFailed_; }

    private:
        SourceQueue& queue_;
    };

    void OpenAll();
    void ReadAll();
    bool ReadOne(size_t index);
    bool ReadPieces(size_t index, OpenedFile& opened);
    bool WaitForRoom(size_t bytes);
    void Push(Piece piece, size_t reserved);
    size_t NextPiece(const uint8_t** bytes);
    void DropHeldLocked();
    void DropBeforeLocked(size_t index);

    const std::vector<std::wstring> paths_;
    const size_t aheadBytes_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<Piece> pieces_;
    std::vector<Opened> opened_;  // one per file the reader has come to, in order
    std::deque<OpenedFile> openedAhead_;  // opened for the reader, in order
    std::vector<FileHandle> toClose_;     // read, for the opener to close
    size_t heldBytes_ = 0;
    bool readerDone_ = false;
    bool stopping_ = false;
    // The taker's side, used on its thread only.
    bool holding_ = false;  // the front piece has been handed out
    bool takenEnded_ = true;
    bool takenFailed_ = false;
    TakenPieces takenPieces_{*this};
    std::thread opener_;
    std::thread reader_;
};
