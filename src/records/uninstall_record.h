// uninst.dat: the list of what an uninstallation may delete, its writer and its reader.
#pragma once

#include <windows.h>

#include <cstdint>
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

enum class RecordFolderFit { kFits, kUnrecordableCharacters, kTooLong };

// Whether uninst.dat can name every item under installPath in full, whatever the volume: the
// folder holds no comma and nothing code page 932 lacks, and the longest line that setup.lst and
// the template beside the program lead to still fits the reader. Shows nothing.
RecordFolderFit CheckRecordFolder(const wchar_t* installPath);
