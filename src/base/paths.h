// Reasoning about paths: their roots, their resolved and long forms, and whether one lies inside
// a folder; and the system's other spellings of an existing path.
#pragma once

#include <cstddef>
#include <string>

// Either separator the file functions accept: backslash or slash.
bool IsPathSeparator(wchar_t c);

enum class RootKind { kNone, kDrive, kShare, kDevice };

// The root a path starts with: "X:\" (a drive), "\\server\share\" (a share) or "\\?\X:\" and
// "\\.\name\" (a device path, which skips the platform's own "." and ".." handling). length
// counts the root's final separator when there is one.
struct PathRoot {
    RootKind kind = RootKind::kNone;
    size_t length = 0;
};
PathRoot ParsePathRoot(const std::wstring& path);

// Length of the root of an absolute drive or share path; 0 for any other path, device paths
// included.
size_t RootLength(const std::wstring& path);

// The absolute path with "." and "..", doubled and forward separators resolved the way the
// file functions resolve them. Empty when the path is not an absolute drive or share path or
// cannot be resolved.
std::wstring ResolvePath(const wchar_t* path);

// The folder resolved and ending with a backslash when it names one place below a drive or share
// root ("X:\..." or "\\server\share\..."), whatever the current drive and folder; empty for any
// other folder: relative, rooted without a drive, drive-relative, a device path, a root itself.
// What an installation may go into is exactly what its uninstallation can walk.
std::wstring ResolveFolderBelowRoot(const wchar_t* folder);

// True when the folder resolves to a drive or share root itself ("C:\", "C:\Games\..",
// "\\server\share\").
bool ResolvesToRoot(const wchar_t* folder);

// The same resolved path with short 8.3 components written out long, as far as the named folder
// or file exists.
std::wstring WithLongNames(const std::wstring& resolved);

// True when path, once resolved and written out long, lies strictly inside folder (case ignored).
bool IsPathInsideFolder(const wchar_t* path, const wchar_t* folder);

// True when a folder between folder (a prefix of resolvedPath) and the item is a junction or
// folder link: the item would then lie somewhere else than its path says.
bool PassesThroughLink(const std::wstring& resolvedPath, const std::wstring& folder);

// The short (8.3) form of an existing file or folder; false when the system cannot give it.
bool ShortPathOf(const std::wstring& path, std::wstring* result);

// The long form of an existing file or folder, with every short component written out; false
// when the system cannot give it.
bool LongPathOf(const std::wstring& path, std::wstring* result);
