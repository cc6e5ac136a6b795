// The disc images mkdisc writes itself, laid out while the discs are filled so that the size
// planned is the size of the file written: one tree of folders and files, each file's data once
// in the order the files were added, and over it each file system of the image, which says how
// many sectors of its own it needs: ISO 9660 (Iso9660Tree), Joliet (JolietTree) and UDF
// (UdfTree, what Windows reads when a disc has it). The layout: the 16-sector system area; the
// primary and the Joliet volume descriptors, the terminator and UDF's recognition sequence; UDF's
// volume descriptors; the path tables and directories of the ISO 9660 and Joliet trees (before
// the UDF anchor at sector 256 when they fit, else behind it); the UDF partition with UDF's file
// entries and directories and then the data; and the last anchor. Files of 4 GiB and more are
// several extents in every tree, and folders may lie deeper than ISO 9660's eight levels (its
// readers, like Windows, follow them; xorriso writes such trees with -disable-deep-relocation).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_digest.h"
#include "image_tree.h"
#include "iso9660_tree.h"
#include "joliet_tree.h"
#include "udf_tree.h"

// The path tables name a folder's parent by a 16-bit number.
constexpr size_t kMostImageFolders = 65535;
// Joliet's volume identifier holds 16 characters.
constexpr size_t kVolumeLabelCharacters = 16;

// Why a file cannot go into an image (path relative to the image's root, '\' between its
// parts): a name Joliet cannot hold. Empty when it can; files of any size can.
std::wstring ImageRefusal(const std::wstring& path);

// A label as given, upper-cased into *label; false unless it holds 1 to 16 of A-Z, 0-9 and '_'.
bool ReadVolumeLabel(const std::wstring& text, std::wstring* label);
// An ASCII label made from a name: its letters and digits upper-cased, every run of anything
// else turned into one '_'; empty when no letter or digit is left.
std::wstring VolumeLabelFrom(const std::wstring& name);

// What an image records of itself besides its files.
struct ImageStamp {
    std::wstring label;
    // Reproducible: every time the image records of itself is time, file and folder times
    // later than it are recorded as it, and the identifiers come from the content alone.
    bool reproducible = false;
    int64_t time = 0;  // seconds since 1970 (UTC)
};

class ImageLayout {
public:
    // path as for ImageRefusal, which it must pass; names differing only in case are one.
    void AddFile(const std::wstring& path, uint64_t size);
    void AddFolder(const std::wstring& path);
    // The image size after AddFile(path, size), without adding it.
    uint64_t BytesWith(const std::wstring& path, uint64_t size) const;
    uint64_t Bytes() const;
    size_t Folders() const { return tree_.folders().size(); }

    // Writes the image of the files under root, each found at the path it was added with and
    // stamped with its own last-write time. False with a message when a file cannot be read or
    // no longer has the size it was added with. written is told the bytes as they are written.
    bool Write(const std::wstring& root, const ImageStamp& stamp, const std::wstring& imagePath, std::wstring* error,
               const ByteProgress& written = nullptr) const;

private:
    void Add(const std::wstring& path, bool folder, uint64_t size);
    static uint64_t PartitionStart(uint64_t ecma119Sectors);
    static uint64_t ImageSectors(uint64_t ecma119Sectors, uint64_t udfBlocks, uint64_t dataSectors);

    ImageTree tree_;
    Iso9660Tree iso_;
    JolietTree joliet_;
    UdfTree udf_;
    uint64_t dataSectors_ = 0;
};
