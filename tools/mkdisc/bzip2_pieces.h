// One bzip2 stream made on several threads. The input is cut into pieces that each fill at
// most one 900 kB block; every piece is compressed on its own with libbzip2, and the blocks are
// joined bit for bit behind a single stream header, closed by one end-of-stream marker whose
// combined CRC folds in every block's CRC. The result is an ordinary single-stream .bz2 file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Where a piece ends: it grows byte by byte while its first-stage run-length form still fits
// one block, so that libbzip2 makes exactly one block of it, and while it stays below a few
// megabytes (long runs shrink a lot in that first stage), which bounds the memory in flight.
class PieceCutter {
public:
    // Bytes of data (from its start) that still fit the current piece; the rest starts the
    // next one. Call Reset() between pieces.
    size_t Fit(const uint8_t* data, size_t length);
    bool Full() const { return full_; }
    void Reset();

private:
    uint64_t cost_ = 0;  // bytes the block holds so far, the open run included
    uint64_t bytes_ = 0;
    int runByte_ = -1;
    unsigned runLength_ = 0;
    bool full_ = false;
};

// Appends whole streams' blocks into one stream.
class StreamJoiner {
public:
    StreamJoiner();
    // Takes the blocks of a complete one-block stream made by libbzip2 at level 9. False when
    // it is not one (the joined stream is then unusable).
    bool Append(const std::string& stream);
    // The bytes complete so far, removed from the joiner.
    std::string TakeBytes();
    // Closes the stream: the end marker, the combined CRC and the padding to a whole byte.
    void Finish();

private:
    void PutBits(uint64_t value, int count);
    std::string bytes_;
    uint64_t pending_ = 0;  // bits not yet a whole byte, in the low end
    int pendingBits_ = 0;
    uint32_t combinedCrc_ = 0;
};

// Compresses one piece into a complete bzip2 stream at level 9.
bool CompressPiece(const std::string& piece, std::string* stream);
