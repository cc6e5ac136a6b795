// The running program: its module handle and the folder its file lies in.
#pragma once

#include <windows.h>

#include <string>

// Set by the entry before anything else runs.
extern HINSTANCE instanceHandle;

// Folder of the running program file, without a final backslash.
std::wstring GetModuleFolder();
