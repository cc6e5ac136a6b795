#include "base/module.h"

#include <vector>

HINSTANCE instanceHandle = nullptr;

std::wstring GetModuleFolder() {
    std::vector<wchar_t> path(MAX_PATH, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) break;
        if (path.size() >= 32768) return {};
        path.assign(path.size() * 2, L'\0');
    }
    std::wstring folder(path.data(), length);
    size_t slash = folder.find_last_of(L'\\');
    if (slash != std::wstring::npos) folder.resize(slash);
    return folder;
}
