// The disc images mkdisc writes itself: single-session ISO 9660 file systems with a Joliet tree
// (what Windows reads), laid out while the discs are filled so that the size planned is the size
// of the file written. The layout: the 16-sector system area, the primary and the Joliet volume
// descriptors and the terminator, the little- and big-endian path tables of both trees, the
// directory records of the ISO 9660 tree and then of the Joliet tree (never crossing a sector),
// and every file's data once, in the order the files were added.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One extent holds at most 4 GiB less one byte, and mkdisc writes every file as one extent.
constexpr uint64_t kLargestImageFile = 0xFFFFFFFFULL;
// The path tables name a folder's parent by a 16-bit number.
constexpr size_t kMostImageFolders = 65535;
// ISO 9660 holds eight levels of folders, the root being the first.
constexpr size_t kDeepestImageLevel = 8;
// Joliet's volume identifier holds 16 characters.
constexpr size_t kVolumeLabelCharacters = 16;

// Why a file cannot go into an image (path relative to the image's root, '\' between its
// parts); empty when it can.
std::wstring ImageRefusal(const std::wstring& path, uint64_t size);

// A label as given, upper-cased into *label; false unless it holds 1 to 16 of A-Z, 0-9 and '_'.
bool ReadVolumeLabel(const std::wstring& text, std::wstring* label);
// An ASCII label made from a name: its letters and digits upper-cased, every run of anything
// else turned into one '_'; empty when no letter or digit is left.
std::wstring VolumeLabelFrom(const std::wstring& name);

class IsoLayout {
public:
    IsoLayout();

    // path as for ImageRefusal, which it must pass; names differing only in case are one.
    void AddFile(const std::wstring& path, uint64_t size);
    void AddFolder(const std::wstring& path);
    // The image size after AddFile(path, size), without adding it.
    uint64_t BytesWith(const std::wstring& path, uint64_t size) const;
    uint64_t Bytes() const;
    size_t Folders() const { return folders_.size(); }

    // Writes the image of the files under root, each found at the path it was added with and
    // stamped with its own last-write time. False with a message when a file cannot be read or
    // no longer has the size it was added with.
    bool Write(const std::wstring& root, const std::wstring& label, const std::wstring& imagePath,
               std::wstring* error) const;

private:
    struct Record {
        bool folder = false;
        uint32_t index = 0;  // into folders_ or files_
        uint32_t bytes = 0;
    };
    struct Folder {
        uint32_t parent = 0;
        std::wstring path;  // relative to the root, as first given; empty for the root
        std::wstring name;  // its Joliet name
        std::string isoName;
        size_t level = 1;
        std::map<std::wstring, uint32_t> children;     // by upper-cased name
        std::map<std::string, Record> isoRecords;      // by ISO 9660 sort key
        std::map<std::wstring, Record> jolietRecords;  // by name
        uint64_t isoSectors = 1;
        uint64_t jolietSectors = 1;
    };
    struct File {
        std::wstring path;
        std::wstring name;
        std::string isoName;
        uint64_t size = 0;
    };
    struct Totals {
        uint64_t directorySectors = 2;  // the root's, in both trees
        uint64_t isoPathTableBytes = 10;
        uint64_t jolietPathTableBytes = 10;
        uint64_t fileSectors = 0;
    };
    // What adding a path does: the deepest folder of it that exists, the folders made below it,
    // the ISO 9660 name and sort key of the record the existing folder gains, the totals after.
    struct Growth {
        uint32_t existing = 0;
        size_t firstNew = 0;  // index of the first part that is not an existing folder
        std::string isoName, isoKey;
        Totals totals;
    };
    Growth Grow(const std::vector<std::wstring>& parts, bool folder, uint64_t size) const;
    void Apply(const std::vector<std::wstring>& parts, bool folder, uint64_t size);
    void NewRecord(uint32_t parent, const std::wstring& name, const std::string& isoName, const std::string& key,
                   bool folder, uint32_t index);
    static uint64_t ImageBytes(const Totals& totals);

    std::vector<Folder> folders_;  // [0] is the root
    std::vector<File> files_;      // in the order added, which is the order of their data
    Totals totals_;

    friend class ImageWriter;
};
