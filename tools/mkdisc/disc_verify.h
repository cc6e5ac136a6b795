// Checking a set of discs (folders or images) against the setup.lst of its first disc, the way the
// installer will read them: markers, control files, every listed file present, and the size
// and CRC-32 of every file after expansion by the installer's own expansion code (every stream,
// the same damage rules), so that a set verify accepts is a set the installer installs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "progress_report.h"

struct VerifyReport {
    size_t filesChecked = 0;
    std::vector<std::wstring> problems;  // each one makes the set unfit to ship
    std::vector<std::wstring> notes;     // worth knowing, harmless to the installation
};

// discs are disc folders or images (.iso). An image's ISO 9660, Joliet and UDF trees must hold
// the same files with the same bytes; it is then read through its Joliet tree. True when no
// problem was found. Every file is read where it lies, an image's inside the image; progress (may
// be null) hears of the bytes checked.
bool VerifyDiscSet(const std::vector<std::wstring>& discs, ProgressReport* progress, VerifyReport* report);

// The disc number that the drvno.dat in the folder names (its first word "drvno:N"), or -1.
int ReadDiscNumber(const std::wstring& discFolder);
