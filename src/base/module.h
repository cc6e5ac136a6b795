// The running program: its module handle and the folder its file lies in.
#pragma once

#include <windows.h>

#include <string>

// The module whose resources hold the dialogs and pictures. Windows hands it to the entry alone,
// which sets it here before anything else runs; it never changes afterwards.
extern HINSTANCE instanceHandle;

// Folder of the running program file, without a final backslash.
std::wstring GetModuleFolder();
