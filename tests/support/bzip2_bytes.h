// Compressed test data, made with libbzip2 itself so that the installer's expansion is checked
// against the format's own writer.
#pragma once

#include <string>

#include <cstdint>
#include <vector>

// bytes as one bzip2 stream in *packed, with blocks of level x 100,000 bytes (1 to 9); false
// when the library refuses.
bool Bzip2Bytes(const std::string& bytes, std::string* packed, int level = 9);

// The bit positions (from the first byte's highest bit) where the 48-bit value magic occurs;
// bzip2's block magic is 0x314159265359, its end-of-stream magic 0x177245385090.
std::vector<uint64_t> FindBits48(const std::string& bytes, uint64_t magic);
