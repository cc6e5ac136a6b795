// The main installer dialog (template 103) with its install and uninstall looks.
#pragma once

#include <windows.h>

#include "install/installation.h"
#include "records/settings.h"

// What the main dialog works on, made by its opener and outliving the dialog: the settings it
// reads, shows and passes down (the opener's), the installation it runs, and its window.
struct MainDialogState {
    explicit MainDialogState(InstallSettings& settings) : settings(settings), installation(settings) {}

    InstallSettings& settings;
    // Lives as long as the dialog: its progress record's cancel flag is not part of the reset
    // between installations.
    Installation installation;
    HWND window = nullptr;
    int removeSelfOnExit = 0;  // nothing sets it: the installer does not delete itself after an uninstallation
};

// Dialog procedure over the MainDialogState given as the dialog's parameter.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitMainDialog(MainDialogState* state);
void ApplyDialogLook(MainDialogState* state);
void BrowseInstallFolder(MainDialogState* state);
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lParam, LPARAM data);
