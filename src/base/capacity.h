// Sizes of the fixed text buffers that the settings, the file list and the uninstall record share.
#pragma once

#include <windows.h>

#include <cstddef>

constexpr size_t kPathCapacity = MAX_PATH;  // 259 characters and a terminator
constexpr size_t kValueCapacity = 256;      // setup.ini values: 255 characters and a terminator
