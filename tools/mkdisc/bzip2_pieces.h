// One bzip2 stream made on several threads. The input is cut into pieces that each fill at
// most one block; every piece is encoded on its own by the program's encoder, and the blocks
// are joined bit for bit behind a single stream header, closed by one end-of-stream marker whose
// combined CRC folds in every block's CRC. The result is an ordinary single-stream .bz2 file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bz2_encoder.h"

// Where a piece ends: it grows byte by byte while its first-stage run-length form still fits
// one block of the level, and while it stays below a few megabytes (long runs shrink a lot in
// that first stage), which bounds the memory in flight.
class PieceCutter {
public:
    explicit PieceCutter(unsigned level = 9);
    // Bytes of data (from its start) that still fit the current piece; the rest starts the
    // next one. Call Reset() between pieces.
    size_t Fit(const uint8_t* data, size_t length);
    bool Full() const { return full_; }
    void Reset();

private:
    uint64_t limit_;
    uint64_t cost_ = 0;  // bytes the block holds so far, the open run included
    uint64_t bytes_ = 0;
    int runByte_ = -1;
    unsigned runLength_ = 0;
    bool full_ = false;
};

// Appends blocks into one stream.
class StreamJoiner {
public:
    explicit StreamJoiner(unsigned level = 9);
    void Append(const Bz2Block& block);
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

// bytes as one bzip2 stream of level (1 to 9), on the calling thread alone.
bool CompressBytes(const std::string& bytes, unsigned level, std::string* stream);
