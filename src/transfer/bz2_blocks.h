// The bzip2 format at the level of its blocks: where blocks may start in the compressed bits,
// and the decoding of one block by libbzip2 as a stream of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "transfer/bz2_decoder.h"

constexpr uint64_t kBlockMagic = 0x314159265359ull;
constexpr uint64_t kStreamEndMagic = 0x177245385090ull;
constexpr unsigned kMagicBits = 48;
// A stream's header: "BZh" and the block size in units of 100,000 bytes, '1' to '9'.
constexpr size_t kStreamHeaderBytes = 4;
// No block is longer: at most 18,002 groups of 50 codes of at most 20 bits, and its tables.
constexpr uint64_t kLongestBlockBits = 20000000;

// A bit position where a block magic or an end-of-stream magic begins. The magic can also
// occur by chance inside a block's data, so a mark is only a candidate.
struct BlockMark {
    uint64_t bit;
    bool streamEnd;
};

// Appends the marks that begin in bytes [from, to) of bytes[0, size) in order; firstBit is the
// position of bytes[0]. A magic that would run past size is not found.
void FindBlockMarks(const uint8_t* bytes, size_t size, size_t from, size_t to, uint64_t firstBit,
                    std::vector<BlockMark>* marks);

// count (at most 57) bits from bit position bit of bytes, the first one highest.
uint64_t ReadBits(const uint8_t* bytes, uint64_t bit, unsigned count);

// Bytes whose storage is kept between uses; contents are not initialised.
struct ByteBuffer {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
    size_t capacity = 0;

    void Clear() { size = 0; }
    // Room for at least bytes in all, keeping the contents; growing by half at a time, but
    // never past most (unless bytes asks for more).
    void Reserve(size_t bytes, size_t most = SIZE_MAX);
};

// A block's kept output: its storage is counted while it exists, so that the most output held at
// once can be read (PeakHeldOutputBytes).
struct HeldOutput : ByteBuffer {
    HeldOutput() = default;
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;
    ~HeldOutput();
    void Reserve(size_t bytes, size_t most = SIZE_MAX);
};

// A stream of one block for libbzip2: the header for level, the block's bits [startBit,
// endBit) of bytes, and an end-of-stream marker whose combined CRC is the block's CRC. Eight
// zero bytes follow its end, for readers that look a word ahead.
void BuildBlockStream(const uint8_t* bytes, uint64_t startBit, uint64_t endBit, unsigned level, ByteBuffer* stream);

// The combined CRC of a stream after one more block.
inline uint32_t CombineBlockCrc(uint32_t combined, uint32_t blockCrc) {
    return ((combined << 1) | (combined >> 31)) ^ blockCrc;
}

// What decoding one block gave.
struct BlockResult {
    bool sound = false;      // the output is whole and its CRC right
    bool endsEarly = false;  // sound, but its bits end before the end it was given
    bool byLibrary = false;  // decoded by libbzip2
    uint64_t length = 0;     // the whole output's length

    // Sound and ending exactly where it was said to end.
    bool Fits() const { return sound && !endsEarly; }
};

// How often libbzip2 has been asked again about a block that the program's own decoder refused
// or found with a wrong CRC: 0 on sound data. Blocks in the old randomised form go to libbzip2
// directly and are not counted.
uint64_t LibraryRedecodings();

// The most bytes that the kept outputs of blocks (HeldOutput) have held at once in this process,
// since the start or the last reset (which makes it what they hold now).
uint64_t PeakHeldOutputBytes();
void ResetPeakHeldOutputBytes();

// One thread's block decoding: the program's own decoder, with libbzip2 as the arbiter of every
// block the own decoder does not find sound. Working memory is kept from one block to the next.
class BlockDecoder {
public:
    BlockDecoder() = default;
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;
    ~BlockDecoder();

    // Decodes a stream made by BuildBlockStream from blockBits bits of a block. Up to keepBytes
    // of the output are kept in *output.
    BlockResult Decode(const ByteBuffer& stream, uint64_t blockBits, size_t keepBytes, HeldOutput* output);
    // Decodes it again, by the decoder that found it sound, handing the output in pieces to
    // sink (false from sink stops the decoding).
    bool DecodeInPieces(const ByteBuffer& stream, bool byLibrary,
                        const std::function<bool(const uint8_t*, size_t)>& sink);

private:
    bool DecodeByLibrary(const ByteBuffer& stream, size_t keepBytes, HeldOutput* output, uint64_t* length);
    // Where the next output goes (*room bytes): into *output up to keepBytes, then scratch_.
    uint8_t* NextTarget(size_t keepBytes, HeldOutput* output, size_t* room);
    // Accounts for count bytes just written to target.
    void Produced(const uint8_t* target, size_t count, HeldOutput* output, uint64_t* length);
    static void* Allocate(void* self, int count, int size);
    static void Free(void* self, void* memory);

    struct Allocation {
        void* memory = nullptr;
        size_t bytes = 0;
        bool used = false;
    };
    Bz2BlockDecoder own_;
    // libbzip2 asks for its state and for the block table, the same sizes for every block of
    // one level: kept, they are neither allocated nor faulted in again.
    Allocation allocations_[3];
    ByteBuffer scratch_;
};
