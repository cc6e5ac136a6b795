// uninst.dat: the list of what an uninstallation may delete, its writer and its reader.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/capacity.h"

struct UninstallItem {
    int32_t kind;  // 0: deleted by the uninstaller; any other value: left in place
    wchar_t path[kPathCapacity];
};

// Appends the template beside the program (paths put under installPath) to items and appends the
// whole list to uninst.dat in the install folder. False after its message box over owner.
bool WriteUninstallRecord(const wchar_t* installPath, std::vector<UninstallItem>* items, HWND owner);

// Empties items and fills them from the file; false when the file cannot be opened.
bool ReadUninstallRecord(const wchar_t* recordPath, std::vector<UninstallItem>* items);

// Readers hold a line in 260 characters: at most this many before the line end.
constexpr size_t kRecordLineCharacters = kPathCapacity - 2;

// Splits "kind,path[,ignored]" the way the record has always been read: the line ends at its
// first CR, leading commas are skipped, runs of commas are one delimiter, the kind converts like
// wcstol in base 10. False when the line holds no path.
bool ParseRecordLine(std::wstring line, int32_t* kind, std::wstring* path);

// A template path must name something inside the install folder: relative, no drive, stream or
// root, and no component that climbs out (".." and the forms Windows trims to it).
bool StaysInsideInstallFolder(const std::wstring& relative);

enum class RecordFolderFit { kFits, kUnrecordableCharacters, kTooLong };

// Whether uninst.dat can name every item under installPath in full, whatever the volume: the
// folder holds no comma and nothing code page 932 lacks, and the longest line that setup.lst and
// the template beside the program lead to still fits the reader. Shows nothing.
RecordFolderFit CheckRecordFolder(const wchar_t* installPath);
