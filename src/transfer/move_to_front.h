// Move-to-front over byte values, as bzip2's decoder undoes it and its encoder does it. Noisy
// data has indices of 128 on average: the bytes before the index move up in pieces of 16, from
// the top down, each loaded whole before it is stored; the lowest piece may reach into a margin
// below the list. The search compares eight bytes at a time, and may read into a margin above.
#pragma once

#include <cstdint>
#include <cstring>

class MoveToFront {
public:
    void Reset(const uint8_t* values, unsigned count) {
        memset(storage_, 0, sizeof storage_);
        memcpy(storage_ + kPiece, values, count);
    }

    uint8_t Front() const { return storage_[kPiece]; }

    // The value at index, moved to the front.
    uint8_t Take(unsigned index) {
        uint8_t* const list = storage_ + kPiece;
        const uint8_t value = list[index];
        for (uint8_t* top = list + index; top > list; top -= kPiece) {
            uint64_t low, high;
            memcpy(&low, top - kPiece, 8);
            memcpy(&high, top - 8, 8);
            memcpy(top - kPiece + 1, &low, 8);
            memcpy(top - 7, &high, 8);
        }
        list[0] = value;
        return value;
    }

    // The index of value, which must be in the list: the lowest byte of a word that equals it
    // is the lowest zero byte of the word xor'ed with it.
    unsigned Find(uint8_t value) const {
        const uint8_t* const list = storage_ + kPiece;
        const uint64_t pattern = 0x0101010101010101ull * value;
        for (unsigned at = 0;; at += 8) {
            uint64_t word;
            memcpy(&word, list + at, 8);
            word ^= pattern;
            const uint64_t zeros = (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
            if (zeros != 0) return at + (__builtin_ctzll(zeros) >> 3);
        }
    }

private:
    static constexpr unsigned kPiece = 16;
    uint8_t storage_[kPiece + 256 + 8];
};
