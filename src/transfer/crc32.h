// The hash class family and the CRC-32 check of an installed file.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

class CMakeHashAlgorithm {
public:
    virtual const wchar_t* GetName(wchar_t* output) = 0;
    virtual unsigned GetDigestSize() = 0;
    virtual unsigned GetBlockSize() = 0;
    virtual void Reset();
    virtual size_t ProcessBlocks(const uint8_t* data, uint32_t* state, size_t length) = 0;
    virtual size_t Transform(const uint8_t* data, size_t length) = 0;
    virtual void Final(uint8_t* output) = 0;

    void Update(const uint8_t* data, size_t length);
    // Writes the digest as lowercase hexadecimal text (terminated) and starts a new computation.
    void HexDigest(char* output);

protected:
    CMakeHashAlgorithm() = default;
    ~CMakeHashAlgorithm() = default;

    uint32_t waitingCount_ = 0;
    uint64_t totalLength_ = 0;
    uint8_t blockBuffer_[512] = {};
};

class CMakeCRC32 final : public CMakeHashAlgorithm {
public:
    CMakeCRC32() = default;
    CMakeCRC32(const CMakeCRC32&) = delete;
    CMakeCRC32& operator=(const CMakeCRC32&) = delete;

    const wchar_t* GetName(wchar_t* output) override;
    unsigned GetDigestSize() override { return 4; }
    unsigned GetBlockSize() override { return 64; }
    void Reset() override;
    size_t ProcessBlocks(const uint8_t* data, uint32_t* state, size_t length) override;
    size_t Transform(const uint8_t* data, size_t length) override;
    void Final(uint8_t* output) override;

    uint32_t Value() const { return ~crc_; }

private:
    uint32_t crc_ = 0xFFFFFFFFu;
};

// CRC-32 of a whole buffer (the common zlib/PNG definition).
uint32_t Crc32Of(const void* data, size_t length);

enum class FileCrcCheck { kMatches, kDifferent, kUnopenable };

// Whether the file reads and its CRC-32 text equals expected (case ignored), shown to no one: a
// file that reads only in part differs.
FileCrcCheck CompareFileCrc32(const wchar_t* path, const wchar_t* expected);

// The same check of a file open for reading, read from its start; the handle stays open.
FileCrcCheck CompareCrc32(HANDLE file, const wchar_t* expected);

// The box for a file whose CRC-32 cannot be checked since it does not open.
void ShowCrcUncheckable(const wchar_t* path, HWND owner);

// True when the file reads and its CRC-32 text equals expected (case ignored). A file that does
// not open is reported in a message box over owner.
bool CheckFileCrc32(const wchar_t* path, const wchar_t* expected, HWND owner);
