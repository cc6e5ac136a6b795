// setup.lst: one FileEntry per line, and the uninstall items the lines produce.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/capacity.h"

constexpr size_t kCrcTextCapacity = 256;
// A line holds at most this many characters, its line feed included (mkdisc writes and checks
// lines against the same limit).
constexpr size_t kListLineCapacity = 258;

struct FileEntry {
    wchar_t name[kPathCapacity];
    int64_t size;
    wchar_t destinationPath[kPathCapacity];
    uint16_t disc;
    wchar_t sourcePath[kPathCapacity];
    wchar_t crcText[kCrcTextCapacity];
};

extern std::vector<FileEntry> fileList;

// True when a list path stays inside the folder it is joined to: relative, no drive or stream
// colon, no leading backslash, no "." or ".." component, no empty component. Shared with mkdisc.
bool IsSafeListPath(const std::wstring& listPath);

// Parses one line (without its line end) against the destination folder. False when the line
// is malformed or would not fit the entry's fields.
bool ParseFileListLine(const wchar_t* line, const wchar_t* installPath, FileEntry* entry);

// Reads setup.lst beside the program into fileList and the matching kind-0 items into
// uninstallList, after resetting progressState. False after its message box; both lists are
// then empty.
bool LoadFileList();

// The destinations that setup.lst beside the program lists, relative to the install folder (a
// final ".bz2" dropped), for the lines that parse. Shows nothing; empty when the list is missing.
std::vector<std::wstring> ReadListedDestinations();
