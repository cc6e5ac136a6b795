// The UDF tree of an image (ECMA-167 with OSTA UDF 1.02, which Windows 98 to 11 read; when a disc
// carries it, Windows reads it rather than ISO 9660): the volume recognition sequence after the
// ISO 9660 descriptors, a main and a reserve volume descriptor sequence, the logical volume
// integrity descriptor, anchors at sector 256 and at the last sector, and one read-only partition
// from behind sector 256 to the last sector. The partition starts with the file set descriptor
// and its terminator, then every folder's file entry and directory (file identifiers, names in OSTA compressed
// Unicode), every file's entry, and the files' data, which the ISO 9660 and Joliet trees share. A
// file's data is recorded in extents of at most 1 GiB less one sector.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ecma119_tree.h"
#include "image_file.h"
#include "image_tree.h"

// Sectors 16 to 21 hold the ISO 9660 descriptors and the recognition sequence; then the volume
// descriptor sequences (16 sectors each, the least UDF allows) and the integrity sequence.
constexpr uint64_t kUdfRecognitionSector = 19;
constexpr uint64_t kUdfMainSequenceSector = 22;
constexpr uint64_t kUdfSequenceSectors = 16;
constexpr uint64_t kUdfIntegritySector = kUdfMainSequenceSector + 2 * kUdfSequenceSectors;
constexpr uint64_t kUdfIntegritySectors = 2;
constexpr uint64_t kUdfFirstFreeSector = kUdfIntegritySector + kUdfIntegritySectors;
constexpr uint64_t kUdfAnchorSector = 256;

// What the UDF tree needs of the image around it.
struct UdfVolume {
    uint64_t partitionStart = 0;
    std::string volumeSetId;  // 16 hexadecimal digits, unique to the image
};

class UdfTree {
public:
    // Blocks of the partition before the data (file set descriptor, file entries, directories)
    // after the addition, without making it.
    uint64_t BlocksWith(const TreeAddition& addition) const;
    uint64_t Blocks() const { return blocks_; }
    // Before the tree itself takes the addition.
    void Add(const TreeAddition& addition);

    // The three sectors of the volume recognition sequence.
    static std::string RecognitionSequence();
    // Sectors kUdfMainSequenceSector up to kUdfFirstFreeSector.
    std::string VolumeDescriptors(const ImageTree& tree, const ImageData& data, const UdfVolume& volume) const;
    static std::string Anchor(uint64_t sector);
    // The partition's blocks before the data.
    std::string PartitionMetadata(const ImageTree& tree, const ImageData& data, const UdfVolume& volume) const;

private:
    struct Entry {
        bool folder = false;
        uint32_t index = 0;
    };
    struct Folder {
        std::map<std::wstring, Entry> entries;  // by name
        uint64_t identifierBytes = 40;          // the parent's identifier first
    };
    struct Placement;
    Placement Place(const ImageTree& tree) const;

    std::vector<Folder> folders_ = std::vector<Folder>(1);
    uint64_t blocks_ = 4;  // the file set descriptor and its terminator, the root's entry and directory
};

// OSTA compressed Unicode: a first byte of 8 when every character fits in 8 bits, else 16 and
// each character in two bytes, most significant first.
std::string OstaCompressed(const std::wstring& text);
// The CRC of ECMA-167's descriptor tags (CCITT polynomial 0x1021, from 0).
uint16_t UdfCrc(const unsigned char* bytes, size_t length);
