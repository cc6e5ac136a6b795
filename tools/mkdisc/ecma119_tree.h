// The part of an image that ISO 9660 and Joliet share: a volume descriptor, path tables in both
// byte orders, and directories of records that never cross a sector, each folder's records
// sorted by their identifiers. A file larger than one extent holds gets a record per extent,
// all but the last marked "more to come" (ISO 9660 level 3). The two trees differ only in the
// names they give and in their descriptor: Iso9660Tree and JolietTree.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image_file.h"
#include "image_tree.h"

// One extent holds 4 GiB less one byte; a larger file is cut into extents of whole sectors.
constexpr uint64_t kLargestSingleExtent = 0xFFFFFFFFULL;
constexpr uint64_t kMultiExtentBytes = 0xFFFFF800ULL;

// Where the files' data lies and the times the image records, shared by its file systems.
struct ImageData {
    std::vector<uint64_t> fileSectors;  // by file: its first sector (0 for an empty file)
    std::vector<int64_t> fileTimes, folderTimes;
    int64_t now = 0;
    uint64_t volumeSectors = 0;
    std::wstring label;
};

class Ecma119Tree {
public:
    virtual ~Ecma119Tree() = default;

    // Sectors of the path tables (both) and directories after the addition, without making it.
    uint64_t SectorsWith(const ImageTree& tree, const TreeAddition& addition) const;
    uint64_t Sectors() const;
    // Before the tree itself takes the addition.
    void Add(const ImageTree& tree, const TreeAddition& addition);

    // Places the path tables from sector next on, then the directories; each returns the sector after.
    uint64_t PlacePathTables(uint64_t next);
    uint64_t PlaceDirectories(const ImageTree& tree, uint64_t next);
    std::string VolumeDescriptor(const ImageData& data) const;
    void WritePathTables(const ImageTree& tree, ImageFile* image) const;
    // False when a folder's records took more sectors than were counted.
    bool WriteDirectories(const ImageTree& tree, const ImageData& data, ImageFile* image) const;

protected:
    struct Record {
        bool folder = false;
        uint32_t index = 0;  // of the folder or file
        uint32_t bytes = 0;  // of one record
        uint32_t count = 1;  // records: one per extent
    };
    using Records = std::map<std::string, Record>;  // by sort key
    struct RecordName {
        std::string identifier, key;
    };
    // The name a new record gets among a folder's records.
    virtual RecordName Name(const Records& siblings, const std::wstring& name, bool file) const = 0;
    // The descriptor's type, the identifier of its escape sequences, and how its text fields are written.
    virtual char DescriptorType() const = 0;
    virtual bool WideText() const = 0;

private:
    struct Folder {
        Records records;
        std::string identifier;
        uint64_t sectors = 1;
    };
    std::string FolderRecord(const ImageData& data, uint32_t folder, const std::string& identifier) const;
    std::string PathTable(const ImageTree& tree, bool bigEndian) const;
    std::string Directory(const ImageTree& tree, const ImageData& data, uint32_t folder) const;

    std::vector<Folder> folders_ = std::vector<Folder>(1);
    std::vector<std::string> fileIdentifiers_;
    uint64_t directorySectors_ = 1;
    uint64_t pathTableBytes_ = 10;
    // Placed before writing:
    std::vector<uint32_t> order_;   // folders in path table order: by level, parent, name
    std::vector<uint32_t> number_;  // by folder: its place in that order, from 1
    std::vector<uint64_t> extent_;  // by folder
    uint64_t pathTableStart_ = 0;
};

// Records of the image: ISO 9660's "both-byte" fields, the UTF-16 big-endian form of Joliet.
std::string Ucs2BigEndian(const std::wstring& text);
uint32_t DirectoryRecordBytes(size_t identifierBytes);
// How many records (extents) a file of this size takes.
uint32_t ExtentRecords(uint64_t size);
