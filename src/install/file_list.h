// The file list of an installation: setup.lst read into one FileEntry per line, and the uninstall
// items the lines produce.
#pragma once

#include <vector>

#include "records/list_format.h"

extern std::vector<FileEntry> fileList;

// Reads setup.lst beside the program into fileList and the matching kind-0 items into
// uninstallList, after resetting progressState. False after its message box; both lists are
// then empty.
bool LoadFileList();
