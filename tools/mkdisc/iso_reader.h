// Reading a disc image with mkdisc's own readers, the way a drive's file systems read the disc:
// its ISO 9660 and Joliet trees (iso_reader.cpp) and its UDF tree (udf_reader.cpp), each as a
// list of folders and files with the extents of their data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/handles.h"
#include "file_digest.h"

// What both readers hold an image to: sectors of 2,048 bytes, folders no deeper and no larger
// than any disc's.
constexpr uint64_t kReaderSector = 2048;
constexpr int kDeepestReadFolder = 64;
constexpr uint64_t kLargestReadFolder = 64u << 20;

inline uint32_t ReadLittle32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

struct ImageExtent {
    uint64_t offset = 0;  // in bytes, from the start of the image
    uint64_t bytes = 0;
};

struct ImageEntry {
    std::wstring path;  // relative to the root, '\' between its parts
    bool folder = false;
    uint64_t size = 0;
    std::vector<ImageExtent> extents;
};

// An image file opened for reading.
class ImageSource {
public:
    bool Open(const std::wstring& path, std::wstring* error);
    bool Read(uint64_t offset, void* to, size_t length) const;
    uint64_t Bytes() const { return bytes_; }
    const std::wstring& path() const { return path_; }
    // A message about the image: its name, then why.
    bool Fail(const std::wstring& why, std::wstring* error) const;

private:
    FileHandle file_;
    uint64_t bytes_ = 0;
    std::wstring path_;
};

// The entries of the Joliet tree (joliet) or of the ISO 9660 tree, parents before what they hold.
// False with a message when the image holds no such tree or a damaged one: records running past
// their sector or folder, data beyond the end of the volume, folders that loop, names that would
// lead outside a folder.
bool ReadEcma119Tree(const ImageSource& image, bool joliet, std::vector<ImageEntry>* entries, std::wstring* error);

// The entries of the UDF tree, parents before what they hold. *present is false (and the result
// true) when the image has no UDF anchor at sector 256; false with a message when the tree is
// damaged: a descriptor whose tag, checksum, CRC or place is wrong, extents beyond the image,
// folders that loop.
bool ReadUdfTree(const ImageSource& image, bool* present, std::vector<ImageEntry>* entries, std::wstring* error);

// The size and CRC-32 of a file entry's bytes, read in place; progress hears of each piece.
// False when a read fails.
bool DigestEntry(const ImageSource& image, const ImageEntry& entry, const ByteProgress& progress, FileDigest* digest);

// True when the two extent lists hold the same bytes.
bool SameImageBytes(const ImageSource& image, const ImageEntry& a, const ImageEntry& b);

// A name a Windows folder may hold: not empty, not "." or "..", no control or reserved character.
bool IsSafeEntryName(const std::wstring& name);
