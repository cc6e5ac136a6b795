// Finding the disc a file lives on: drvno.dat markers, drive scans and the disc-change prompt.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/capacity.h"

// True when sourceFolder now holds the marker of `disc` (it may have been replaced by a drive or
// a chosen folder); false when the user cancelled the disc change. The prompt and the folder
// browser belong to owner.
bool LocateDisc(uint16_t disc, HWND owner, wchar_t (&sourceFolder)[kPathCapacity]);

// True when the file opens and its first word is "drvno:" followed by the disc's digit.
bool ReadDiscMarker(const wchar_t* markerPath, uint16_t disc);

// True when the drive letter ('A' to 'Z') may hold a disc worth looking at.
bool IsCandidateDrive(wchar_t driveLetter);

// Lets the user choose a folder in a browser over owner; true with the folder (no final
// backslash) when one was chosen.
bool BrowseForDiscFolder(HWND owner, std::wstring* folder);
