#include "transfer/crc32.h"

#include <windows.h>
#include <share.h>

#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr size_t kReadChunkBytes = 32768;

// Sixteen tables for slicing-by-16: table[0] is the classic byte table, table[k][n] is the CRC
// of byte n followed by k zero bytes.
using SliceTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr SliceTables MakeSliceTables() {
    SliceTables tables{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? (value >> 1) ^ kPolynomial : value >> 1;
        tables[0][n] = value;
    }
    for (size_t k = 1; k < 16; ++k) {
        for (size_t n = 0; n < 256; ++n) {
            uint32_t previous = tables[k - 1][n];
            tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr SliceTables kTables = MakeSliceTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du, "reflected CRC-32 table");

inline uint32_t LoadLittle32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint32_t UpdateBytewise(uint32_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ kTables[0][(crc ^ data[i]) & 0xFF];
    return crc;
}

uint32_t UpdateSliced(uint32_t crc, const uint8_t* data, size_t length) {
    while (length >= 16) {
        uint32_t a = LoadLittle32(data) ^ crc;
        uint32_t b = LoadLittle32(data + 4);
        uint32_t c = LoadLittle32(data + 8);
        uint32_t d = LoadLittle32(data + 12);
        crc = kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
              kTables[12][a >> 24] ^ kTables[11][b & 0xFF] ^ kTables[10][(b >> 8) & 0xFF] ^
              kTables[9][(b >> 16) & 0xFF] ^ kTables[8][b >> 24] ^ kTables[7][c & 0xFF] ^ kTables[6][(c >> 8) & 0xFF] ^
              kTables[5][(c >> 16) & 0xFF] ^ kTables[4][c >> 24] ^ kTables[3][d & 0xFF] ^ kTables[2][(d >> 8) & 0xFF] ^
              kTables[1][(d >> 16) & 0xFF] ^ kTables[0][d >> 24];
        data += 16;
        length -= 16;
    }
    return UpdateBytewise(crc, data, length);
}

// Carry-less multiplication folding (the reflected-domain constants for the polynomial
// 0x104C11DB7). Needs at least 64 bytes and a multiple of 16; works on the register itself.
#if defined(__i386__)
__attribute__((target("sse2,sse4.1,pclmul"), force_align_arg_pointer))
#else
__attribute__((target("sse2,sse4.1,pclmul")))
#endif
uint32_t
UpdateFolded(uint32_t crc, const uint8_t* data, size_t length) {
    alignas(16) static const uint64_t k1k2[2] = {0x0154442bd4ull, 0x01c6e41596ull};
    alignas(16) static const uint64_t k3k4[2] = {0x01751997d0ull, 0x00ccaa009eull};
    alignas(16) static const uint64_t k5k0[2] = {0x0163cd6124ull, 0x0000000000ull};
    alignas(16) static const uint64_t poly[2] = {0x01db710641ull, 0x01f7011641ull};

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x00));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x10));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x20));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    data += 64;
    length -= 64;

    while (length >= 64) {
        __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
        __m128i x6 = _mm_clmulepi64_si128(x2, x0, 0x00);
        __m128i x7 = _mm_clmulepi64_si128(x3, x0, 0x00);
        __m128i x8 = _mm_clmulepi64_si128(x4, x0, 0x00);
        x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
        x2 = _mm_clmulepi64_si128(x2, x0, 0x11);
        x3 = _mm_clmulepi64_si128(x3, x0, 0x11);
        x4 = _mm_clmulepi64_si128(x4, x0, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x00)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x10)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x20)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0x30)));
        data += 64;
        length -= 64;
    }

    // Fold the four lanes into one.
    x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
    x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x3), x5);
    x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x4), x5);

    while (length >= 16) {
        x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
        x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
        data += 16;
        length -= 16;
    }

    // 128 bits to 64.
    x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
    __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_srli_si128(x1, 8);
    x1 = _mm_xor_si128(x1, x2);
    x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, mask);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_xor_si128(x1, x2);

    // Barrett reduction to 32 bits.
    x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_and_si128(x1, mask);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
    x2 = _mm_and_si128(x2, mask);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

bool CpuCanFold() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    return (ecx & bit_PCLMUL) && (ecx & bit_SSE4_1) && (edx & bit_SSE2);
}

const bool kCanFold = CpuCanFold();

// The register after length bytes; the folded path takes whole 16-byte pieces of at least 64.
uint32_t UpdateRegister(uint32_t crc, const uint8_t* data, size_t length) {
    if (kCanFold && length >= 64) {
        size_t folded = length & ~static_cast<size_t>(15);
        crc = UpdateFolded(crc, data, folded);
        data += folded;
        length -= folded;
    }
    return UpdateSliced(crc, data, length);
}

}  // namespace

void CMakeHashAlgorithm::Reset() {
    waitingCount_ = 0;
    totalLength_ = 0;
}

void CMakeHashAlgorithm::Update(const uint8_t* data, size_t length) {
    if (length == 0) return;
    totalLength_ += length;
    const size_t blockSize = GetBlockSize();
    if (waitingCount_ != 0) {
        if (waitingCount_ + length < blockSize) {
            memcpy(blockBuffer_ + waitingCount_, data, length);
            waitingCount_ += static_cast<uint32_t>(length);
            return;
        }
        size_t fill = blockSize - waitingCount_;
        memcpy(blockBuffer_ + waitingCount_, data, fill);
        Transform(blockBuffer_, blockSize);
        data += fill;
        length -= fill;
        waitingCount_ = 0;
        if (length == 0) return;
    }
    size_t remainder = Transform(data, length);
    if (remainder != 0) {
        memcpy(blockBuffer_, data + length - remainder, remainder);
        waitingCount_ = static_cast<uint32_t>(remainder);
    }
}

void CMakeHashAlgorithm::HexDigest(char* output) {
    static const char kDigits[] = "0123456789abcdef";
    const unsigned size = GetDigestSize();
    uint8_t digest[1024];
    Final(digest);
    Reset();
    for (unsigned i = 0; i < size; ++i) {
        output[2 * i] = kDigits[digest[i] >> 4];
        output[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    output[2 * size] = '\0';
}

const wchar_t* CMakeCRC32::GetName(wchar_t* output) {
    static const wchar_t kName[] = L"CRC32";
    if (!output) return kName;
    memcpy(output, kName, sizeof kName);
    return output;
}

void CMakeCRC32::Reset() {
    CMakeHashAlgorithm::Reset();
    crc_ = 0xFFFFFFFFu;
}

size_t CMakeCRC32::ProcessBlocks(const uint8_t* data, uint32_t* state, size_t length) {
    const size_t remainder = length % 64;
    *state = UpdateRegister(*state, data, length - remainder);
    return remainder;
}

size_t CMakeCRC32::Transform(const uint8_t* data, size_t length) { return ProcessBlocks(data, &crc_, length); }

void CMakeCRC32::Final(uint8_t* output) {
    crc_ = UpdateBytewise(crc_, blockBuffer_, waitingCount_);
    waitingCount_ = 0;
    const uint32_t value = ~crc_;
    output[0] = static_cast<uint8_t>(value >> 24);
    output[1] = static_cast<uint8_t>(value >> 16);
    output[2] = static_cast<uint8_t>(value >> 8);
    output[3] = static_cast<uint8_t>(value);
}

uint32_t Crc32Of(const void* data, size_t length) {
    return ~UpdateRegister(0xFFFFFFFFu, static_cast<const uint8_t*>(data), length);
}

namespace {

// Feeds every chunk that read(buffer, capacity) returns until it returns 0; false when a read
// failed, since a checksum of the bytes before it says nothing about the file.
template <typename ReadChunk>
bool HashWhole(CMakeCRC32* hash, ReadChunk read) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadChunkBytes]);
    for (;;) {
        size_t got = 0;
        if (!read(buffer.get(), kReadChunkBytes, &got)) return false;
        if (got == 0) return true;
        hash->Update(buffer.get(), got);
    }
}

FileCrcCheck CompareDigest(CMakeCRC32* hash, const wchar_t* expected) {
    char digest[16];
    hash->HexDigest(digest);
    // Exactly the eight digits, letters in either case: no prefix, sign or white space.
    if (wcslen(expected) != strlen(digest)) return FileCrcCheck::kDifferent;
    for (size_t i = 0; digest[i] != '\0'; ++i) {
        wchar_t c = expected[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != static_cast<wchar_t>(digest[i])) return FileCrcCheck::kDifferent;
    }
    return FileCrcCheck::kMatches;
}

}  // namespace

FileCrcCheck CompareFileCrc32(const wchar_t* path, const wchar_t* expected) {
    StdioFile file(_wfsopen(path, L"rb", _SH_DENYNO));
    if (!file) return FileCrcCheck::kUnopenable;
    // Whole chunks go from the runtime's read straight into our buffer.
    setvbuf(file.get(), nullptr, _IONBF, 0);
    CMakeCRC32 hash;
    const bool whole = HashWhole(&hash, [&](uint8_t* buffer, size_t capacity, size_t* got) {
        *got = fread(buffer, 1, capacity, file.get());
        return *got > 0 || !ferror(file.get());
    });
    if (!whole) return FileCrcCheck::kDifferent;
    return CompareDigest(&hash, expected);
}

FileCrcCheck CompareCrc32(HANDLE file, const wchar_t* expected) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return FileCrcCheck::kDifferent;
    CMakeCRC32 hash;
    const bool whole = HashWhole(&hash, [&](uint8_t* buffer, size_t capacity, size_t* got) {
        DWORD read = 0;
        const bool ok = ReadFile(file, buffer, static_cast<DWORD>(capacity), &read, nullptr) != FALSE;
        *got = read;
        return ok;
    });
    if (!whole) return FileCrcCheck::kDifferent;
    return CompareDigest(&hash, expected);
}

void ShowCrcUncheckable(const wchar_t* path, HWND owner) {
    ShowErrorBox(owner, FormatText(L"%ls\nCRC32のチェックができません。", path).c_str());
}

bool CheckFileCrc32(const wchar_t* path, const wchar_t* expected, HWND owner) {
    const FileCrcCheck result = CompareFileCrc32(path, expected);
    if (result == FileCrcCheck::kUnopenable) ShowCrcUncheckable(path, owner);
    return result == FileCrcCheck::kMatches;
}
