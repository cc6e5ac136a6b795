// What the main dialog shows, worked out here from the platform and the dialog's own texts rather
// than taken from the installer's code, for the tests that drive it in process and end to end.
#pragma once

#include <string>

// The confirmation asked before installing into installPath (the game folder, final backslash).
std::wstring ExpectedInstallConfirmation(const std::wstring& installPath);

// The destination a fresh start suggests: the system drive's root from major version 6 on, the
// program-files folder before; the company folder inside, with a final backslash.
std::wstring ExpectedDefaultDestination(const std::wstring& company);
