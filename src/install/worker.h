// The install worker: one whole installation on its own thread.
#pragma once

#include <windows.h>

#include <cstdint>

// Thread procedure over the Installation it is given, its files loaded: 1 when every file, the
// shortcuts and the uninstall record are done, else 0.
DWORD WINAPI InstallWorker(LPVOID installation);

// Free-space test of the destination's volume against the total size of the files.
bool HasEnoughFreeSpace(const wchar_t* destinationFolder, uint64_t totalBytes);
