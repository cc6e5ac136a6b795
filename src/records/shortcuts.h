// The game's shortcuts on the desktop and in the start menu.
#pragma once

#include <windows.h>

// Makes the desktop shortcut (when DesktopShortcut is 1) and the three start-menu shortcuts.
void CreateShortcuts();

// Deletes the four shortcuts and the start-menu folders they leave empty. Shows nothing.
void RemoveShortcuts();

// Writes one .lnk file; the HRESULT of the last step performed.
HRESULT CreateShellLink(const wchar_t* linkPath, const wchar_t* target, const wchar_t* arguments,
                        const wchar_t* workingFolder, const wchar_t* description);
