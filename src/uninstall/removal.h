// Removal of files named by a pattern and of emptied folder trees. Neither operation reaches
// outside the folder or pattern it is given.
#pragma once

// Deletes every plain file matching the path or pattern in its own folder; never recurses.
void DeleteMatchingFiles(const wchar_t* pattern);

// Removes, deepest first, every folder of the tree that holds no file, the folder itself last.
// Never enters a reparse point.
void RemoveEmptyFolders(const wchar_t* folder);
