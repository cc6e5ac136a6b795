#include "transfer/bz2_blocks.h"

#include <bzlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t kMagicMask = (1ull << kMagicBits) - 1;
constexpr size_t kDiscardPieceBytes = 256 * 1024;
// The bytes a reader may look ahead past a block stream's end.
constexpr size_t kStreamSlackBytes = 8;

std::atomic<uint64_t> libraryRedecodings{0};
std::atomic<uint64_t> heldOutputBytes{0};
std::atomic<uint64_t> peakHeldOutputBytes{0};

// For each byte value, the bit offsets (0 to 7, as a bit set) at which a magic beginning in the
// byte before would put that value into this byte, for the second and the third byte of the
// magic. A byte of the data passes both tests in about 1 of 500 places.
struct MarkFilter {
    uint8_t second[256] = {};
    uint8_t third[256] = {};

    MarkFilter() {
        for (uint64_t magic : {kBlockMagic, kStreamEndMagic}) {
            for (unsigned shift = 0; shift < 8; ++shift) {
                // The magic placed shift bits into a 64-bit window that begins at its first byte.
                const uint64_t window = magic << (16 - shift);
                second[(window >> 48) & 0xFF] |= static_cast<uint8_t>(1u << shift);
                third[(window >> 40) & 0xFF] |= static_cast<uint8_t>(1u << shift);
            }
        }
    }
};

const MarkFilter kMarkFilter;

uint64_t LoadBigEndian(const uint8_t* bytes, size_t available) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) value = (value << 8) | (i < available ? bytes[i] : 0);
    return value;
}

void CheckMarks(const uint8_t* bytes, size_t size, size_t at, unsigned shifts, uint64_t firstBit,
                std::vector<BlockMark>* marks) {
    const uint64_t window = LoadBigEndian(bytes + at, size - at);
    for (unsigned shift = 0; shift < 8; ++shift) {
        if (!(shifts & (1u << shift))) continue;
        if (at * 8 + shift + kMagicBits > size * 8) break;
        const uint64_t candidate = (window >> (16 - shift)) & kMagicMask;
        if (candidate == kBlockMagic || candidate == kStreamEndMagic) {
            marks->push_back({firstBit + at * 8 + shift, candidate == kStreamEndMagic});
        }
    }
}

// Appends count bits of source from bit position sourceBit to target, which ends on a byte
// boundary; the last byte is filled up with zeros.
void AppendBits(const uint8_t* source, uint64_t sourceBit, uint64_t count, ByteBuffer* target) {
    target->Reserve(target->size + static_cast<size_t>(count / 8) + 2);
    const uint8_t* from = source + sourceBit / 8;
    const unsigned shift = static_cast<unsigned>(sourceBit % 8);
    uint8_t* to = target->data.get() + target->size;
    const size_t whole = static_cast<size_t>(count / 8);
    if (shift == 0) {
        memcpy(to, from, whole);
    } else {
        for (size_t i = 0; i < whole; ++i) {
            to[i] = static_cast<uint8_t>((from[i] << shift) | (from[i + 1] >> (8 - shift)));
        }
    }
    target->size += whole;
    const unsigned rest = static_cast<unsigned>(count % 8);
    if (rest != 0) {
        // The last partial byte, its bits at the top and zeros below.
        const uint64_t bits = ReadBits(source, sourceBit + whole * 8, rest);
        target->data[target->size++] = static_cast<uint8_t>(bits << (8 - rest));
    }
}

// Appends value's low count bits to a stream whose last byte holds usedBits bits (0 to 7; 0 when
// the stream ends on a byte boundary).
void PutBits(ByteBuffer* stream, unsigned* usedBits, uint64_t value, unsigned count) {
    stream->Reserve(stream->size + count / 8 + 2);
    for (unsigned i = count; i-- > 0;) {
        const uint8_t bit = static_cast<uint8_t>((value >> i) & 1);
        if (*usedBits == 0) stream->data[stream->size++] = 0;
        stream->data[stream->size - 1] |= static_cast<uint8_t>(bit << (7 - *usedBits));
        *usedBits = (*usedBits + 1) % 8;
    }
}

}  // namespace

void FindBlockMarks(const uint8_t* bytes, size_t size, size_t from, size_t to, uint64_t firstBit,
                    std::vector<BlockMark>* marks) {
    // The fast loop reads two bytes beyond the one tested; the last bytes go the careful way.
    const size_t fastEnd = std::min(to, size >= 8 ? size - 8 : 0);
    size_t at = from;
    for (; at < fastEnd; ++at) {
        const unsigned shifts = kMarkFilter.second[bytes[at + 1]] & kMarkFilter.third[bytes[at + 2]];
        if (shifts != 0) CheckMarks(bytes, size, at, shifts, firstBit, marks);
    }
    for (; at < to; ++at) CheckMarks(bytes, size, at, 0xFF, firstBit, marks);
}

uint64_t ReadBits(const uint8_t* bytes, uint64_t bit, unsigned count) {
    const uint8_t* first = bytes + bit / 8;
    const unsigned shift = static_cast<unsigned>(bit % 8);
    const size_t spanned = (shift + count + 7) / 8;
    uint64_t value = 0;
    for (size_t i = 0; i < spanned; ++i) value = (value << 8) | first[i];
    value >>= spanned * 8 - shift - count;
    return value & ((1ull << count) - 1);
}

void ByteBuffer::Reserve(size_t bytes, size_t most) {
    if (bytes <= capacity) return;
    const size_t grown = std::max(bytes, std::min(capacity + capacity / 2, most));
    std::unique_ptr<uint8_t[]> larger(new uint8_t[grown]);
    if (size > 0) memcpy(larger.get(), data.get(), size);
    data = std::move(larger);
    capacity = grown;
}

void BuildBlockStream(const uint8_t* bytes, uint64_t startBit, uint64_t endBit, unsigned level, ByteBuffer* stream) {
    stream->Clear();
    stream->Reserve(static_cast<size_t>((endBit - startBit) / 8) + 16);
    const uint8_t header[kStreamHeaderBytes] = {'B', 'Z', 'h', static_cast<uint8_t>('0' + level)};
    memcpy(stream->data.get(), header, sizeof header);
    stream->size = sizeof header;
    AppendBits(bytes, startBit, endBit - startBit, stream);
    unsigned usedBits = static_cast<unsigned>((endBit - startBit) % 8);
    const uint64_t blockCrc = ReadBits(bytes, startBit + kMagicBits, 32);
    PutBits(stream, &usedBits, kStreamEndMagic, kMagicBits);
    PutBits(stream, &usedBits, blockCrc, 32);
    stream->Reserve(stream->size + kStreamSlackBytes);
    memset(stream->data.get() + stream->size, 0, kStreamSlackBytes);
}

uint64_t LibraryRedecodings() { return libraryRedecodings.load(); }

uint64_t PeakHeldOutputBytes() { return peakHeldOutputBytes.load(); }

void ResetPeakHeldOutputBytes() { peakHeldOutputBytes = heldOutputBytes.load(); }

HeldOutput::~HeldOutput() { heldOutputBytes -= capacity; }

void HeldOutput::Reserve(size_t bytes, size_t most) {
    const size_t before = capacity;
    ByteBuffer::Reserve(bytes, most);
    const uint64_t held = heldOutputBytes += capacity - before;
    uint64_t peak = peakHeldOutputBytes.load();
    while (held > peak && !peakHeldOutputBytes.compare_exchange_weak(peak, held)) {
    }
}

BlockDecoder::~BlockDecoder() {
    for (Allocation& allocation : allocations_) free(allocation.memory);
}

void* BlockDecoder::Allocate(void* self, int count, int size) {
    Allocation* allocations = static_cast<BlockDecoder*>(self)->allocations_;
    const size_t bytes = static_cast<size_t>(count) * static_cast<size_t>(size);
    for (int i = 0; i < 3; ++i) {
        if (!allocations[i].used && allocations[i].bytes == bytes) {
            allocations[i].used = true;
            return allocations[i].memory;
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (allocations[i].used) continue;
        free(allocations[i].memory);
        allocations[i].memory = malloc(bytes);
        allocations[i].bytes = allocations[i].memory ? bytes : 0;
        allocations[i].used = allocations[i].memory != nullptr;
        return allocations[i].memory;
    }
    return nullptr;
}

void BlockDecoder::Free(void* self, void* memory) {
    for (Allocation& allocation : static_cast<BlockDecoder*>(self)->allocations_) {
        if (allocation.memory == memory) allocation.used = false;
    }
}

namespace {

// One libbzip2 decompression from init to end.
class Decompression {
public:
    Decompression(void* (*allocate)(void*, int, int), void (*release)(void*, void*), void* owner,
                  const ByteBuffer& stream) {
        stream_.bzalloc = allocate;
        stream_.bzfree = release;
        stream_.opaque = owner;
        started_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
        stream_.next_in = reinterpret_cast<char*>(stream.data.get());
        stream_.avail_in = static_cast<unsigned>(stream.size);
    }
    Decompression(const Decompression&) = delete;
    Decompression& operator=(const Decompression&) = delete;
    ~Decompression() {
        if (started_) BZ2_bzDecompressEnd(&stream_);
    }

    enum class Step { More, End, Failed };
    // Decodes into target[0, room); *produced gets the count.
    Step Decode(uint8_t* target, size_t room, size_t* produced) {
        *produced = 0;
        if (!started_) return Step::Failed;
        stream_.next_out = reinterpret_cast<char*>(target);
        stream_.avail_out = static_cast<unsigned>(room);
        const int result = BZ2_bzDecompress(&stream_);
        *produced = room - stream_.avail_out;
        // The stream ends exactly where the block's bits and the marker made for it end.
        if (result == BZ_STREAM_END) return stream_.avail_in == 0 ? Step::End : Step::Failed;
        if (result != BZ_OK) return Step::Failed;
        // All the input taken and nothing more to give: the block goes on past its end.
        if (*produced == 0 && stream_.avail_in == 0) return Step::Failed;
        return Step::More;
    }

private:
    bz_stream stream_{};
    bool started_ = false;
};

}  // namespace

BlockResult BlockDecoder::Decode(const ByteBuffer& stream, uint64_t blockBits, size_t keepBytes, HeldOutput* output) {
    BlockResult result;
    const unsigned level = stream.data[kStreamHeaderBytes - 1] - '0';
    const Bz2BlockDecoder::Start start = own_.Begin(stream.data.get(), stream.size, kStreamHeaderBytes * 8, level);
    if (start == Bz2BlockDecoder::Start::Ready) {
        output->Clear();
        for (;;) {
            size_t room = 0;
            uint8_t* target = NextTarget(keepBytes, output, &room);
            const size_t produced = own_.Take(target, room);
            if (produced == 0) break;
            Produced(target, produced, output, &result.length);
        }
        const uint64_t endBit = kStreamHeaderBytes * 8 + blockBits;
        if (own_.Sound() && own_.EndBit() <= endBit) {
            result.sound = true;
            result.endsEarly = own_.EndBit() < endBit;
            return result;
        }
    }
    if (start != Bz2BlockDecoder::Start::Randomised) ++libraryRedecodings;
    result.byLibrary = true;
    result.sound = DecodeByLibrary(stream, keepBytes, output, &result.length);
    return result;
}

bool BlockDecoder::DecodeByLibrary(const ByteBuffer& stream, size_t keepBytes, HeldOutput* output, uint64_t* length) {
    Decompression decompression(Allocate, Free, this, stream);
    output->Clear();
    *length = 0;
    for (;;) {
        size_t room = 0;
        uint8_t* target = NextTarget(keepBytes, output, &room);
        size_t produced = 0;
        const Decompression::Step step = decompression.Decode(target, room, &produced);
        Produced(target, produced, output, length);
        if (step != Decompression::Step::More) return step == Decompression::Step::End;
    }
}

uint8_t* BlockDecoder::NextTarget(size_t keepBytes, HeldOutput* output, size_t* room) {
    if (output->size == output->capacity && output->capacity < keepBytes) {
        // Grown by half at a time: most blocks expand to little more than a megabyte.
        output->Reserve(std::min(keepBytes, std::max<size_t>(output->capacity + 1, 1024 * 1024)), keepBytes);
    }
    const size_t kept = std::min(output->capacity, keepBytes);
    if (output->size < kept) {
        *room = kept - output->size;
        return output->data.get() + output->size;
    }
    // Past keepBytes the output is decoded only to have its CRC checked.
    scratch_.Reserve(kDiscardPieceBytes);
    *room = kDiscardPieceBytes;
    return scratch_.data.get();
}

void BlockDecoder::Produced(const uint8_t* target, size_t count, HeldOutput* output, uint64_t* length) {
    *length += count;
    if (target != scratch_.data.get()) output->size += count;
}

bool BlockDecoder::DecodeInPieces(const ByteBuffer& stream, bool byLibrary,
                                  const std::function<bool(const uint8_t*, size_t)>& sink) {
    if (!byLibrary) {
        const unsigned level = stream.data[kStreamHeaderBytes - 1] - '0';
        if (own_.Begin(stream.data.get(), stream.size, kStreamHeaderBytes * 8, level) !=
            Bz2BlockDecoder::Start::Ready) {
            return false;
        }
        scratch_.Reserve(kDiscardPieceBytes);
        for (;;) {
            const size_t produced = own_.Take(scratch_.data.get(), kDiscardPieceBytes);
            if (produced == 0) return own_.Sound();
            if (!sink(scratch_.data.get(), produced)) return false;
        }
    }
    Decompression decompression(Allocate, Free, this, stream);
    scratch_.Reserve(kDiscardPieceBytes);
    for (;;) {
        size_t produced = 0;
        const Decompression::Step step = decompression.Decode(scratch_.data.get(), kDiscardPieceBytes, &produced);
        if (step == Decompression::Step::Failed) return false;
        if (produced > 0 && !sink(scratch_.data.get(), produced)) return false;
        if (step == Decompression::Step::End) return true;
    }
}
