// The uninstall dialog (template 136) and the removal it runs.
#pragma once

#include <windows.h>

extern bool removeInstalledFiles;
extern HWND uninstallWindow;

// Dialog procedure: ends with 1 when the removal ran ("削除開始"), 0 when cancelled.
INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Removes shortcuts, the recorded files, the record and the emptied folders. False when the
// record cannot be read (after its message).
bool RunUninstall();
