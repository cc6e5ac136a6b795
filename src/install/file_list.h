// The file list of an installation: setup.lst read into one FileEntry per line, and the uninstall
// items the lines produce.
#pragma once

#include "install/installation.h"

// Reads setup.lst beside the program into the installation's files, and the matching kind-0
// items into its uninstall items, after resetting its progress record. The destinations lie in
// the confirmed install folder. False after its message box; both lists are then empty.
bool LoadFileList(Installation* installation);
