// The progress dialog (template 133) that runs an installation.
#pragma once

#include <windows.h>

#include <cstdint>

// Dialog procedure: runs the Installation given as the dialog's parameter, which outlives the
// dialog, and ends with 1 when the installation completed, 0 otherwise.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// done / total in whole percent, rounded down and computed exactly in integers (no floating
// point, whose precision differs between builds); above 100 when files outgrow their listed
// sizes, INT_MAX at most, 0 for a total of 0.
int ProgressPercentage(uint64_t done, uint64_t total);
