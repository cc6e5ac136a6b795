// The program's own decoder of one bzip2 block: its tables, its Huffman-coded symbols and the
// inverse transform are done at once; the output (after the final run-length stage) is then
// taken in pieces of any size, with the block's CRC computed on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "transfer/bz2_format.h"

class Bz2BlockDecoder {
public:
    enum class Start { Ready, Randomised, Refused };

    Bz2BlockDecoder();
    Bz2BlockDecoder(const Bz2BlockDecoder&) = delete;
    Bz2BlockDecoder& operator=(const Bz2BlockDecoder&) = delete;
    ~Bz2BlockDecoder();

    // Reads the block whose magic begins at bit `bit` of bytes[0, size), for a stream of level
    // (1 to 9). The reads may touch up to 8 bytes past size, which must be readable. Refused:
    // the bits break the format (or run past size); Randomised: an old form left to libbzip2.
    Start Begin(const uint8_t* bytes, size_t size, uint64_t bit, unsigned level);

    // The first bit after the block's last symbol, and the CRC its header gives.
    uint64_t EndBit() const { return endBit_; }
    uint32_t StoredCrc() const { return storedCrc_; }

    // Writes up to room bytes of the block's output to out and returns their count; 0 once the
    // output is complete (or broken: a run-length count missing at the end).
    size_t Take(uint8_t* out, size_t room);
    // After the output is complete: whether it is whole and its CRC is the stored one.
    bool Sound() const { return left_ == 0 && pending_ == 0 && !broken_ && ~crc_ == storedCrc_; }

private:
    struct HuffmanTable;
    class CheckedBits;
    bool ReadTables(CheckedBits* bits);
    // The symbols up to the end of the block, undone from move-to-front and run-length coding
    // into the low bytes of tt_; *bit moves past them.
    bool ReadSymbols(const uint8_t* bytes, uint32_t limit, uint32_t* bit, unsigned level);
    // The inverse transform: each entry learns the positions before and after it.
    void Link();
    // Follows the positions from both ends of the block at once: two independent chains of
    // reads, whose waits for memory overlap.
    void Walk();

    // Per position: bits 0-7 the symbol, 8-27 the position after it, 28-31 the highest bits of
    // the position before it, whose low 16 bits are in before_.
    std::unique_ptr<uint32_t[]> tt_;
    std::unique_ptr<uint16_t[]> before_;
    std::unique_ptr<uint8_t[]> text_;  // the block's bytes before the final run-length stage
    size_t capacity_ = 0;
    std::unique_ptr<HuffmanTable[]> tables_;
    uint8_t selectors_[kBz2MostSelectors];
    uint8_t byteOfSymbol_[256];
    uint32_t counts_[256];
    unsigned inUse_ = 0;
    unsigned groups_ = 0;
    unsigned selectorCount_ = 0;
    uint32_t origin_ = 0;
    uint32_t count_ = 0;
    uint64_t endBit_ = 0;
    uint32_t storedCrc_ = 0;

    // The run-length stage, kept between pieces.
    uint32_t position_ = 0;  // in text_
    uint32_t left_ = 0;
    uint32_t pending_ = 0;  // copies of runByte_ still to write
    uint8_t runByte_ = 0;
    int last_ = -1;
    unsigned equal_ = 0;  // how many bytes in a row have equalled last_
    bool broken_ = false;
    uint32_t crc_ = 0;
};
