// The install worker: one whole installation on its own thread.
#pragma once

#include <windows.h>

// Thread procedure: 1 when every file, the shortcuts and the uninstall record are done, else 0.
DWORD WINAPI InstallWorker(LPVOID unused);

// Free-space test of the destination's volume against progressState.totalBytes.
bool HasEnoughFreeSpace(const wchar_t* destinationFolder);
