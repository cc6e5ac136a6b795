#include "support/bzip2_bytes.h"

#include <bzlib.h>

bool Bzip2Bytes(const std::string& bytes, std::string* packed, int level) {
    // The library's own bound for the worst case: 1% larger plus 600 bytes.
    unsigned int length = static_cast<unsigned int>(bytes.size() + bytes.size() / 100 + 600);
    std::string out(length, '\0');
    if (BZ2_bzBuffToBuffCompress(&out[0], &length, const_cast<char*>(bytes.data()),
                                 static_cast<unsigned int>(bytes.size()), level, 0, 0) != BZ_OK) {
        return false;
    }
    out.resize(length);
    *packed = out;
    return true;
}

std::vector<uint64_t> FindBits48(const std::string& bytes, uint64_t magic) {
    std::vector<uint64_t> found;
    uint64_t window = 0;
    for (uint64_t bit = 0; bit < bytes.size() * 8ull; ++bit) {
        const unsigned value = static_cast<unsigned char>(bytes[static_cast<size_t>(bit / 8)]) >> (7 - bit % 8) & 1u;
        window = ((window << 1) | value) & 0xFFFFFFFFFFFFull;
        if (bit >= 47 && window == magic) found.push_back(bit - 47);
    }
    return found;
}
