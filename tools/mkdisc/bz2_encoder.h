// mkdisc's own encoder of one bzip2 block: the first run-length stage, the Burrows-Wheeler
// transform by suffix sorting, move-to-front with the run-length coding of zeros, and Huffman
// coding with up to six tables chosen per 50 symbols. libbzip2's decoder is its arbiter: the
// tests hold every block it writes to what libbzip2 gives back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// One block as it goes into a stream: its bits from the block magic to the last symbol, the
// first bit highest in each byte, and the CRC of the bytes it holds.
struct Bz2Block {
    std::string bytes;  // the last byte padded with zero bits
    uint64_t bits = 0;
    uint32_t crc = 0;
};

class Bz2BlockEncoder {
public:
    Bz2BlockEncoder();
    Bz2BlockEncoder(const Bz2BlockEncoder&) = delete;
    Bz2BlockEncoder& operator=(const Bz2BlockEncoder&) = delete;
    ~Bz2BlockEncoder();

    // Encodes data[0, length), which must not be empty and whose first-stage run-length form
    // must fit a block of level (1 to 9) x 100,000 bytes (PieceCutter cuts such pieces). False
    // when it does not. The buffers stay for the next block: about 10.2 bytes per byte of a
    // block (9.2 MB at level 9), and the sorter takes 0.26 MB more while it runs.
    bool Encode(const uint8_t* data, size_t length, unsigned level, Bz2Block* block);

private:
    struct Tables;
    class BitWriter;
    // Runs of 4 to 255 equal bytes become four bytes and a count; false when past capacity.
    bool ShrinkRuns(const uint8_t* data, size_t length, size_t capacity);
    // The last column of the sorted rotations of the block, in place of the block, and the
    // row of the block itself.
    void Transform();
    // The symbols: move-to-front over the bytes in use, zeros as runs of RUNA and RUNB, then
    // the end of the block.
    void MakeSymbols();
    void ChooseTables();
    void Write(uint32_t crc, Bz2Block* block);

    std::unique_ptr<uint8_t[]> block_;    // the block, then its last column
    std::unique_ptr<uint8_t[]> rotated_;  // the block from its least rotation on
    std::unique_ptr<int32_t[]> suffixes_;
    std::unique_ptr<uint16_t[]> symbols_;
    std::unique_ptr<uint8_t[]> coded_;  // the block's bits, up to 17 per symbol
    std::unique_ptr<Tables> tables_;
    size_t capacity_ = 0;
    uint32_t count_ = 0;  // bytes in the block
    uint32_t origin_ = 0;
    uint32_t symbolCount_ = 0;
    bool inUse_[256];
    unsigned usedCount_ = 0;
};
