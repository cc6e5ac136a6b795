// Reading one file from its start in pieces that the caller takes in order. With a thread of
// its own the next pieces are read while the caller works on the earlier ones; without, each
// piece is read when it is taken.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

// The bytes of one source file from its start, piece by piece in order.
class SourcePieces {
public:
    // The next piece; its bytes stay valid until the next call. 0 bytes: the end of the file,
    // the limit, or a failed read (Failed() tells).
    virtual size_t Next(const uint8_t** bytes) = 0;
    virtual bool Failed() const = 0;

protected:
    ~SourcePieces() = default;
};

// A source that was opened (and perhaps partly read) before its transfer began: its size when
// opened, and its bytes.
struct OpenedSource {
    uint64_t size = 0;
    SourcePieces* pieces = nullptr;
};

// True for a path on a fixed disk (or one that cannot be told), whose reads mostly come from the
// system's cache.
bool OnFixedDisk(const wchar_t* path);

class ReadAhead final : public SourcePieces {
public:
    static constexpr int kMostPieces = 4;

    // Reads file (positioned at its start) up to limit bytes or its end, on a thread of its own
    // when threaded, at most pieces (up to kMostPieces) of pieceBytes ahead of the caller.
    ReadAhead(HANDLE file, uint64_t limit, bool threaded, size_t pieceBytes, int pieces);
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    // Waits for a read in progress, so that nothing reads the file after this returns.
    ~ReadAhead();

    size_t Next(const uint8_t** bytes) override;
    bool Failed() const override { return failed_; }

private:
    struct Piece {
        std::unique_ptr<uint8_t[]> bytes;
        size_t count = 0;
        bool filled = false;
    };

    size_t ReadPiece(uint8_t* buffer);
    void ReadAll();

    HANDLE file_;
    uint64_t remaining_;
    size_t pieceBytes_;
    bool threaded_;
    bool failed_ = false;
    bool ended_ = false;
    int pieceCount_;
    Piece pieces_[kMostPieces];
    int next_ = 0;
    bool holding_ = false;
    bool stopping_ = false;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE pieceFilled_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE pieceFreed_ = CONDITION_VARIABLE_INIT;
    std::thread reader_;
};
