// The system's other spellings of an existing path: its 8.3 short form and its long form.
#pragma once

#include <string>

// The short (8.3) form of an existing file or folder; false when the system cannot give it.
bool ShortPathOf(const std::wstring& path, std::wstring* result);

// The long form of an existing file or folder, with every short component written out; false
// when the system cannot give it.
bool LongPathOf(const std::wstring& path, std::wstring* result);
