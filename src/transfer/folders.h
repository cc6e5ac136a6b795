// Creation of the folders above a file path, with the platform's error text on failure.
#pragma once

#include <windows.h>

// False only when the platform reports a bad, missing, over-long or cancelled path (after a
// message box over owner); true otherwise.
bool CreateParentFolders(const wchar_t* filePath, HWND owner);
