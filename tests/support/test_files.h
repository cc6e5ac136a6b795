// Files and folders for tests: a private folder per test, removed afterwards, and small
// helpers to write and read whole files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh, empty folder below the Windows temporary folder; removed with its content when the
// object goes. path() ends without a backslash.
class TempFolder {
public:
    TempFolder();
    explicit TempFolder(const std::wstring& namePrefix);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

// Writes bytes to path, creating the folders above it. False on failure.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string* bytes);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
// Removes a folder tree (not following reparse points).
void RemoveTree(const std::wstring& path);
// Deterministic pseudo-random bytes.
std::string PatternBytes(size_t length, uint32_t seed = 1);
// UTF-16 to code page 932 bytes, for writing Japanese control files.
std::string ToCp932(const std::wstring& text);
