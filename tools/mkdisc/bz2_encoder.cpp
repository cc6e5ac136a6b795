#include "bz2_encoder.h"

#include <divsufsort.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

#include "transfer/bz2_format.h"
#include "transfer/move_to_front.h"

namespace {

#if defined(__SSE2__)
// The encoder's move-to-front list: a byte's index, found and moved to the front in one pass of
// sixteen bytes at a time (SSE2, which every x86-64 processor has). Each piece before the byte's
// own moves up one place whole, the last byte of one going to the front of the next; the piece
// holding the byte moves up to it.
class FrontList {
public:
    void Reset(const uint8_t* values, unsigned count) {
        memset(list_, 0, sizeof list_);
        memcpy(list_, values, count);
    }

    uint8_t Front() const { return list_[0]; }

    // value must be in the list.
    unsigned Take(uint8_t value) {
        const __m128i wanted = _mm_set1_epi8(static_cast<char>(value));
        const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        __m128i carry = _mm_cvtsi32_si128(value);
        for (unsigned at = 0;; at += 16) {
            __m128i* const piece = reinterpret_cast<__m128i*>(list_ + at);
            const __m128i bytes = _mm_load_si128(piece);
            const __m128i moved = _mm_or_si128(_mm_slli_si128(bytes, 1), carry);
            const unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)));
            if (found != 0) {
                const unsigned index = static_cast<unsigned>(__builtin_ctz(found));
                const __m128i kept = _mm_cmpgt_epi8(lanes, _mm_set1_epi8(static_cast<char>(index)));
                _mm_store_si128(piece, _mm_or_si128(_mm_and_si128(kept, bytes), _mm_andnot_si128(kept, moved)));
                return at + index;
            }
            _mm_store_si128(piece, moved);
            carry = _mm_srli_si128(bytes, 15);
        }
    }

private:
    alignas(16) uint8_t list_[256];
};
#else
// Without SSE2, the decoder's list: the search, then the move.
class FrontList {
public:
    void Reset(const uint8_t* values, unsigned count) { list_.Reset(values, count); }
    uint8_t Front() const { return list_.Front(); }
    unsigned Take(uint8_t value) {
        const unsigned index = list_.Find(value);
        list_.Take(index);
        return index;
    }

private:
    MoveToFront list_;
};
#endif

constexpr unsigned kLongestRun = 255;
// libbzip2 writes codes of up to 17 bits; every decoder takes them.
constexpr unsigned kLongestCode = 17;
constexpr unsigned kRefinements = 4;
constexpr unsigned kCostBits = 10;
static_assert(kBz2GroupSymbols * kLongestCode < (1u << kCostBits) && kBz2MostGroups * kCostBits <= 64,
              "a group's cost in each table fits its bits");
// A table's initial cost for the symbols outside its share of the alphabet.
constexpr uint8_t kOutsideCost = 15;
// Room for the header, the selectors and the code lengths of the largest block.
constexpr size_t kHeaderRoom = 32 * 1024;

// Where the least rotation of text[0, n) starts, least being the least byte in it: two
// candidates race, and the one that compares greater at some offset is pushed past it to the
// next place holding the least byte (no other can start the least rotation), so each byte is
// compared a few times at most. Long equal stretches, as in repeated data, are compared eight
// bytes at a time where neither candidate wraps around.
uint32_t LeastRotation(const uint8_t* text, uint32_t n, uint8_t least) {
    auto nextStart = [&](uint32_t from) {
        const void* const at = from < n ? memchr(text + from, least, n - from) : nullptr;
        return at != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(at) - text) : n;
    };
    uint32_t first = nextStart(0), second = nextStart(first + 1), offset = 0;
    while (first < n && second < n && offset < n) {
        uint32_t a = first + offset, b = second + offset;
        if (a >= n) a -= n;
        if (b >= n) b -= n;
        if (text[a] == text[b]) {
            ++offset;
            while (std::max(first, second) + offset + 8 <= n) {
                uint64_t wordA, wordB;
                memcpy(&wordA, text + first + offset, 8);
                memcpy(&wordB, text + second + offset, 8);
                if (wordA != wordB) {
                    offset += static_cast<uint32_t>(__builtin_ctzll(wordA ^ wordB)) / 8;  // little-endian
                    break;
                }
                offset += 8;
            }
            continue;
        }
        if (text[a] > text[b]) {
            first = nextStart(first + offset + 1);
        } else {
            second = nextStart(second + offset + 1);
        }
        if (first == second) second = nextStart(second + 1);
        offset = 0;
    }
    return std::min(first, second);
}

// Huffman code lengths for the counts, none longer than longest: where the tree grows too
// deep, the counts are halved (each kept above zero) and the tree is built again.
void MakeCodeLengths(const uint32_t* counts, unsigned alphabet, uint8_t* lengths) {
    uint32_t weights[kBz2MostSymbols];
    for (unsigned i = 0; i < alphabet; ++i) weights[i] = std::max<uint32_t>(counts[i], 1);
    for (;;) {
        uint16_t order[kBz2MostSymbols];
        for (unsigned i = 0; i < alphabet; ++i) order[i] = static_cast<uint16_t>(i);
        std::sort(order, order + alphabet, [&](uint16_t a, uint16_t b) {
            return weights[a] < weights[b] || (weights[a] == weights[b] && a < b);
        });
        // Two queues: the leaves by weight, and the inner nodes, made in order of weight.
        uint32_t nodeWeight[2 * kBz2MostSymbols];
        uint16_t parent[2 * kBz2MostSymbols];
        for (unsigned i = 0; i < alphabet; ++i) nodeWeight[i] = weights[order[i]];
        unsigned leaf = 0, inner = alphabet;
        const unsigned nodes = 2 * alphabet - 1;
        auto takeLightest = [&](unsigned made) {
            if (leaf < alphabet && (inner == made || nodeWeight[leaf] <= nodeWeight[inner])) return leaf++;
            return inner++;
        };
        for (unsigned made = alphabet; made < nodes; ++made) {
            const unsigned a = takeLightest(made);
            const unsigned b = takeLightest(made);
            nodeWeight[made] = nodeWeight[a] + nodeWeight[b];
            parent[a] = parent[b] = static_cast<uint16_t>(made);
        }
        uint8_t depth[2 * kBz2MostSymbols];
        depth[nodes - 1] = 0;
        unsigned deepest = 0;
        for (unsigned node = nodes - 1; node-- > 0;) {
            depth[node] = static_cast<uint8_t>(std::min(depth[parent[node]] + 1, 255));
            deepest = std::max<unsigned>(deepest, depth[node]);
        }
        if (deepest <= kLongestCode) {
            for (unsigned i = 0; i < alphabet; ++i) lengths[order[i]] = depth[i];
            return;
        }
        for (unsigned i = 0; i < alphabet; ++i) weights[i] = 1 + weights[i] / 2;
    }
}

}  // namespace

struct Bz2BlockEncoder::Tables {
    unsigned alphabet = 0;
    unsigned groups = 0;
    unsigned selectorCount = 0;
    uint32_t counts[kBz2MostSymbols];
    uint8_t lengths[kBz2MostGroups][kBz2MostSymbols];
    uint8_t selectors[kBz2MostSelectors];
};

// Bits into a buffer large enough for them, highest first, 32 at a time.
class Bz2BlockEncoder::BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    // count: 1 to 32; value below 2^count.
    void Put(uint32_t value, unsigned count) {
        pending_ = (pending_ << count) | value;
        pendingBits_ += count;
        if (pendingBits_ >= 32) {
            pendingBits_ -= 32;
            const uint32_t word = __builtin_bswap32(static_cast<uint32_t>(pending_ >> pendingBits_));
            memcpy(out_ + written_, &word, sizeof word);
            written_ += 4;
        }
    }
    // Writes the bits still pending, padded to a whole byte; returns the count of bits.
    uint64_t Finish() {
        const uint64_t bits = 8 * uint64_t{written_} + pendingBits_;
        if (pendingBits_ > 0) {
            const uint32_t word = __builtin_bswap32(static_cast<uint32_t>(pending_ << (32 - pendingBits_)));
            memcpy(out_ + written_, &word, sizeof word);
        }
        return bits;
    }

private:
    uint8_t* out_;
    size_t written_ = 0;
    uint64_t pending_ = 0;
    unsigned pendingBits_ = 0;
};

Bz2BlockEncoder::Bz2BlockEncoder() : tables_(new Tables) {}
Bz2BlockEncoder::~Bz2BlockEncoder() = default;

bool Bz2BlockEncoder::Encode(const uint8_t* data, size_t length, unsigned level, Bz2Block* block) {
    if (length == 0 || level < 1 || level > 9) return false;
    const size_t capacity = level * size_t{100000};
    if (capacity_ < capacity) {
        block_.reset(new uint8_t[capacity]);
        rotated_.reset(new uint8_t[capacity]);
        suffixes_.reset(new int32_t[capacity]);
        symbols_.reset(new uint16_t[capacity + 1]);
        coded_.reset(new uint8_t[capacity * kLongestCode / 8 + kHeaderRoom]);
        capacity_ = capacity;
    }
    if (!ShrinkRuns(data, length, capacity)) return false;
    Transform();
    MakeSymbols();
    ChooseTables();
    Write(~UpdateBz2Crc(kBz2CrcStart, data, length), block);
    return true;
}

bool Bz2BlockEncoder::ShrinkRuns(const uint8_t* data, size_t length, size_t capacity) {
    memset(inUse_, 0, sizeof inUse_);
    uint8_t* const out = block_.get();
    size_t count = 0;
    for (size_t i = 0; i < length;) {
        // Eight bytes at a time while none equals the byte after it, so that no run starts there.
        while (i + 9 <= length && count + 8 <= capacity) {
            uint64_t word, next;
            memcpy(&word, data + i, 8);
            memcpy(&next, data + i + 1, 8);
            const uint64_t same = word ^ next;  // a zero byte where a byte equals the next
            if (((same - 0x0101010101010101ull) & ~same & 0x8080808080808080ull) != 0) break;
            memcpy(out + count, &word, 8);
            for (unsigned k = 0; k < 8; ++k) inUse_[data[i + k]] = true;
            i += 8;
            count += 8;
        }
        if (i == length) break;
        const uint8_t value = data[i];
        size_t run = 1;
        while (run < kLongestRun && i + run < length && data[i + run] == value) ++run;
        i += run;
        inUse_[value] = true;
        if (run < 4) {
            if (count + run > capacity) return false;
            for (size_t k = 0; k < run; ++k) out[count++] = value;
            continue;
        }
        if (count + 5 > capacity) return false;
        memset(out + count, value, 4);
        out[count + 4] = static_cast<uint8_t>(run - 4);
        inUse_[run - 4] = true;
        count += 5;
    }
    count_ = static_cast<uint32_t>(count);
    return true;
}

void Bz2BlockEncoder::Transform() {
    // Sorted from its least rotation on, the suffixes of the block come in the order of its
    // rotations: a suffix that is a prefix of a longer one sorts first, and so does its
    // rotation, which continues with the least rotation. Equal rotations end in equal bytes.
    const uint32_t n = count_;
    uint8_t* const block = block_.get();
    uint8_t* const rotated = rotated_.get();
    int32_t* const suffixes = suffixes_.get();
    const auto least = static_cast<uint8_t>(std::find(inUse_, inUse_ + 256, true) - inUse_);
    const uint32_t start = LeastRotation(block, n, least);
    memcpy(rotated, block + start, n - start);
    memcpy(rotated + n - start, block, start);
    divsufsort(rotated, suffixes, static_cast<int32_t>(n));
    const uint32_t own = start == 0 ? 0 : n - start;  // where the block itself starts in rotated
    for (uint32_t row = 0; row < n; ++row) {
        const uint32_t at = static_cast<uint32_t>(suffixes[row]);
        block[row] = rotated[at == 0 ? n - 1 : at - 1];
        if (at == own) origin_ = row;
    }
}

void Bz2BlockEncoder::MakeSymbols() {
    // The list holds the bytes in use themselves, in ascending order at first, so that a byte's
    // index in it is the index of its number among the bytes in use.
    uint8_t used[256];
    usedCount_ = 0;
    for (unsigned value = 0; value < 256; ++value) {
        if (inUse_[value]) used[usedCount_++] = static_cast<uint8_t>(value);
    }
    FrontList list;
    list.Reset(used, usedCount_);
    uint8_t front = list.Front();
    uint32_t* const counts = tables_->counts;
    memset(counts, 0, sizeof tables_->counts);
    const uint8_t* const block = block_.get();
    uint16_t* const out = symbols_.get();
    uint32_t written = 0;
    uint32_t zeros = 0;
    // A run of zeros is its length in base two with the digits 1 (RUNA) and 2 (RUNB).
    auto putZeros = [&]() {
        while (zeros > 0) {
            const uint16_t digit = (zeros & 1) ? 0 : 1;
            out[written++] = digit;
            ++counts[digit];
            zeros = (zeros - 1 - digit) >> 1;
        }
    };
    for (uint32_t row = 0; row < count_; ++row) {
        const uint8_t value = block[row];
        if (value == front) {
            ++zeros;
            continue;
        }
        putZeros();
        front = value;
        const unsigned position = list.Take(value);
        out[written++] = static_cast<uint16_t>(position + 1);
        ++counts[position + 1];
    }
    putZeros();
    out[written++] = static_cast<uint16_t>(usedCount_ + 1);
    ++counts[usedCount_ + 1];
    symbolCount_ = written;
}

void Bz2BlockEncoder::ChooseTables() {
    Tables& t = *tables_;
    t.alphabet = usedCount_ + 2;
    const uint32_t n = symbolCount_;
    t.groups = n < 200 ? 2 : n < 600 ? 3 : n < 1200 ? 4 : n < 2400 ? 5 : 6;
    t.selectorCount = (n + kBz2GroupSymbols - 1) / kBz2GroupSymbols;

    // Each table starts cheap on its own stretch of the alphabet, of about equal counts, the
    // last table on the lowest symbols. Every second stretch inside gives back its last symbol,
    // which moves the borders between tables apart from where the counts alone put them.
    uint32_t left = n;
    unsigned first = 0;
    for (unsigned part = 0; part < t.groups; ++part) {
        const unsigned parts = t.groups - part;
        const uint32_t share = left / parts;
        uint32_t taken = 0;
        unsigned end = first;
        while (taken < share && end < t.alphabet) taken += t.counts[end++];
        if (end > first + 1 && part % 2 == 1 && parts != 1) taken -= t.counts[--end];
        uint8_t* const lengths = t.lengths[parts - 1];
        for (unsigned symbol = 0; symbol < t.alphabet; ++symbol) {
            lengths[symbol] = symbol >= first && symbol < end ? 0 : kOutsideCost;
        }
        left -= taken;
        first = end;
    }

    // Then each group of 50 symbols takes its cheapest table, and each table is made again
    // for the groups that took it. The costs of all tables are added at once, 10 bits each
    // (50 codes of at most 17 bits cost at most 850).
    const uint16_t* const symbols = symbols_.get();
    for (unsigned round = 0; round < kRefinements; ++round) {
        uint64_t packed[kBz2MostSymbols];
        for (unsigned symbol = 0; symbol < t.alphabet; ++symbol) {
            packed[symbol] = 0;
            for (unsigned group = 0; group < t.groups; ++group) {
                packed[symbol] |= uint64_t{t.lengths[group][symbol]} << (kCostBits * group);
            }
        }
        uint32_t counts[kBz2MostGroups][kBz2MostSymbols] = {};
        for (unsigned selector = 0; selector < t.selectorCount; ++selector) {
            const uint32_t begin = selector * kBz2GroupSymbols;
            const uint32_t end = std::min(begin + kBz2GroupSymbols, n);
            uint64_t costs = 0;
            for (uint32_t i = begin; i < end; ++i) costs += packed[symbols[i]];
            unsigned best = 0;
            uint32_t bestCost = 0xFFFFFFFFu;
            for (unsigned group = 0; group < t.groups; ++group) {
                const uint32_t cost = static_cast<uint32_t>(costs >> (kCostBits * group)) & ((1u << kCostBits) - 1);
                if (cost < bestCost) {
                    bestCost = cost;
                    best = group;
                }
            }
            t.selectors[selector] = static_cast<uint8_t>(best);
            for (uint32_t i = begin; i < end; ++i) ++counts[best][symbols[i]];
        }
        for (unsigned group = 0; group < t.groups; ++group) {
            MakeCodeLengths(counts[group], t.alphabet, t.lengths[group]);
        }
    }
}

void Bz2BlockEncoder::Write(uint32_t crc, Bz2Block* block) {
    const Tables& t = *tables_;
    BitWriter bits(coded_.get());
    bits.Put(static_cast<uint32_t>(kBz2BlockMagic >> 24), 24);
    bits.Put(static_cast<uint32_t>(kBz2BlockMagic & 0xFFFFFF), 24);
    bits.Put(crc, 32);
    bits.Put(0, 1);  // not randomised
    bits.Put(origin_, 24);

    // The bytes in use: which sixteens hold any, then each such sixteen.
    uint32_t sixteens = 0;
    uint32_t members[16] = {};
    for (unsigned value = 0; value < 256; ++value) {
        if (!inUse_[value]) continue;
        sixteens |= 0x8000u >> (value / 16);
        members[value / 16] |= 0x8000u >> (value % 16);
    }
    bits.Put(sixteens, 16);
    for (unsigned i = 0; i < 16; ++i) {
        if (members[i] != 0) bits.Put(members[i], 16);
    }

    // The selectors, move-to-front coded in unary.
    bits.Put(t.groups, 3);
    bits.Put(t.selectorCount, 15);
    uint8_t order[kBz2MostGroups] = {0, 1, 2, 3, 4, 5};
    for (unsigned i = 0; i < t.selectorCount; ++i) {
        const uint8_t group = t.selectors[i];
        unsigned position = 0;
        while (order[position] != group) ++position;
        for (unsigned k = position; k > 0; --k) order[k] = order[k - 1];
        order[0] = group;
        bits.Put((1u << (position + 1)) - 2, position + 1);
    }

    // The code lengths, each as steps of +1 (10) or -1 (11) from the one before, then 0.
    uint32_t codes[kBz2MostGroups][kBz2MostSymbols];
    for (unsigned group = 0; group < t.groups; ++group) {
        const uint8_t* const lengths = t.lengths[group];
        unsigned current = lengths[0];
        bits.Put(current, 5);
        for (unsigned symbol = 0; symbol < t.alphabet; ++symbol) {
            for (; current < lengths[symbol]; ++current) bits.Put(2, 2);
            for (; current > lengths[symbol]; --current) bits.Put(3, 2);
            bits.Put(0, 1);
        }
        // Canonical codes: shorter first, and by symbol within a length.
        uint32_t next = 0;
        for (unsigned length = 1; length <= kLongestCode; ++length) {
            for (unsigned symbol = 0; symbol < t.alphabet; ++symbol) {
                if (lengths[symbol] == length) codes[group][symbol] = next++ << 5 | length;
            }
            next <<= 1;
        }
    }

    const uint16_t* const symbols = symbols_.get();
    for (unsigned selector = 0; selector < t.selectorCount; ++selector) {
        const uint32_t* const table = codes[t.selectors[selector]];
        const uint32_t begin = selector * kBz2GroupSymbols;
        const uint32_t end = std::min(begin + kBz2GroupSymbols, symbolCount_);
        for (uint32_t i = begin; i < end; ++i) {
            const uint32_t code = table[symbols[i]];
            bits.Put(code >> 5, code & 31);
        }
    }
    block->bits = bits.Finish();
    block->bytes.assign(reinterpret_cast<const char*>(coded_.get()), static_cast<size_t>((block->bits + 7) / 8));
    block->crc = crc;
}
