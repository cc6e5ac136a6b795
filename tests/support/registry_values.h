// Registry values read back exactly as stored, for the tests of what the installer records.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct StoredValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;  // the stored bytes, terminator included where one was stored

    // The data as text, less one final terminator: anything else stored shows.
    std::wstring Text() const;
    // The data as a number; 0xFFFFFFFF unless exactly four bytes are stored.
    DWORD Number() const;
};

// view: 0 for this program's own view of the registry; KEY_WOW64_32KEY for what a 32-bit program
// records, where Windows' own list of programs reads it.
StoredValue ReadStoredValue(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view = 0);
bool StoredKeyExists(HKEY root, const std::wstring& key, REGSAM view = 0);
