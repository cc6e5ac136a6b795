// The main installer dialog (template 103) with its install and uninstall looks.
#pragma once

#include <windows.h>

extern HWND mainWindow;
extern int removeSelfOnExit;

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void InitMainDialog();
void ApplyDialogLook();
void BrowseInstallFolder();
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lParam, LPARAM data);
