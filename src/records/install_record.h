// The registry records of an installation: the game's own key under HKEY_CURRENT_USER and its
// entry in the list of installed programs under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

#include <cstdint>

#include "records/settings.h"

// Each shows its failures in an error box over owner, the main dialog.

// 1 when the own key of settings' game holds both values, which then fill InstallPath and
// DesktopShortcut.
int ReadInstallRecord(HWND owner, InstallSettings* settings);
// Records the installation that settings describe; sourceBytes gives the estimated size.
int WriteInstallRecord(HWND owner, const InstallSettings& settings, uint64_t sourceBytes);
int DeleteInstallRecord(HWND owner, const InstallSettings& settings);
