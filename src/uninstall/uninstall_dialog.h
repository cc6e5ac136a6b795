// The uninstall dialog (template 136) and the removal it runs.
#pragma once

#include <windows.h>

#include "records/settings.h"

// What the uninstall dialog works on, owned by its opener: the installation to remove, the
// player's choice of method, and the dialog's window while it is open.
struct UninstallDialogState {
    const InstallSettings* settings = nullptr;
    bool removeInstalledFiles = false;
    HWND window = nullptr;
};

// Dialog procedure over the UninstallDialogState given as the dialog's parameter: ends with 1
// when the removal ran ("削除開始"), 0 when cancelled.
INT_PTR CALLBACK UninstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Removes the shortcuts, the recorded files (those of kind 0 only with removeInstalledFiles), the
// record and the emptied folders of the installation. False when the record cannot be read
// (after its message over owner).
bool RunUninstall(const InstallSettings& settings, bool removeInstalledFiles, HWND owner);
