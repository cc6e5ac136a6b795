#include "base/paths.h"

#include <windows.h>

namespace {

// Asks for the needed size first, so that no length of path is cut off; a second answer that
// does not fit what the first one promised (the item changed in between) counts as a failure.
bool QueryPath(DWORD (*query)(LPCWSTR, LPWSTR, DWORD), const std::wstring& path, std::wstring* result) {
    DWORD needed = query(path.c_str(), nullptr, 0);
    if (needed == 0) return false;
    std::wstring buffer(needed, L'\0');
    DWORD written = query(path.c_str(), &buffer[0], needed);
    if (written == 0 || written >= needed) return false;
    buffer.resize(written);
    *result = buffer;
    return true;
}

DWORD ShortPathQuery(LPCWSTR path, LPWSTR buffer, DWORD capacity) { return GetShortPathNameW(path, buffer, capacity); }

DWORD LongPathQuery(LPCWSTR path, LPWSTR buffer, DWORD capacity) { return GetLongPathNameW(path, buffer, capacity); }

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool IsDevicePath(const std::wstring& path) {
    return path.size() >= 4 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) &&
           (path[2] == L'?' || path[2] == L'.') && IsPathSeparator(path[3]);
}

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b, size_t length) {
    return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

PathRoot ParsePathRoot(const std::wstring& path) {
    if (path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && IsPathSeparator(path[2]))
        return {RootKind::kDrive, 3};
    if (path.size() < 2 || !IsPathSeparator(path[0]) || !IsPathSeparator(path[1])) return {};
    size_t serverEnd = path.find_first_of(L"\\/", 2);
    if (serverEnd == std::wstring::npos || serverEnd == 2) return {};
    size_t shareEnd = path.find_first_of(L"\\/", serverEnd + 1);
    if (shareEnd == serverEnd + 1 || (shareEnd == std::wstring::npos && serverEnd + 1 == path.size())) return {};
    size_t length = shareEnd == std::wstring::npos ? path.size() : shareEnd + 1;
    return {IsDevicePath(path) ? RootKind::kDevice : RootKind::kShare, length};
}

size_t RootLength(const std::wstring& path) {
    PathRoot root = ParsePathRoot(path);
    return root.kind == RootKind::kDrive || root.kind == RootKind::kShare ? root.length : 0;
}

std::wstring ResolvePath(const wchar_t* path) {
    std::wstring text = path ? path : L"";
    if (RootLength(text) == 0) return {};
    if (text.find(L':', 2) != std::wstring::npos) return {};  // no streams or second drive
    DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring resolved(needed, L'\0');
    DWORD written = GetFullPathNameW(text.c_str(), needed, &resolved[0], nullptr);
    if (written == 0 || written >= needed) return {};
    resolved.resize(written);
    if (RootLength(resolved) == 0) return {};
    return resolved;
}

std::wstring ResolveFolderBelowRoot(const wchar_t* folder) {
    std::wstring resolved = ResolvePath(folder);
    if (resolved.empty()) return {};
    if (!IsPathSeparator(resolved.back())) resolved += L'\\';
    if (resolved.size() <= RootLength(resolved)) return {};
    return resolved;
}

bool ResolvesToRoot(const wchar_t* folder) {
    std::wstring resolved = ResolvePath(folder);
    if (resolved.empty()) return false;
    if (!IsPathSeparator(resolved.back())) resolved += L'\\';
    return resolved.size() <= RootLength(resolved);
}

std::wstring WithLongNames(const std::wstring& resolved) {
    std::wstring expanded;
    bool wildcard = resolved.find_first_of(L"*?") != std::wstring::npos;
    if (!wildcard && LongPathOf(resolved, &expanded)) return expanded;
    size_t slash = resolved.find_last_of(L"\\/");
    if (slash == std::wstring::npos || slash + 1 <= RootLength(resolved)) return resolved;
    if (!LongPathOf(resolved.substr(0, slash), &expanded)) return resolved;
    return expanded + L'\\' + resolved.substr(slash + 1);
}

bool IsPathInsideFolder(const wchar_t* path, const wchar_t* folder) {
    std::wstring resolvedFolder = ResolvePath(folder);
    std::wstring resolvedPath = ResolvePath(path);
    if (resolvedFolder.empty() || resolvedPath.empty()) return false;
    resolvedFolder = WithLongNames(resolvedFolder);
    resolvedPath = WithLongNames(resolvedPath);
    if (!IsPathSeparator(resolvedFolder.back())) resolvedFolder += L'\\';
    if (resolvedPath.size() <= resolvedFolder.size()) return false;
    return EqualIgnoringCase(resolvedPath.c_str(), resolvedFolder.c_str(), resolvedFolder.size());
}

bool PassesThroughLink(const std::wstring& resolvedPath, const std::wstring& folder) {
    for (size_t end = resolvedPath.find_first_of(L"\\/", folder.size()); end != std::wstring::npos;
         end = resolvedPath.find_first_of(L"\\/", end + 1)) {
        DWORD attributes = GetFileAttributesW(resolvedPath.substr(0, end).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    }
    return false;
}

bool ShortPathOf(const std::wstring& path, std::wstring* result) { return QueryPath(ShortPathQuery, path, result); }

bool LongPathOf(const std::wstring& path, std::wstring* result) { return QueryPath(LongPathQuery, path, result); }
