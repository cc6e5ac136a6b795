#include "transfer/bz2_format.h"

#include <cstring>

namespace {

// entries[k][n] is the CRC of the byte n followed by k zero bytes, so that eight bytes are
// taken in one step.
struct CrcTables {
    uint32_t entries[8][256];
    CrcTables() {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t value = n << 24;
            for (int bit = 0; bit < 8; ++bit) value = (value << 1) ^ ((value & 0x80000000u) ? 0x04C11DB7u : 0);
            entries[0][n] = value;
        }
        for (unsigned k = 1; k < 8; ++k) {
            for (unsigned n = 0; n < 256; ++n) {
                const uint32_t previous = entries[k - 1][n];
                entries[k][n] = (previous << 8) ^ entries[0][previous >> 24];
            }
        }
    }
};
const CrcTables kCrc;

inline uint32_t LoadBigEndian32(const uint8_t* bytes) {
    uint32_t word;
    memcpy(&word, bytes, sizeof word);
    return __builtin_bswap32(word);
}

}  // namespace

uint32_t UpdateBz2Crc(uint32_t crc, const uint8_t* bytes, size_t count) {
    const uint32_t(&t)[8][256] = kCrc.entries;
    for (; count >= 8; count -= 8, bytes += 8) {
        const uint32_t high = crc ^ LoadBigEndian32(bytes);
        const uint32_t low = LoadBigEndian32(bytes + 4);
        crc = t[7][high >> 24] ^ t[6][(high >> 16) & 0xFF] ^ t[5][(high >> 8) & 0xFF] ^ t[4][high & 0xFF] ^
              t[3][low >> 24] ^ t[2][(low >> 16) & 0xFF] ^ t[1][(low >> 8) & 0xFF] ^ t[0][low & 0xFF];
    }
    for (; count > 0; --count) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *bytes++];
    return crc;
}
