// The folder that staging copies the program into: a new folder inside the system's temporary
// folder that only administrators and the system can write, under a name nobody can guess in
// advance, and its removal once it has served.
#pragma once

#include <windows.h>

#include <string>

#include "base/handles.h"

// The system's temporary folder (%SystemRoot%\Temp), ending with a backslash: on the system volume,
// and users may create entries there but may neither rename nor delete another's, so no program
// of the user can move a private folder away and put a junction under its name. Empty when the
// system cannot name it.
std::wstring StagingFolder();

// True when the volume that holds the folder keeps access lists. On one that does not (FAT, exFAT,
// many shares, discs) a private folder's descriptor protects nothing.
bool KeepsAccessLists(const std::wstring& folder);

// Security descriptor for a new private folder: owner Administrators, and a protected DACL that
// grants full access to Administrators (S-1-5-32-544) and SYSTEM (S-1-5-18) only, both grants
// inherited by the files created inside. Holds nothing when the system cannot build it.
LocalMemory BuildPrivateFolderSecurity();

// A private folder name: a fixed prefix and 16 hexadecimal digits from the system's random
// source. Empty when the random source fails.
std::wstring DrawPrivateFolderName();

// Creates a new private folder inside tempFolder (which ends with a backslash) and gives its
// path, without a final backslash, and a handle that keeps anyone from renaming or deleting the
// folder while it is held (a folder in the temporary folder could otherwise be swapped for
// another of the same name). A name that is taken is never used: another is drawn. False when
// no folder could be created.
bool CreatePrivateFolder(const std::wstring& tempFolder, std::wstring* folder, FileHandle* held,
                         std::wstring (*drawName)() = DrawPrivateFolderName);

// True when folder lies directly inside tempFolder under a name of the form DrawPrivateFolderName
// gives. Only such a folder is ever removed.
bool IsPrivateFolder(const std::wstring& folder, const std::wstring& tempFolder);

// Opens a private folder so that nobody can remove or rename it while the handle is held. The
// working instance holds its own folder: that tells a later start the folder is not abandoned.
FileHandle HoldPrivateFolder(const std::wstring& folder);

// Removes the private folders that earlier runs left directly inside stagingFolder and that
// nothing holds, with the named files inside; what cannot go now is queued for the next restart.
// A folder whose first named file (the program) cannot go is in use and stays as it is. Never
// follows a link and never touches an entry of another name.
void RemoveAbandonedPrivateFolders(const std::wstring& stagingFolder, const wchar_t* const* names, size_t count);

// Removes the named files of the folder and then the folder itself now; whatever cannot go now
// is left to the next restart.
void RemovePrivateFolder(const std::wstring& folder, const wchar_t* const* names, size_t count);

// Schedules the named files of the folder, then the folder itself, for removal at the next
// restart. False when one of them could not be scheduled.
bool RemovePrivateFolderAtRestart(const std::wstring& folder, const wchar_t* const* names, size_t count);
