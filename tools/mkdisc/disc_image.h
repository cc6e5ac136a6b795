// The room a disc folder takes once it is written as an ISO 9660 image with Joliet names and
// Rock Ridge entries, the way `xorriso -as mkisofs -J -R` lays it out: the 16-sector system
// area, the volume descriptors, both directory trees with their path tables, every file in
// whole 2,048-byte sectors, and the 300 KiB of padding xorriso appends. The figure is an upper
// bound: where the layout depends on details a plan cannot know in advance (how records fall
// on sector boundaries, how clashing 8.3 names are shortened) it takes the worst case.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr uint64_t kSectorBytes = 2048;
// Joliet's limits: 64 UTF-16 characters per name, 240 bytes for a whole path.
constexpr size_t kJolietNameCharacters = 64;
constexpr size_t kJolietPathBytes = 240;
// Without UDF, Windows reads a file of at most one ISO 9660 extent: 4 GiB less one byte.
constexpr uint64_t kLargestFolderFile = 0xFFFFFFFFULL;

// Why a file of this size cannot go into a disc folder that another burner writes as an image.
std::wstring FolderFileRefusal(uint64_t size);

class DiscImagePlan {
public:
    DiscImagePlan();

    // path is relative to the disc's root, its parts separated by '\'.
    void AddFile(const std::wstring& path, uint64_t size);
    // A folder, empty or not; path as for AddFile.
    void AddFolder(const std::wstring& path);
    // The image size after AddFile(path, size), without adding it.
    uint64_t BytesWith(const std::wstring& path, uint64_t size) const;
    uint64_t Bytes() const;

private:
    struct Directory {
        uint64_t isoBytes = 0;  // directory records, "." and ".." included
        uint64_t isoLongest = 0;
        uint64_t continuationBytes = 0;  // Rock Ridge continuation areas
        uint64_t continuationLongest = 0;
        uint64_t jolietBytes = 0;
        uint64_t jolietLongest = 0;
    };
    struct Totals {
        uint64_t directorySectors = 0;
        uint64_t isoPathTableBytes = 0;
        uint64_t jolietPathTableBytes = 0;
        uint64_t fileSectors = 0;
    };
    using Changes = std::map<std::wstring, Directory>;

    // The directories that adding the file creates or changes, and the totals afterwards.
    // A path that names a folder adds no file record.
    void Plan(const std::wstring& path, bool folder, uint64_t size, Changes* changes, Totals* totals) const;
    const Directory* Find(const Changes& changes, const std::wstring& key) const;
    static uint64_t ImageBytes(const Totals& totals);

    std::map<std::wstring, Directory> directories_;  // by upper-cased path, "" for the root
    Totals totals_;
};

// Names that differ only in case are one name on a disc: this is the name they share.
std::wstring DiscNameKey(const std::wstring& text);
// The parts of a path on a disc, '\' between them.
std::vector<std::wstring> SplitDiscPath(const std::wstring& path);

// How many bytes a path takes in Joliet's path limit (a separator and two bytes a character
// per part, behind the root).
size_t JolietPathBytes(const std::wstring& path);
