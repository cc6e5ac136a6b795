#include "udf_tree.h"

#include <algorithm>

namespace {

// Descriptor tags (ECMA-167 3/7.2, 4/7.2); version 2 is that of NSR02, UDF 1.02's.
enum TagId : uint16_t {
    kPrimaryVolume = 1,
    kAnchor = 2,
    kImplementationUse = 4,
    kPartition = 5,
    kLogicalVolume = 6,
    kUnallocatedSpace = 7,
    kTerminating = 8,
    kIntegrity = 9,
    kFileSet = 256,
    kFileIdentifier = 257,
    kFileEntry = 261,
};
constexpr uint16_t kDescriptorVersion = 2;
constexpr uint16_t kUdfRevision = 0x0102;
constexpr uint8_t kFileTypeFolder = 4, kFileTypeFile = 5;
constexpr uint8_t kCharacteristicFolder = 0x02, kCharacteristicParent = 0x08;
// Read and execute for everyone on folders, read on files: the disc is read-only.
constexpr uint32_t kFolderPermissions = 0x14A5, kFilePermissions = 0x1084;
constexpr uint64_t kFileEntryBytes = 176;
constexpr uint64_t kShortAllocationBytes = 8;
// An extent's length takes 30 bits; all but a file's last extent are whole blocks.
constexpr uint64_t kUdfExtentBytes = 0x3FFFF800ULL;
// Unique IDs 1 to 15 are kept for other uses; the root's is 0.
constexpr uint64_t kFirstUniqueId = 16;
constexpr uint32_t kIntegrityClosed = 1;
const char kImplementation[] = "*mkdisc";

uint64_t IdentifierBytes(const std::wstring& name) {
    const uint64_t bytes = 38 + OstaCompressed(name).size();
    return (bytes + 3) / 4 * 4;
}

std::string Sector() { return std::string(kImageSector, '\0'); }

// A registered identifier: flags, 23 bytes of identifier, 8 of suffix.
std::string Regid(const std::string& identifier, uint16_t udfRevision) {
    std::string id(32, '\0');
    id.replace(1, identifier.size(), identifier);
    if (udfRevision) PutLittle(&id, 24, udfRevision, 2);
    return id;
}

std::string Charspec() {
    std::string spec(64, '\0');
    spec.replace(1, 23, "OSTA Compressed Unicode");
    return spec;
}

// A d-string: the compressed text, zeros, and its length in the last byte; empty text is all zeros.
std::string DString(const std::wstring& text, size_t length) {
    std::string bytes(length, '\0');
    if (text.empty()) return bytes;
    std::string compressed = OstaCompressed(text);
    const size_t unit = compressed[0] == 8 ? 1 : 2;
    while (compressed.size() > length - 1) compressed.resize(compressed.size() - unit);
    bytes.replace(0, compressed.size(), compressed);
    bytes[length - 1] = static_cast<char>(compressed.size());
    return bytes;
}

// A time stamp in UTC (type 1, offset 0), to the second like the other trees' times.
std::string Timestamp(int64_t unixSeconds) {
    const CalendarTime time = CalendarFrom(unixSeconds);
    std::string stamp(12, '\0');
    PutLittle(&stamp, 0, 0x1000, 2);
    PutLittle(&stamp, 2, static_cast<uint64_t>(time.year), 2);
    stamp[4] = static_cast<char>(time.month);
    stamp[5] = static_cast<char>(time.day);
    stamp[6] = static_cast<char>(time.hour);
    stamp[7] = static_cast<char>(time.minute);
    stamp[8] = static_cast<char>(time.second);
    return stamp;
}

std::string ExtentAd(uint64_t bytes, uint64_t sector) {
    std::string ad(8, '\0');
    PutLittle(&ad, 0, bytes, 4);
    PutLittle(&ad, 4, sector, 4);
    return ad;
}

// A long allocation descriptor in partition 0; its implementation use carries the UDF unique ID.
std::string LongAd(uint64_t bytes, uint64_t block, uint64_t uniqueId) {
    std::string ad(16, '\0');
    PutLittle(&ad, 0, bytes, 4);
    PutLittle(&ad, 4, block, 4);
    PutLittle(&ad, 12, uniqueId & 0xFFFFFFFF, 4);
    return ad;
}

// Fills in the tag of a descriptor of the given length: its CRC over what follows the tag, and
// the checksum of the tag's other bytes. location is the sector (or the partition's block) it
// is recorded in.
void Tag(std::string* descriptor, uint16_t id, uint64_t location, size_t length) {
    std::string& d = *descriptor;
    PutLittle(&d, 0, id, 2);
    PutLittle(&d, 2, kDescriptorVersion, 2);
    PutLittle(&d, 10, length - 16, 2);
    PutLittle(&d, 8, UdfCrc(reinterpret_cast<const unsigned char*>(d.data()) + 16, length - 16), 2);
    PutLittle(&d, 12, location, 4);
    unsigned sum = 0;
    for (size_t i = 0; i < 16; ++i)
        if (i != 4) sum += static_cast<unsigned char>(d[i]);
    d[4] = static_cast<char>(sum & 0xFF);
}

std::string Tagged(std::string descriptor, uint16_t id, uint64_t location, size_t length) {
    Tag(&descriptor, id, location, length);
    return descriptor;
}

}  // namespace

std::string OstaCompressed(const std::wstring& text) {
    bool narrow = true;
    for (wchar_t c : text) narrow = narrow && c < 0x100;
    std::string bytes(1, static_cast<char>(narrow ? 8 : 16));
    for (wchar_t c : text) {
        if (!narrow) bytes += static_cast<char>((c >> 8) & 0xFF);
        bytes += static_cast<char>(c & 0xFF);
    }
    return bytes;
}

uint16_t UdfCrc(const unsigned char* bytes, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint64_t UdfTree::BlocksWith(const TreeAddition& addition) const {
    if (addition.Empty()) return blocks_;
    const Folder& parent = folders_[addition.existing];
    const std::wstring& first = addition.newFolders.empty() ? addition.fileName : addition.newFolders[0];
    uint64_t blocks = blocks_ - ImageSectorsFor(parent.identifierBytes) +
                      ImageSectorsFor(parent.identifierBytes + IdentifierBytes(first));
    for (size_t made = 0; made < addition.newFolders.size(); ++made) {
        const bool last = made + 1 == addition.newFolders.size();
        const std::wstring* held = last ? (addition.file ? &addition.fileName : nullptr)
                                        : &addition.newFolders[made + 1];
        blocks += 1 + ImageSectorsFor(40 + (held ? IdentifierBytes(*held) : 0));
    }
    return blocks + (addition.file ? 1 : 0);
}

void UdfTree::Add(const TreeAddition& addition) {
    blocks_ = BlocksWith(addition);
    uint32_t at = addition.existing;
    for (size_t made = 0; made < addition.newFolders.size(); ++made) {
        const uint32_t index = addition.firstFolder + static_cast<uint32_t>(made);
        folders_[at].entries[addition.newFolders[made]] = {true, index};
        folders_[at].identifierBytes += IdentifierBytes(addition.newFolders[made]);
        folders_.emplace_back();
        at = index;
    }
    if (!addition.file) return;
    folders_[at].entries[addition.fileName] = {false, addition.fileIndex};
    folders_[at].identifierBytes += IdentifierBytes(addition.fileName);
}

// Where each entry lies in the partition: the file set descriptor in block 0 and its terminator
// in block 1, then each folder's entry followed by its directory, then the files' entries.
struct UdfTree::Placement {
    std::vector<uint64_t> folderEntry, folderDirectory, fileEntry;
    std::vector<uint64_t> folderId, fileId;
    uint64_t nextUniqueId = 0;
};

UdfTree::Placement UdfTree::Place(const ImageTree& tree) const {
    Placement placed;
    uint64_t block = 2, uniqueId = kFirstUniqueId;
    for (size_t folder = 0; folder < folders_.size(); ++folder) {
        placed.folderEntry.push_back(block);
        placed.folderDirectory.push_back(block + 1);
        placed.folderId.push_back(folder == 0 ? 0 : uniqueId++);
        block += 1 + ImageSectorsFor(folders_[folder].identifierBytes);
    }
    for (size_t file = 0; file < tree.files().size(); ++file) {
        placed.fileEntry.push_back(block++);
        placed.fileId.push_back(uniqueId++);
    }
    placed.nextUniqueId = uniqueId;
    return placed;
}

std::string UdfTree::RecognitionSequence() {
    std::string sectors;
    for (const char* id : {"BEA01", "NSR02", "TEA01"}) {
        std::string sector = Sector();
        sector.replace(1, 5, id);
        sector[6] = 1;
        sectors += sector;
    }
    return sectors;
}

std::string UdfTree::Anchor(uint64_t sector) {
    std::string d = Sector();
    d.replace(16, 8, ExtentAd(kUdfSequenceSectors * kImageSector, kUdfMainSequenceSector));
    d.replace(24, 8, ExtentAd(kUdfSequenceSectors * kImageSector, kUdfMainSequenceSector + kUdfSequenceSectors));
    Tag(&d, kAnchor, sector, 512);
    return d;
}

std::string UdfTree::VolumeDescriptors(const ImageTree& tree, const ImageData& data, const UdfVolume& volume) const {
    const Placement placed = Place(tree);
    const uint64_t partitionBlocks = data.volumeSectors - 1 - volume.partitionStart;
    const std::wstring volumeSet(volume.volumeSetId.begin(), volume.volumeSetId.end());
    std::string sequences;
    for (uint64_t start : {kUdfMainSequenceSector, kUdfMainSequenceSector + kUdfSequenceSectors}) {
        std::string primary = Sector();
        PutLittle(&primary, 16, 0, 4);  // its number in the sequence
        primary.replace(24, 32, DString(data.label, 32));
        PutLittle(&primary, 56, 1, 2);  // volume sequence number
        PutLittle(&primary, 58, 1, 2);  // of 1
        PutLittle(&primary, 60, 2, 2);  // interchange level
        PutLittle(&primary, 62, 2, 2);  // at most
        PutLittle(&primary, 64, 1, 4);  // character set list: CS0
        PutLittle(&primary, 68, 1, 4);
        primary.replace(72, 128, DString(volumeSet + L" " + data.label, 128));
        primary.replace(200, 64, Charspec());
        primary.replace(264, 64, Charspec());
        primary.replace(344, 32, Regid(kImplementation, 0));  // application
        primary.replace(376, 12, Timestamp(data.now));
        primary.replace(388, 32, Regid(kImplementation, 0));
        Tag(&primary, kPrimaryVolume, start, 512);

        std::string use = Sector();
        PutLittle(&use, 16, 1, 4);
        use.replace(20, 32, Regid("*UDF LV Info", kUdfRevision));
        use.replace(52, 64, Charspec());
        use.replace(116, 128, DString(data.label, 128));
        use.replace(352, 32, Regid(kImplementation, 0));
        Tag(&use, kImplementationUse, start + 1, 512);

        std::string partition = Sector();
        PutLittle(&partition, 16, 2, 4);
        PutLittle(&partition, 20, 1, 2);  // allocated
        PutLittle(&partition, 22, 0, 2);  // partition number
        partition.replace(24, 32, Regid("+NSR02", 0));
        PutLittle(&partition, 184, 1, 4);  // read-only
        PutLittle(&partition, 188, volume.partitionStart, 4);
        PutLittle(&partition, 192, partitionBlocks, 4);
        partition.replace(196, 32, Regid(kImplementation, 0));
        Tag(&partition, kPartition, start + 2, 512);

        std::string logical = Sector();
        PutLittle(&logical, 16, 3, 4);
        logical.replace(20, 64, Charspec());
        logical.replace(84, 128, DString(data.label, 128));
        PutLittle(&logical, 212, kImageSector, 4);
        logical.replace(216, 32, Regid("*OSTA UDF Compliant", kUdfRevision));
        logical.replace(248, 16, LongAd(kImageSector, 0, 0));  // the file set descriptor
        PutLittle(&logical, 264, 6, 4);                        // map table length
        PutLittle(&logical, 268, 1, 4);                        // one partition map
        logical.replace(272, 32, Regid(kImplementation, 0));
        logical.replace(432, 8, ExtentAd(kUdfIntegritySectors * kImageSector, kUdfIntegritySector));
        logical[440] = 1;                // map type 1
        logical[441] = 6;                // of 6 bytes
        PutLittle(&logical, 442, 1, 2);  // volume sequence number
        PutLittle(&logical, 444, 0, 2);  // partition number
        Tag(&logical, kLogicalVolume, start + 3, 446);

        std::string unallocated = Sector();
        PutLittle(&unallocated, 16, 4, 4);
        Tag(&unallocated, kUnallocatedSpace, start + 4, 24);

        sequences += primary + use + partition + logical + unallocated +
                     Tagged(Sector(), kTerminating, start + 5, 512) +
                     std::string((kUdfSequenceSectors - 6) * kImageSector, '\0');
    }

    std::string integrity = Sector();
    integrity.replace(16, 12, Timestamp(data.now));
    PutLittle(&integrity, 28, kIntegrityClosed, 4);
    PutLittle(&integrity, 40, placed.nextUniqueId, 8);
    PutLittle(&integrity, 72, 1, 4);   // partitions
    PutLittle(&integrity, 76, 46, 4);  // implementation use bytes
    PutLittle(&integrity, 80, 0, 4);   // free blocks
    PutLittle(&integrity, 84, partitionBlocks, 4);
    integrity.replace(88, 32, Regid(kImplementation, 0));
    PutLittle(&integrity, 120, tree.files().size(), 4);
    PutLittle(&integrity, 124, tree.folders().size(), 4);
    PutLittle(&integrity, 128, kUdfRevision, 2);  // the least revision that reads it
    PutLittle(&integrity, 130, kUdfRevision, 2);  // the least that writes it
    PutLittle(&integrity, 132, kUdfRevision, 2);  // the most that has written it
    Tag(&integrity, kIntegrity, kUdfIntegritySector, 134);
    return sequences + integrity + Tagged(Sector(), kTerminating, kUdfIntegritySector + 1, 512);
}

// A file entry: the ICB tag (strategy 4, short allocation descriptors), owner and group left
// open, the times, and the allocation descriptors of its extents.
namespace {

std::string MakeFileEntry(uint8_t type, uint32_t permissions, uint16_t links, uint64_t length, int64_t time,
                          uint64_t uniqueId, const std::string& allocations, uint64_t block) {
    std::string d(kFileEntryBytes + allocations.size(), '\0');
    PutLittle(&d, 20, 4, 2);  // strategy type
    PutLittle(&d, 24, 1, 2);  // one entry
    d[27] = static_cast<char>(type);
    PutLittle(&d, 36, 0xFFFFFFFF, 4);  // owner
    PutLittle(&d, 40, 0xFFFFFFFF, 4);  // group
    PutLittle(&d, 44, permissions, 4);
    PutLittle(&d, 48, links, 2);
    PutLittle(&d, 56, length, 8);
    PutLittle(&d, 64, ImageSectorsFor(length), 8);
    for (size_t at : {72, 84, 96}) d.replace(at, 12, Timestamp(time));
    PutLittle(&d, 108, 1, 4);  // checkpoint
    d.replace(128, 32, Regid(kImplementation, 0));
    PutLittle(&d, 160, uniqueId, 8);
    PutLittle(&d, 172, allocations.size(), 4);
    d.replace(kFileEntryBytes, allocations.size(), allocations);
    Tag(&d, kFileEntry, block, d.size());
    d.resize(kImageSector, '\0');
    return d;
}

std::string FileIdentifier(uint8_t characteristics, const std::string& name, uint64_t entryBlock, uint64_t uniqueId,
                           uint64_t block) {
    std::string d(38 + name.size(), '\0');
    d.resize((d.size() + 3) / 4 * 4, '\0');
    PutLittle(&d, 16, 1, 2);  // file version
    d[18] = static_cast<char>(characteristics);
    d[19] = static_cast<char>(name.size());
    d.replace(20, 16, LongAd(kImageSector, entryBlock, uniqueId));
    d.replace(38, name.size(), name);
    Tag(&d, kFileIdentifier, block, d.size());
    return d;
}

}  // namespace

std::string UdfTree::PartitionMetadata(const ImageTree& tree, const ImageData& data, const UdfVolume& volume) const {
    const Placement placed = Place(tree);
    std::string blocks = Sector();
    blocks.replace(16, 12, Timestamp(data.now));
    PutLittle(&blocks, 28, 3, 2);  // interchange level
    PutLittle(&blocks, 30, 3, 2);
    PutLittle(&blocks, 32, 1, 4);  // CS0
    PutLittle(&blocks, 36, 1, 4);
    blocks.replace(48, 64, Charspec());
    blocks.replace(112, 128, DString(data.label, 128));
    blocks.replace(240, 64, Charspec());
    blocks.replace(304, 32, DString(data.label, 32));
    blocks.replace(400, 16, LongAd(kImageSector, placed.folderEntry[0], 0));
    blocks.replace(416, 32, Regid("*OSTA UDF Compliant", kUdfRevision));
    Tag(&blocks, kFileSet, 0, 512);
    blocks += Tagged(Sector(), kTerminating, 1, 512);

    for (uint32_t folder = 0; folder < folders_.size(); ++folder) {
        const ImageFolder& f = tree.folders()[folder];
        const uint64_t bytes = folders_[folder].identifierBytes;
        const uint64_t directory = placed.folderDirectory[folder];
        blocks += MakeFileEntry(kFileTypeFolder, kFolderPermissions, static_cast<uint16_t>(1 + f.subfolders), bytes,
                                data.folderTimes[folder], placed.folderId[folder], ExtentAd(bytes, directory),
                                placed.folderEntry[folder]);
        std::string identifiers = FileIdentifier(kCharacteristicFolder | kCharacteristicParent, std::string(),
                                                 placed.folderEntry[f.parent], placed.folderId[f.parent], directory);
        for (const auto& [name, entry] : folders_[folder].entries) {
            const uint64_t at = directory + identifiers.size() / kImageSector;
            identifiers += entry.folder
                               ? FileIdentifier(kCharacteristicFolder, OstaCompressed(name),
                                                placed.folderEntry[entry.index], placed.folderId[entry.index], at)
                               : FileIdentifier(0, OstaCompressed(name), placed.fileEntry[entry.index],
                                                placed.fileId[entry.index], at);
        }
        identifiers.resize(ImageSectorsFor(bytes) * kImageSector, '\0');
        blocks += identifiers;
    }
    for (uint32_t file = 0; file < tree.files().size(); ++file) {
        const ImageFileEntry& entry = tree.files()[file];
        std::string allocations;
        uint64_t rest = entry.size, block = data.fileSectors[file] - volume.partitionStart;
        while (rest > 0) {
            const uint64_t length = std::min(rest, kUdfExtentBytes);
            allocations += ExtentAd(length, block);
            rest -= length;
            block += length / kImageSector;
        }
        blocks += MakeFileEntry(kFileTypeFile, kFilePermissions, 1, entry.size, data.fileTimes[file],
                                placed.fileId[file], allocations, placed.fileEntry[file]);
    }
    return blocks;
}
