// The folders and files of a disc image as every file system of it names them: one tree, its
// files in the order their data lies on the disc. The file systems keep what they need besides
// (their own names, records and sectors) in tables of their own, by the same folder and file
// numbers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ImageFolder {
    uint32_t parent = 0;
    std::wstring path;  // relative to the root, as first given; empty for the root
    std::wstring name;
    size_t level = 1;                           // the root is the first
    std::map<std::wstring, uint32_t> children;  // folders, by upper-cased name
    uint32_t subfolders = 0;
    uint32_t files = 0;
};

struct ImageFileEntry {
    uint32_t folder = 0;
    std::wstring path;
    std::wstring name;
    uint64_t size = 0;
};

// What adding a path does to the tree: the deepest of its folders that exists, the folders
// made below it (outermost first), and the file at the end, if any.
struct TreeAddition {
    uint32_t existing = 0;
    std::vector<std::wstring> newFolders;
    bool file = false;
    std::wstring fileName;
    uint64_t size = 0;
    // Numbers the new folders and the file get once added.
    uint32_t firstFolder = 0, fileIndex = 0;
    bool Empty() const { return newFolders.empty() && !file; }
};

class ImageTree {
public:
    ImageTree();
    // parts of a path relative to the root; names differing only in case are one.
    TreeAddition Find(const std::vector<std::wstring>& parts, bool folder, uint64_t size) const;
    void Add(const TreeAddition& addition);

    const std::vector<ImageFolder>& folders() const { return folders_; }
    const std::vector<ImageFileEntry>& files() const { return files_; }

private:
    std::vector<ImageFolder> folders_;  // [0] is the root
    std::vector<ImageFileEntry> files_;
};
