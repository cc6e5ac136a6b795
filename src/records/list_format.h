// setup.lst's line format: what one line says, which paths it may name, and how the lines of the
// file are read. The install engine's file list, the uninstall record's folder check and mkdisc
// all follow these rules.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/capacity.h"
#include "base/handles.h"

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

// True when a list path stays inside the folder it is joined to: relative, no drive or stream
// colon, no leading backslash, no "." or ".." component, no empty component.
bool IsSafeListPath(const std::wstring& listPath);

// Parses one line (without its line end) against the destination folder. False when the line
// is malformed or would not fit the entry's fields.
bool ParseFileListLine(const wchar_t* line, const wchar_t* installPath, FileEntry* entry);

// setup.lst beside the program, open for reading as text; empty when it does not open.
StdioFile OpenFileList();

// Hands each line of an open list that is not empty to take(lineNumber, line, overLong), line
// ends removed, until take returns false. False when a line was refused that way.
bool ForEachListLine(FILE* file, const std::function<bool(size_t, const wchar_t*, bool)>& take);

// The destinations that setup.lst beside the program lists, relative to the install folder (a
// final ".bz2" dropped), for the lines that parse. Shows nothing; empty when the list is missing.
std::vector<std::wstring> ReadListedDestinations();
