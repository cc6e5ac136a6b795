#include "bzip2_pieces.h"

#include <bzlib.h>

namespace {

// libbzip2 at level 9 closes a block at 900,000 - 19 bytes of run-length output; a piece
// stays a few bytes below so that its last run, added when the block closes, still fits.
constexpr uint64_t kPieceCostLimit = 900000 - 19 - 8;
constexpr uint64_t kPieceByteLimit = 4 << 20;
constexpr unsigned kLongestRun = 255;
constexpr uint64_t kBlockMagic = 0x314159265359ULL;
constexpr uint64_t kEndMagic = 0x177245385090ULL;
constexpr size_t kHeaderBytes = 4;  // "BZh9"
constexpr uint64_t kHeaderBits = 8 * kHeaderBytes;

// A run of up to three bytes is stored as it is; four to 255 as four bytes and a count.
uint64_t RunCost(unsigned length) { return length < 4 ? length : 5; }

uint64_t GetBits(const std::string& data, uint64_t position, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i, ++position) {
        const unsigned byte = static_cast<uint8_t>(data[static_cast<size_t>(position / 8)]);
        value = (value << 1) | ((byte >> (7 - position % 8)) & 1u);
    }
    return value;
}

uint32_t RotateLeftOne(uint32_t value) { return (value << 1) | (value >> 31); }

}  // namespace

size_t PieceCutter::Fit(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const int byte = data[i];
        uint64_t cost = cost_;
        unsigned run = runLength_;
        if (byte == runByte_ && run < kLongestRun) {
            cost += RunCost(run + 1) - RunCost(run);
            ++run;
        } else {
            cost += 1;
            run = 1;
        }
        if (cost > kPieceCostLimit || bytes_ == kPieceByteLimit) {
            full_ = true;
            return i;
        }
        cost_ = cost;
        ++bytes_;
        runLength_ = run;
        runByte_ = byte;
    }
    return length;
}

void PieceCutter::Reset() { *this = PieceCutter(); }

StreamJoiner::StreamJoiner() : bytes_("BZh9") {}

void StreamJoiner::PutBits(uint64_t value, int count) {
    pending_ = (pending_ << count) | (value & ((1ULL << count) - 1));
    pendingBits_ += count;
    while (pendingBits_ >= 8) {
        pendingBits_ -= 8;
        bytes_.push_back(static_cast<char>(pending_ >> pendingBits_));
    }
    pending_ &= (1ULL << pendingBits_) - 1;
}

bool StreamJoiner::Append(const std::string& stream) {
    if (stream.size() < kHeaderBytes + 20 || stream.compare(0, kHeaderBytes, "BZh9") != 0) return false;
    // The stream ends with the end marker, the combined CRC and up to seven bits of padding.
    const uint64_t totalBits = 8ULL * stream.size();
    uint64_t end = 0;
    for (uint64_t padding = 0; padding < 8 && end == 0; ++padding) {
        const uint64_t candidate = totalBits - padding - 80;
        if (GetBits(stream, candidate, 48) == kEndMagic) end = candidate;
    }
    if (end <= kHeaderBits || GetBits(stream, kHeaderBits, 48) != kBlockMagic) return false;
    const uint32_t blockCrc = static_cast<uint32_t>(GetBits(stream, kHeaderBits + 48, 32));
    // In a stream of one block the combined CRC is that block's CRC.
    if (static_cast<uint32_t>(GetBits(stream, end + 48, 32)) != blockCrc) return false;
    combinedCrc_ = RotateLeftOne(combinedCrc_) ^ blockCrc;

    const uint64_t blockBits = end - kHeaderBits;
    const size_t wholeBytes = static_cast<size_t>(blockBits / 8);
    const uint8_t* source = reinterpret_cast<const uint8_t*>(stream.data()) + kHeaderBytes;
    if (pendingBits_ == 0) {
        bytes_.append(reinterpret_cast<const char*>(source), wholeBytes);
    } else {
        const int shift = pendingBits_;
        uint64_t carry = pending_;
        for (size_t i = 0; i < wholeBytes; ++i) {
            bytes_.push_back(static_cast<char>((carry << (8 - shift)) | (source[i] >> shift)));
            carry = source[i] & ((1u << shift) - 1);
        }
        pending_ = carry;
    }
    const int restBits = static_cast<int>(blockBits % 8);
    if (restBits > 0) PutBits(source[wholeBytes] >> (8 - restBits), restBits);
    return true;
}

std::string StreamJoiner::TakeBytes() {
    std::string taken;
    taken.swap(bytes_);
    return taken;
}

void StreamJoiner::Finish() {
    PutBits(kEndMagic >> 24, 24);
    PutBits(kEndMagic & 0xFFFFFF, 24);
    PutBits(combinedCrc_, 32);
    if (pendingBits_ > 0) PutBits(0, 8 - pendingBits_);
}

bool CompressPiece(const std::string& piece, std::string* stream) {
    // libbzip2's own bound for incompressible data: 1% more and 600 bytes.
    stream->resize(piece.size() + piece.size() / 100 + 600);
    unsigned length = static_cast<unsigned>(stream->size());
    const int result = BZ2_bzBuffToBuffCompress(stream->data(), &length, const_cast<char*>(piece.data()),
                                                static_cast<unsigned>(piece.size()), 9, 0, 0);
    if (result != BZ_OK) return false;
    stream->resize(length);
    return true;
}
