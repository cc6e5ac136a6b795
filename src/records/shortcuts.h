// The game's shortcuts on the desktop and in the start menu.
#pragma once

#include <windows.h>

#include <string>

#include "records/settings.h"

// The game's start-menu shortcuts, named the same way at installation and at removal.
struct MenuShortcuts {
    std::wstring menuRoot;  // the folder whose emptied tree goes at removal: Programs\<Company>
    std::wstring gameLink;
    std::wstring uninstallLink;
    std::wstring manualLink;
};

// The path of the game's desktop shortcut; false when the system names no desktop folder.
bool FindDesktopShortcut(const InstallSettings& settings, std::wstring* link);

// The paths of the game's start-menu shortcuts; false when the system names no programs folder.
bool FindMenuShortcuts(const InstallSettings& settings, MenuShortcuts* links);

// Makes the desktop shortcut (when DesktopShortcut is 1) and the three start-menu shortcuts of the
// installed game; a missing shell folder is reported in an error box over owner.
void CreateShortcuts(const InstallSettings& settings, HWND owner);

// Writes one .lnk file; the HRESULT of the last step performed.
HRESULT CreateShellLink(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                        const wchar_t* workingFolder, const wchar_t* description);
