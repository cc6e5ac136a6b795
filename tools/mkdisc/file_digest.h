// Moving one game file onto a disc, or reading it back from one, while computing the size
// and CRC-32 of the bytes the installer will write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Called with the count of source bytes consumed since the previous call.
using ByteProgress = std::function<void(uint64_t)>;

struct FileDigest {
    uint64_t size = 0;  // bytes of the file as installed (after expansion)
    std::string crc;    // CRC-32 as eight lowercase hexadecimal digits
};

// Reads source and, when target is not empty, writes an identical copy to it.
bool CopyWithDigest(const std::wstring& source, const std::wstring& target, FileDigest* digest, std::wstring* error,
                    const ByteProgress& progress);

// Compresses source into target as one standard bzip2 stream (level 9), its blocks made on
// threads (0: one per logical processor); the digest describes the source bytes.
bool CompressWithDigest(const std::wstring& source, const std::wstring& target, FileDigest* digest, std::wstring* error,
                        const ByteProgress& progress, unsigned threads = 0);

// The logical processors of the machine (at least 1).
unsigned LogicalProcessors();

// Size of a file; false when it cannot be queried.
bool QueryFileSize(const std::wstring& path, uint64_t* size);
