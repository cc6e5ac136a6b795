#include "transfer/bz2_decoder.h"

#include <algorithm>
#include <cstring>

#include "transfer/bz2_format.h"
#include "transfer/move_to_front.h"

namespace {

constexpr unsigned kFastBits = 10;
constexpr unsigned kLongestCode = 20;
constexpr unsigned kLongestRunShift = 20;
// Blocks hold at most level x 100,000 symbols, so positions fit in 24 bits and bit positions
// of any block stream in 32.
constexpr size_t kMostStreamBytes = 256 * 1024 * 1024;

// 32 bits from bit position bit, the first one highest; at least 25 of them are the data's.
inline uint32_t Peek32(const uint8_t* bytes, uint32_t bit) {
    uint32_t word;
    memcpy(&word, bytes + (bit >> 3), sizeof word);
    return __builtin_bswap32(word) << (bit & 7);
}

}  // namespace

// Reading of the block's header and tables, every read checked against the end of the bits.
class Bz2BlockDecoder::CheckedBits {
public:
    CheckedBits(const uint8_t* bytes, uint32_t bit, uint32_t limit) : bytes_(bytes), bit_(bit), limit_(limit) {}
    // count: 1 to 24. Past the end: 0, and Failed() tells.
    uint32_t Get(unsigned count) {
        if (count > limit_ - std::min(limit_, bit_)) {
            failed_ = true;
            return 0;
        }
        const uint32_t value = Peek32(bytes_, bit_) >> (32 - count);
        bit_ += count;
        return value;
    }
    bool Failed() const { return failed_; }
    uint32_t Bit() const { return bit_; }

private:
    const uint8_t* bytes_;
    uint32_t bit_;
    uint32_t limit_;
    bool failed_ = false;
};

// The decoding tables of one group, built the way libbzip2 builds them, so that any code (even
// one that no encoder makes) decodes to what libbzip2 would decode. Codes of up to kFastBits
// bits come from one look-up; longer ones take the canonical walk.
struct Bz2BlockDecoder::HuffmanTable {
    uint16_t fast[1u << kFastBits];  // symbol << 5 | length; 0: take the walk
    int32_t limit[kLongestCode + 1];
    int32_t base[kLongestCode + 1];
    uint16_t perm[kBz2MostSymbols];
    unsigned minLength;
    unsigned symbols;

    void Build(const uint8_t* lengths, unsigned alphabet) {
        unsigned maxLength = 0;
        minLength = 32;
        for (unsigned i = 0; i < alphabet; ++i) {
            maxLength = std::max<unsigned>(maxLength, lengths[i]);
            minLength = std::min<unsigned>(minLength, lengths[i]);
        }
        symbols = 0;
        for (unsigned length = minLength; length <= maxLength; ++length) {
            for (unsigned i = 0; i < alphabet; ++i) {
                if (lengths[i] == length) perm[symbols++] = static_cast<uint16_t>(i);
            }
        }
        int32_t starts[kLongestCode + 3] = {};
        for (unsigned i = 0; i < alphabet; ++i) ++starts[lengths[i] + 1];
        for (unsigned i = 1; i < kLongestCode + 3; ++i) starts[i] += starts[i - 1];
        int32_t code = 0;
        for (unsigned i = 0; i <= kLongestCode; ++i) limit[i] = 0;
        for (unsigned length = minLength; length <= maxLength; ++length) {
            code += starts[length + 1] - starts[length];
            limit[length] = code - 1;
            code <<= 1;
        }
        for (unsigned i = 0; i <= kLongestCode; ++i) base[i] = starts[i];
        for (unsigned length = minLength + 1; length <= maxLength; ++length) {
            base[length] = ((limit[length - 1] + 1) << 1) - starts[length];
        }
        for (uint32_t prefix = 0; prefix < (1u << kFastBits); ++prefix) {
            unsigned length = 0;
            const int symbol = Walk(prefix << (32 - kFastBits), kFastBits, &length);
            fast[prefix] = symbol < 0 ? 0 : static_cast<uint16_t>(symbol << 5 | length);
        }
    }

    // The symbol whose code begins word (highest bit first) and the code's length; -1 when no
    // code of up to longest bits fits.
    int Walk(uint32_t word, unsigned longest, unsigned* length) const {
        for (unsigned bits = minLength; bits <= longest; ++bits) {
            const int32_t code = static_cast<int32_t>(word >> (32 - bits));
            if (code > limit[bits]) continue;
            const int32_t index = code - base[bits];
            if (index < 0 || index >= static_cast<int32_t>(symbols)) return -1;
            *length = bits;
            return perm[index];
        }
        return -1;
    }
};

Bz2BlockDecoder::Bz2BlockDecoder() = default;
Bz2BlockDecoder::~Bz2BlockDecoder() = default;

Bz2BlockDecoder::Start Bz2BlockDecoder::Begin(const uint8_t* bytes, size_t size, uint64_t bit, unsigned level) {
    left_ = 0;
    pending_ = 0;
    broken_ = true;
    if (size > kMostStreamBytes || bit > size * 8 || level < 1 || level > 9) return Start::Refused;
    if (!tables_) tables_.reset(new HuffmanTable[kBz2MostGroups]);
    const uint32_t limit = static_cast<uint32_t>(size * 8);
    CheckedBits bits(bytes, static_cast<uint32_t>(bit), limit);
    const uint64_t magic = uint64_t{bits.Get(24)} << 24 | bits.Get(24);
    storedCrc_ = bits.Get(16) << 16;
    storedCrc_ |= bits.Get(16);
    if (magic != kBz2BlockMagic || bits.Failed()) return Start::Refused;
    if (bits.Get(1)) return Start::Randomised;
    origin_ = bits.Get(24);
    if (!ReadTables(&bits)) return Start::Refused;
    uint32_t at = bits.Bit();
    if (!ReadSymbols(bytes, limit, &at, level)) return Start::Refused;
    endBit_ = at;
    Link();
    return Start::Ready;
}

bool Bz2BlockDecoder::ReadTables(CheckedBits* bits) {
    const uint32_t used = bits->Get(16);
    inUse_ = 0;
    for (unsigned group = 0; group < 16; ++group) {
        if (!(used & (0x8000u >> group))) continue;
        const uint32_t present = bits->Get(16);
        for (unsigned i = 0; i < 16; ++i) {
            if (present & (0x8000u >> i)) byteOfSymbol_[inUse_++] = static_cast<uint8_t>(group * 16 + i);
        }
    }
    if (inUse_ == 0) return false;
    const unsigned alphabet = inUse_ + 2;

    groups_ = bits->Get(3);
    if (groups_ < 2 || groups_ > kBz2MostGroups) return false;
    unsigned selectors = bits->Get(15);
    if (selectors < 1) return false;
    // The selectors are move-to-front coded in unary.
    uint8_t order[kBz2MostGroups] = {0, 1, 2, 3, 4, 5};
    for (unsigned i = 0; i < selectors; ++i) {
        unsigned index = 0;
        while (bits->Get(1)) {
            if (++index >= groups_) return false;
        }
        if (bits->Failed()) return false;
        if (i >= kBz2MostSelectors) continue;  // never used; some encoders round the count up
        const uint8_t group = order[index];
        memmove(order + 1, order, index);
        order[0] = group;
        selectors_[i] = group;
    }
    selectorCount_ = std::min(selectors, kBz2MostSelectors);

    // The code lengths, each a step of +1 or -1 from the one before.
    for (unsigned group = 0; group < groups_; ++group) {
        uint8_t lengths[kBz2MostSymbols];
        int length = static_cast<int>(bits->Get(5));
        for (unsigned i = 0; i < alphabet; ++i) {
            for (;;) {
                if (length < 1 || length > static_cast<int>(kLongestCode)) return false;
                if (!bits->Get(1)) break;
                length += bits->Get(1) ? -1 : 1;
            }
            lengths[i] = static_cast<uint8_t>(length);
        }
        if (bits->Failed()) return false;
        tables_[group].Build(lengths, alphabet);
    }
    return true;
}

bool Bz2BlockDecoder::ReadSymbols(const uint8_t* bytes, uint32_t limit, uint32_t* bit, unsigned level) {
    const uint32_t most = level * 100000;
    if (capacity_ < most) {
        tt_.reset();
        before_.reset();
        text_.reset();
        tt_.reset(new uint32_t[most]);
        before_.reset(new uint16_t[most]);
        text_.reset(new uint8_t[most]);
        capacity_ = most;
    }
    uint32_t* const tt = tt_.get();
    for (uint32_t& count : counts_) count = 0;
    MoveToFront mtf;
    mtf.Reset(byteOfSymbol_, inUse_);
    const unsigned endOfBlock = inUse_ + 1;
    uint32_t count = 0;
    uint32_t run = 0;
    unsigned runShift = 0;
    uint32_t at = *bit;
    for (unsigned group = 0; group < selectorCount_; ++group) {
        const HuffmanTable& table = tables_[selectors_[group]];
        for (unsigned i = 0; i < kBz2GroupSymbols; ++i) {
            if (at > limit) return false;
            const uint32_t word = Peek32(bytes, at);
            unsigned symbol = table.fast[word >> (32 - kFastBits)];
            if (symbol != 0) {
                at += symbol & 31;
                symbol >>= 5;
            } else {
                unsigned length = 0;
                const int walked = table.Walk(word, kLongestCode, &length);
                if (walked < 0) return false;
                at += length;
                symbol = static_cast<unsigned>(walked);
            }
            // RUNA and RUNB: the digits (1 and 2) of a run length of the front byte.
            if (symbol <= 1) {
                if (runShift > kLongestRunShift) return false;
                run += (symbol + 1) << runShift++;
                continue;
            }
            if (run > 0) {
                if (run > most - count) return false;
                const uint8_t front = mtf.Front();
                counts_[front] += run;
                std::fill(tt + count, tt + count + run, uint32_t{front});
                count += run;
                run = 0;
                runShift = 0;
            }
            if (symbol == endOfBlock) {
                if (at > limit || origin_ >= count) return false;
                *bit = at;
                count_ = count;
                return true;
            }
            if (count == most) return false;
            const uint8_t value = mtf.Take(symbol - 1);
            ++counts_[value];
            tt[count++] = value;
        }
    }
    return false;
}

void Bz2BlockDecoder::Link() {
    uint32_t* const tt = tt_.get();
    uint16_t* const before = before_.get();
    uint32_t next[256];
    uint32_t sum = 0;
    for (unsigned value = 0; value < 256; ++value) {
        next[value] = sum;
        sum += counts_[value];
    }
    for (uint32_t i = 0; i < count_; ++i) {
        const uint32_t after = next[tt[i] & 0xFF]++;
        tt[after] |= i << 8;
        tt[i] |= (after >> 16) << 28;
        before[i] = static_cast<uint16_t>(after);
    }
    Walk();
    position_ = 0;
    left_ = count_;
    pending_ = 0;
    last_ = -1;
    equal_ = 0;
    broken_ = false;
    crc_ = kBz2CrcStart;
}

void Bz2BlockDecoder::Walk() {
    const uint32_t* const tt = tt_.get();
    const uint16_t* const before = before_.get();
    // From the start: the entry after the original row names the first byte. From the end:
    // the original row holds the last byte.
    uint8_t* front = text_.get();
    uint8_t* back = front + count_;
    uint32_t forward = (tt[origin_] >> 8) & 0xFFFFF;
    uint32_t backward = origin_;
    for (uint32_t steps = count_ / 2; steps > 0; --steps) {
        const uint32_t ahead = tt[forward];
        const uint32_t behind = tt[backward];
        const uint32_t low = before[backward];
        *front++ = static_cast<uint8_t>(ahead);
        forward = (ahead >> 8) & 0xFFFFF;
        *--back = static_cast<uint8_t>(behind);
        backward = (behind >> 28) << 16 | low;
    }
    if (back != front) *--back = static_cast<uint8_t>(tt[backward]);
}

size_t Bz2BlockDecoder::Take(uint8_t* out, size_t room) {
    uint8_t* at = out;
    uint8_t* const end = out + room;
    for (;;) {
        if (pending_ > 0) {
            const uint32_t copies = static_cast<uint32_t>(std::min<size_t>(pending_, end - at));
            memset(at, runByte_, copies);
            at += copies;
            pending_ -= copies;
            if (pending_ > 0) break;
        }
        const uint32_t steps = static_cast<uint32_t>(std::min<size_t>(left_, end - at));
        if (steps == 0) break;
        // Four equal bytes are followed by a count of further copies.
        const uint8_t* const text = text_.get();
        uint32_t position = position_;
        int last = last_;
        unsigned equal = equal_;
        uint32_t taken = 0;
        while (taken < steps) {
            const uint8_t value = text[position++];
            ++taken;
            if (equal == 4) {
                pending_ = value;
                runByte_ = static_cast<uint8_t>(last);
                equal = 0;
                break;
            }
            equal = value == last ? equal + 1 : 1;
            last = value;
            *at++ = value;
        }
        left_ -= taken;
        position_ = position;
        last_ = last;
        equal_ = equal;
    }
    if (left_ == 0 && pending_ == 0 && equal_ == 4) broken_ = true;
    crc_ = UpdateBz2Crc(crc_, out, static_cast<size_t>(at - out));
    return static_cast<size_t>(at - out);
}
