// Reading a disc image the way Windows reads the disc: through its Joliet tree.
#pragma once

#include <string>

// Copies every folder and file of the image's Joliet tree into folder, which must exist. False
// with a message when the image holds no Joliet tree or a damaged one: records running past
// their sector or folder, data beyond the end of the volume or of the file, folders that loop,
// names that would lead outside the folder.
bool ExtractJolietTree(const std::wstring& imagePath, const std::wstring& folder, std::wstring* error);
