#include "image_tree.h"

#include "disc_image.h"

ImageTree::ImageTree() { folders_.emplace_back(); }

TreeAddition ImageTree::Find(const std::vector<std::wstring>& parts, bool folder, uint64_t size) const {
    TreeAddition addition;
    const size_t folderParts = folder ? parts.size() : parts.size() - 1;
    size_t part = 0;
    for (; part < folderParts; ++part) {
        auto child = folders_[addition.existing].children.find(DiscNameKey(parts[part]));
        if (child == folders_[addition.existing].children.end()) break;
        addition.existing = child->second;
    }
    for (size_t made = part; made < folderParts; ++made) addition.newFolders.push_back(parts[made]);
    addition.file = !folder;
    if (addition.file) addition.fileName = parts.back();
    addition.size = size;
    addition.firstFolder = static_cast<uint32_t>(folders_.size());
    addition.fileIndex = static_cast<uint32_t>(files_.size());
    return addition;
}

void ImageTree::Add(const TreeAddition& addition) {
    uint32_t at = addition.existing;
    for (const std::wstring& name : addition.newFolders) {
        ImageFolder made;
        made.parent = at;
        made.path = folders_[at].path.empty() ? name : folders_[at].path + L"\\" + name;
        made.name = name;
        made.level = folders_[at].level + 1;
        const uint32_t index = static_cast<uint32_t>(folders_.size());
        folders_[at].children[DiscNameKey(name)] = index;
        ++folders_[at].subfolders;
        folders_.push_back(made);
        at = index;
    }
    if (!addition.file) return;
    const std::wstring& parent = folders_[at].path;
    files_.push_back({at, parent.empty() ? addition.fileName : parent + L"\\" + addition.fileName, addition.fileName,
                      addition.size});
    ++folders_[at].files;
}
