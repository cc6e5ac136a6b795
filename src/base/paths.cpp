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

DWORD ShortPathQuery(LPCWSTR path, LPWSTR buffer, DWORD capacity) {
    return GetShortPathNameW(path, buffer, capacity);
}

DWORD LongPathQuery(LPCWSTR path, LPWSTR buffer, DWORD capacity) {
    return GetLongPathNameW(path, buffer, capacity);
}

}  // namespace

bool ShortPathOf(const std::wstring& path, std::wstring* result) {
    return QueryPath(ShortPathQuery, path, result);
}

bool LongPathOf(const std::wstring& path, std::wstring* result) {
    return QueryPath(LongPathQuery, path, result);
}
