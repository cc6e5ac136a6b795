// Removal of files named by a pattern, of emptied folder trees, of the game's shortcuts and of the
// program itself. None of them reaches outside the folder or pattern it is given.
#pragma once

#include "records/settings.h"

// Deletes every plain file matching the path or pattern in its own folder; never recurses.
void DeleteMatchingFiles(const wchar_t* pattern);

// Removes, deepest first, every folder of the tree that holds no file, the folder itself last.
// Never enters a reparse point.
void RemoveEmptyFolders(const wchar_t* folder);

// Deletes the game's four shortcuts and the start-menu folders they leave empty. Shows nothing.
void RemoveShortcuts(const InstallSettings& settings);

// Starts the command interpreter to delete the program file and ends this process at once (exit
// code 0), so the file is free when the interpreter gets to it. For the main dialog's
// removeSelfOnExit.
[[noreturn]] void RemoveSelf();
