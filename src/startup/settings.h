// The game's identity from setup.ini and the process-wide installer state that the dialogs,
// the install worker and the registry records share.
#pragma once

#include <windows.h>
#include <string>

constexpr size_t kPathCapacity = MAX_PATH;  // 259 characters and a terminator
constexpr size_t kValueCapacity = 256;      // setup.ini values: 255 characters and a terminator

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

extern InstallSettings installSettings;

// Clears fields 1 to 10 (texts emptied, numbers zeroed); SourceFolder and Installed stay.
void ClearInstallSettings();

// UTF-16 to code page 932 and back. A failed conversion yields an empty result instead of
// ending the process.
std::string WideToCodePage932(const std::wstring& text);
std::wstring CodePage932ToWide(const std::string& text);

// Reads one key of section "INSTALLER" of the profile file at iniPath into a field of
// kValueCapacity characters; an absent key gives defaultValue.
void ReadInstallerValue(const wchar_t* key, const wchar_t* defaultValue, wchar_t* field, const wchar_t* iniPath);

// The path of setup.ini beside the running program.
std::wstring GetSetupIniPath();

// Reads the six keys of setup.ini into installSettings, in the order of the file's key table.
// Returns false after telling the user when setup.ini exists but cannot be reached through a
// code page 932 path; the fields then keep the defaults.
bool LoadInstallerConfig(HWND owner);
