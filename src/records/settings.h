// The game's identity from setup.ini and the choices of its installation: one value, owned by the
// working installer's entry, which the main dialog reads, shows and passes down.
#pragma once

#include <windows.h>
#include <string>

#include "base/capacity.h"

struct InstallSettings {
    wchar_t Company[kValueCapacity];
    wchar_t Publisher[kValueCapacity];
    wchar_t URLInfoAbout[kValueCapacity];
    wchar_t AppName[kValueCapacity];
    wchar_t InstFolder[kValueCapacity];
    wchar_t InstallPath[kPathCapacity];  // ends with a backslash once set
    wchar_t AppExe[kValueCapacity];
    int DesktopShortcut;
    int VerifyFiles;
    int IsVistaOrLater;
    wchar_t SourceFolder[kPathCapacity];  // no final backslash
    int Installed;
};

// Clears fields 1 to 10 (texts emptied, numbers zeroed); SourceFolder and Installed stay.
void ClearInstallSettings(InstallSettings* settings);

// The narrow form of a file path that the ANSI profile functions, which decode paths with
// codePage (the process's ANSI code page, GetACP()), turn back into the same file: the path
// itself when it survives that round trip exactly, else its short (8.3) form when that does.
// Empty when neither exists (the short form needs the file to exist).
std::string AnsiProfilePath(const std::wstring& path, UINT codePage);

// Reads one key of section "INSTALLER" of the profile file at iniPath into a field of
// kValueCapacity characters; an absent key gives defaultValue.
void ReadInstallerValue(const wchar_t* key, const wchar_t* defaultValue, wchar_t* field, const wchar_t* iniPath);

// The path of setup.ini beside the running program.
std::wstring GetSetupIniPath();

// Reads the six keys of setup.ini into settings, in the order of the file's key table. Returns
// false after telling the user (owner: the given window) when setup.ini exists but no form of its
// path survives the process's ANSI code page; the fields then hold the defaults.
bool LoadInstallerConfig(HWND owner, InstallSettings* settings);

// LoadInstallerConfig for a given setup.ini, deciding reachability for the given ANSI code page.
bool LoadInstallerConfigFrom(HWND owner, const std::wstring& iniPath, UINT codePage, InstallSettings* settings);
