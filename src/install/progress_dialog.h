// The progress dialog (template 133) that runs an installation.
#pragma once

#include <windows.h>

// Dialog procedure: ends with 1 when the installation completed, 0 otherwise.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
