// Creation of the folders above a file path, with the platform's error text on failure.
#pragma once

// False only when the platform reports a bad, missing, over-long or cancelled path (after a
// message box); true otherwise.
bool CreateParentFolders(const wchar_t* filePath);
