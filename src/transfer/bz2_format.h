// The fixed numbers of bzip2's block format and its CRC, shared by the installer's decoder and
// mkdisc's encoder.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint64_t kBz2BlockMagic = 0x314159265359ull;
constexpr unsigned kBz2GroupSymbols = 50;  // symbols coded with the table of one selector
constexpr unsigned kBz2MostGroups = 6;     // Huffman tables in a block
constexpr unsigned kBz2MostSymbols = 258;  // RUNA, RUNB, 255 move-to-front indices, end of block
constexpr unsigned kBz2MostSelectors = 18002;

// The CRC of a block's bytes: the polynomial 0x04C11DB7, highest bit first, started at all ones
// and inverted at the end (as the block header stores it).
constexpr uint32_t kBz2CrcStart = 0xFFFFFFFFu;

// The running CRC after bytes[0, count); invert the last one for the stored value.
uint32_t UpdateBz2Crc(uint32_t crc, const uint8_t* bytes, size_t count);
