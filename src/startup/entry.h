// The program's entry logic: run modes and staging into a private folder inside the system's
// temporary folder.
#pragma once

#include <windows.h>
#include <string>

#include "records/settings.h"

// Process exit code for the given argument text (the part of the command line after the
// program name). In working mode the source folder goes into settings, and the main dialog opens
// over them.
int RunInstaller(HINSTANCE instance, const wchar_t* arguments, InstallSettings* settings);

// Copies the named file from the program's folder into the given folder (a private folder inside
// the staging folder), never over an existing file. False after telling the user.
bool CopyToTempFolder(const std::wstring& folder, const wchar_t* fileName);

// Restricts DLL loading to the system folder; called first thing in the entry.
void HardenDllSearch();
