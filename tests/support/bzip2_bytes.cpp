#include "support/bzip2_bytes.h"

#include <bzlib.h>

bool Bzip2Bytes(const std::string& bytes, std::string* packed) {
    // The library's own bound for the worst case: 1% larger plus 600 bytes.
    unsigned int length = static_cast<unsigned int>(bytes.size() + bytes.size() / 100 + 600);
    std::string out(length, '\0');
    if (BZ2_bzBuffToBuffCompress(&out[0], &length, const_cast<char*>(bytes.data()),
                                 static_cast<unsigned int>(bytes.size()), 9, 0, 0) != BZ_OK) {
        return false;
    }
    out.resize(length);
    *packed = out;
    return true;
}
