#include "bzip2_pieces.h"

namespace {

constexpr uint64_t kPieceByteLimit = 4 << 20;
constexpr unsigned kLongestRun = 255;
constexpr uint64_t kEndMagic = 0x177245385090ULL;

// A run of up to three bytes is stored as it is; four to 255 as four bytes and a count.
uint64_t RunCost(unsigned length) { return length < 4 ? length : 5; }

uint32_t RotateLeftOne(uint32_t value) { return (value << 1) | (value >> 31); }

}  // namespace

PieceCutter::PieceCutter(unsigned level) : limit_(uint64_t{level} * 100000) {}

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
        if (cost > limit_ || bytes_ == kPieceByteLimit) {
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

void PieceCutter::Reset() { *this = PieceCutter(static_cast<unsigned>(limit_ / 100000)); }

StreamJoiner::StreamJoiner(unsigned level) : bytes_("BZh") { bytes_.push_back(static_cast<char>('0' + level)); }

void StreamJoiner::PutBits(uint64_t value, int count) {
    pending_ = (pending_ << count) | (value & ((1ULL << count) - 1));
    pendingBits_ += count;
    while (pendingBits_ >= 8) {
        pendingBits_ -= 8;
        bytes_.push_back(static_cast<char>(pending_ >> pendingBits_));
    }
    pending_ &= (1ULL << pendingBits_) - 1;
}

void StreamJoiner::Append(const Bz2Block& block) {
    combinedCrc_ = RotateLeftOne(combinedCrc_) ^ block.crc;
    const size_t wholeBytes = static_cast<size_t>(block.bits / 8);
    const uint8_t* source = reinterpret_cast<const uint8_t*>(block.bytes.data());
    if (pendingBits_ == 0) {
        bytes_.append(reinterpret_cast<const char*>(source), wholeBytes);
    } else {
        const int shift = pendingBits_;
        uint64_t carry = pending_;
        const size_t start = bytes_.size();
        bytes_.resize(start + wholeBytes);
        char* out = bytes_.data() + start;
        for (size_t i = 0; i < wholeBytes; ++i) {
            out[i] = static_cast<char>((carry << (8 - shift)) | (source[i] >> shift));
            carry = source[i] & ((1u << shift) - 1);
        }
        pending_ = carry;
    }
    const int restBits = static_cast<int>(block.bits % 8);
    if (restBits > 0) PutBits(source[wholeBytes] >> (8 - restBits), restBits);
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

bool CompressBytes(const std::string& bytes, unsigned level, std::string* stream) {
    if (level < 1 || level > 9) return false;
    PieceCutter cutter(level);
    StreamJoiner joiner(level);
    Bz2BlockEncoder encoder;
    Bz2Block block;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 0; at < bytes.size();) {
        cutter.Reset();
        const size_t taken = cutter.Fit(data + at, bytes.size() - at);
        if (!encoder.Encode(data + at, taken, level, &block)) return false;
        joiner.Append(block);
        at += taken;
    }
    joiner.Finish();
    *stream = joiner.TakeBytes();
    return true;
}
