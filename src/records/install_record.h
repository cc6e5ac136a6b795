// The registry records of an installation: the game's own key under HKEY_CURRENT_USER and its
// entry in the list of installed programs under HKEY_LOCAL_MACHINE.
#pragma once

// 1 when the own key holds both values (InstallPath and DesktopShortcut are then set).
int ReadInstallRecord();
int WriteInstallRecord();
int DeleteInstallRecord();
