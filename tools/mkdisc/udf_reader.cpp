// mkdisc's own reader of an image's UDF tree (ECMA-167, OSTA UDF 1.02 and later for what a
// read-only disc holds): the anchor at sector 256, the main volume descriptor sequence with its
// partition and logical volume, the file set, and every file entry and file identifier below its
// root. Each descriptor's tag is checked: identifier, checksum, CRC and the place it names.
#include <windows.h>

#include <set>

#include "iso_reader.h"
#include "udf_tree.h"

namespace {

constexpr uint64_t kSector = kReaderSector;
constexpr uint64_t kAnchorSector = 256;
constexpr uint64_t kMostSequenceSectors = 64;
constexpr uint16_t kAnchorTag = 2, kPartitionTag = 5, kLogicalVolumeTag = 6, kTerminatingTag = 8;
constexpr uint16_t kFileSetTag = 256, kFileIdentifierTag = 257, kFileEntryTag = 261;
constexpr uint8_t kCharacteristicFolder = 0x02, kCharacteristicDeleted = 0x04, kCharacteristicParent = 0x08;
constexpr uint8_t kFileTypeFolder = 4;
constexpr uint64_t kFileEntryBytes = 176;

uint16_t Little16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint64_t Little64(const unsigned char* p) { return ReadLittle32(p) | static_cast<uint64_t>(ReadLittle32(p + 4)) << 32; }

// A descriptor's tag: its identifier, the checksum of its 16 bytes, the CRC of what follows
// (within length) and the place it says it is recorded at.
bool SoundTag(const unsigned char* d, size_t length, uint16_t id, uint64_t location) {
    if (length < 16 || Little16(d) != id || ReadLittle32(d + 12) != location) return false;
    unsigned sum = 0;
    for (size_t i = 0; i < 16; ++i)
        if (i != 4) sum += d[i];
    const size_t crcLength = Little16(d + 10);
    return (sum & 0xFF) == d[4] && 16 + crcLength <= length && UdfCrc(d + 16, crcLength) == Little16(d + 8);
}

// OSTA compressed Unicode: 8 or 16 bits a character.
bool OstaName(const unsigned char* bytes, size_t length, std::wstring* name) {
    name->clear();
    if (length == 0 || (bytes[0] != 8 && bytes[0] != 16)) return false;
    if (bytes[0] == 8) {
        for (size_t i = 1; i < length; ++i) *name += static_cast<wchar_t>(bytes[i]);
        return true;
    }
    if (length % 2 == 0) return false;
    for (size_t i = 1; i < length; i += 2) *name += static_cast<wchar_t>(bytes[i] << 8 | bytes[i + 1]);
    return true;
}

class UdfWalker {
public:
    UdfWalker(const ImageSource& image, std::vector<ImageEntry>* entries, std::wstring* error)
        : image_(image), entries_(entries), error_(error) {}

    bool Run(bool* present) {
        unsigned char anchor[kSector];
        *present = image_.Read(kAnchorSector * kSector, anchor, kSector) && Little16(anchor) == kAnchorTag;
        if (!*present) return true;
        if (!SoundTag(anchor, 512, kAnchorTag, kAnchorSector)) return Fail(L"has a damaged UDF anchor at sector 256");
        uint64_t fileSet = 0;
        return ReadVolume(ReadLittle32(anchor + 20), ReadLittle32(anchor + 16) / kSector, &fileSet) &&
               ReadFileSet(fileSet);
    }

private:
    bool Fail(const std::wstring& why) { return image_.Fail(why, error_); }

    bool ReadBlock(uint64_t block, unsigned char* to) const {
        return block < partitionBlocks_ && image_.Read((partitionStart_ + block) * kSector, to, kSector);
    }

    bool ReadVolume(uint64_t start, uint64_t sectors, uint64_t* fileSet) {
        bool partition = false, logical = false;
        unsigned char d[kSector];
        for (uint64_t sector = start; sector < start + std::min(sectors, kMostSequenceSectors); ++sector) {
            if (!image_.Read(sector * kSector, d, kSector)) return Fail(L"is cut short inside its UDF descriptors");
            const uint16_t id = Little16(d);
            if (id == kTerminatingTag || id == 0) break;
            if (!SoundTag(d, kSector, id, sector))
                return Fail(L"has a damaged UDF volume descriptor at sector " + std::to_wstring(sector));
            if (id == kPartitionTag && Little16(d + 22) == 0) {
                partitionStart_ = ReadLittle32(d + 188);
                partitionBlocks_ = ReadLittle32(d + 192);
                partition = true;
            } else if (id == kLogicalVolumeTag) {
                if (ReadLittle32(d + 212) != kSector) return Fail(L"has UDF blocks of another size than 2,048 bytes");
                *fileSet = ReadLittle32(d + 252);
                logical = true;
            }
        }
        if (!partition || !logical) return Fail(L"has a UDF volume without its partition or logical volume");
        if ((partitionStart_ + partitionBlocks_) * kSector > image_.Bytes())
            return Fail(L"is cut short: its UDF partition ends beyond the file");
        return true;
    }

    bool ReadFileSet(uint64_t block) {
        unsigned char d[kSector];
        if (!ReadBlock(block, d) || !SoundTag(d, 512, kFileSetTag, block))
            return Fail(L"has a damaged UDF file set descriptor");
        ImageEntry root;
        return ReadEntry(ReadLittle32(d + 404), &root) && (root.folder || Fail(L"has a UDF root that is no folder")) &&
               Walk(root, std::wstring(), 0);
    }

    // A file entry: whether it is a folder, its length and the extents of its data.
    bool ReadEntry(uint64_t block, ImageEntry* entry) {
        unsigned char d[kSector];
        if (!ReadBlock(block, d) || !SoundTag(d, kSector, kFileEntryTag, block))
            return Fail(L"has a damaged UDF file entry in block " + std::to_wstring(block));
        entry->folder = d[27] == kFileTypeFolder;
        entry->size = Little64(d + 56);
        const uint64_t attributes = ReadLittle32(d + 168), allocations = ReadLittle32(d + 172);
        if (kFileEntryBytes + attributes + allocations > kSector)
            return Fail(L"has a damaged UDF file entry in block " + std::to_wstring(block));
        const unsigned char* ad = d + kFileEntryBytes + attributes;
        const unsigned type = Little16(d + 34) & 7;
        if (type == 3) {  // the data inside the entry
            if (entry->size != allocations) return Fail(L"has a damaged UDF file entry");
            entry->extents.push_back({(partitionStart_ + block) * kSector + kFileEntryBytes + attributes, allocations});
            return true;
        }
        const size_t step = type == 0 ? 8 : type == 1 ? 16 : 0;
        if (step == 0) return Fail(L"has a UDF file entry of a kind mkdisc does not read");
        uint64_t total = 0;
        for (size_t at = 0; at + step <= allocations; at += step) {
            const uint32_t length = ReadLittle32(ad + at) & 0x3FFFFFFF;
            const uint32_t kind = ReadLittle32(ad + at) >> 30;
            if (length == 0) break;
            if (kind == 3) return Fail(L"has a UDF file entry whose extents continue elsewhere");
            const uint64_t start = ReadLittle32(ad + at + 4);
            if (start + (length + kSector - 1) / kSector > partitionBlocks_)
                return Fail(L"holds UDF data beyond the end of its partition");
            entry->extents.push_back({(partitionStart_ + start) * kSector, length});
            total += length;
        }
        if (total != entry->size)
            return Fail(L"has a UDF file entry whose extents hold " + std::to_wstring(total) + L" bytes, not its " +
                        std::to_wstring(entry->size));
        return true;
    }

    bool Walk(const ImageEntry& folder, const std::wstring& path, int depth) {
        if (depth > kDeepestReadFolder || folder.size > kLargestReadFolder)
            return Fail(L"has UDF folders that loop or lie deeper than any disc's");
        std::vector<unsigned char> bytes;
        std::vector<uint64_t> blocks;  // the block of each byte's sector, for the tags' places
        for (const ImageExtent& extent : folder.extents) {
            const size_t at = bytes.size();
            bytes.resize(at + extent.bytes);
            if (!image_.Read(extent.offset, bytes.data() + at, extent.bytes)) return Fail(L"cannot read a UDF folder");
            for (uint64_t sector = 0; sector < (extent.bytes + kSector - 1) / kSector; ++sector)
                blocks.push_back(extent.offset / kSector - partitionStart_ + sector);
        }
        const std::wstring where = path.empty() ? L"the UDF root" : L"\"" + path + L"\" of the UDF tree";
        std::vector<std::pair<ImageEntry, std::wstring>> subfolders;
        for (size_t at = 0; at + 38 <= bytes.size();) {
            const unsigned char* d = bytes.data() + at;
            const size_t nameBytes = d[19], useBytes = Little16(d + 36);
            const size_t length = (38 + nameBytes + useBytes + 3) / 4 * 4;
            if (at + length > bytes.size() || at / kSector >= blocks.size() ||
                !SoundTag(d, length, kFileIdentifierTag, blocks[at / kSector]))
                return Fail(L"has a damaged UDF file identifier in " + where);
            at += length;
            if (d[18] & (kCharacteristicParent | kCharacteristicDeleted)) continue;
            std::wstring name;
            if (!OstaName(d + 38 + useBytes, nameBytes, &name) || !IsSafeEntryName(name))
                return Fail(L"holds a name that no Windows folder may hold, in " + where);
            ImageEntry entry;
            entry.path = path.empty() ? name : path + L"\\" + name;
            const uint64_t block = ReadLittle32(d + 24);
            if (!visited_.insert(block).second) return Fail(L"has UDF entries that loop, in " + where);
            if (!ReadEntry(block, &entry)) return false;
            if (entry.folder != ((d[18] & kCharacteristicFolder) != 0))
                return Fail(L"names \"" + entry.path + L"\" a folder and a file at once in its UDF tree");
            if (entry.folder) {
                subfolders.push_back({entry, entry.path});
                entry.size = 0;
                entry.extents.clear();
            }
            entries_->push_back(entry);
        }
        for (const auto& [entry, child] : subfolders)
            if (!Walk(entry, child, depth + 1)) return false;
        return true;
    }

    const ImageSource& image_;
    std::vector<ImageEntry>* entries_;
    std::wstring* error_;
    uint64_t partitionStart_ = 0, partitionBlocks_ = 0;
    std::set<uint64_t> visited_;
};

}  // namespace

bool ReadUdfTree(const ImageSource& image, bool* present, std::vector<ImageEntry>* entries, std::wstring* error) {
    entries->clear();
    return UdfWalker(image, entries, error).Run(present);
}
