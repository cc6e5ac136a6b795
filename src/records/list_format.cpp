#include "records/list_format.h"

#include <windows.h>
#include <share.h>
#include <shlwapi.h>

#include <cwchar>

#include "base/module.h"
#include "base/text.h"

namespace {

constexpr size_t kLineCapacity = kListLineCapacity;

constexpr size_t kDiscFieldLimit = 15;
constexpr size_t kListPathLimit = 259;
constexpr size_t kSizeFieldLimit = 255;
constexpr size_t kCrcFieldLimit = 255;

// setup.lst separates folders with a backslash only.
bool IsListSeparator(wchar_t c) { return c == L'\\'; }

// Characters no file name may hold; a forward slash would also act as a second separator.
bool IsForbiddenCharacter(wchar_t c) { return c < 0x20 || wcschr(L"/<>\"|?*", c) != nullptr; }

// Components the platform would resolve to "." or "..": nothing but dots and spaces (trailing
// dots and spaces are dropped from path components).
bool IsDotComponent(const std::wstring& component) { return component.find_first_not_of(L". ") == std::wstring::npos; }

}  // namespace

bool IsSafeListPath(const std::wstring& listPath) {
    if (listPath.empty() || IsListSeparator(listPath.front())) return false;
    if (listPath.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < listPath.size() && !IsListSeparator(listPath[end])) ++end;
        std::wstring component = listPath.substr(start, end - start);
        if (component.empty() || IsDotComponent(component)) return false;
        for (wchar_t c : component) {
            if (IsForbiddenCharacter(c)) return false;
        }
        if (end == listPath.size()) return true;
        start = end + 1;
    }
}

bool ParseFileListLine(const wchar_t* line, const wchar_t* installPath, FileEntry* entry) {
    // The fields are split like wcstok with "," does it: runs of commas are one separator,
    // leading commas are skipped and anything after the fourth field is ignored.
    std::wstring text(line);
    std::wstring fields[4];
    size_t position = 0;
    for (std::wstring& field : fields) {
        position = text.find_first_not_of(L',', position);
        if (position == std::wstring::npos) return false;
        size_t end = text.find(L',', position);
        if (end == std::wstring::npos) end = text.size();
        field = text.substr(position, end - position);
        position = end;
    }
    const std::wstring& discField = fields[0];
    const std::wstring& listPath = fields[1];
    const std::wstring& sizeField = fields[2];
    const std::wstring& crcField = fields[3];
    if (discField.size() > kDiscFieldLimit || listPath.size() > kListPathLimit || sizeField.size() > kSizeFieldLimit ||
        crcField.size() > kCrcFieldLimit) {
        return false;
    }
    if (!IsSafeListPath(listPath)) return false;

    FileEntry parsed{};
    size_t nameStart = listPath.find_last_of(L'\\');
    nameStart = nameStart == std::wstring::npos ? 0 : nameStart + 1;
    if (!CopyText(parsed.name, listPath.c_str() + nameStart)) return false;

    parsed.size = wcstoll(sizeField.c_str(), nullptr, 10);
    parsed.disc = static_cast<uint16_t>(wcstol(discField.c_str(), nullptr, 10));

    std::wstring destination = std::wstring(installPath) + listPath;
    const wchar_t* extension = PathFindExtensionW(destination.c_str());
    if (wcscmp(extension, L".bz2") == 0) destination.resize(static_cast<size_t>(extension - destination.c_str()));
    if (!CopyText(parsed.destinationPath, destination.c_str())) return false;

    if (!CopyText(parsed.sourcePath, (L"data\\" + listPath).c_str())) return false;
    if (!CopyText(parsed.crcText, crcField.c_str())) return false;

    *entry = parsed;
    return true;
}

StdioFile OpenFileList() {
    const std::wstring listPath = GetModuleFolder() + L"\\setup.lst";
    return StdioFile(_wfsopen(listPath.c_str(), L"rt", _SH_DENYNO));
}

bool ForEachListLine(FILE* file, const std::function<bool(size_t, const wchar_t*, bool)>& take) {
    wchar_t line[kLineCapacity + 1];
    for (size_t lineNumber = 1;; ++lineNumber) {
        wmemset(line, L'\0', kLineCapacity + 1);
        if (!fgetws(line, kLineCapacity + 1, file)) return true;

        // A piece that filled the buffer without its line feed is part of an over-long line,
        // unless the file ends right there.
        size_t length = wcslen(line);
        bool overLong = false;
        if (length == kLineCapacity && line[length - 1] != L'\n') {
            wint_t next = fgetwc(file);
            overLong = next != WEOF;
        }
        line[wcscspn(line, L"\r\n")] = L'\0';
        if (!overLong && line[0] == L'\0') continue;
        if (!take(lineNumber, line, overLong)) return false;
    }
}

std::vector<std::wstring> ReadListedDestinations() {
    std::vector<std::wstring> destinations;
    StdioFile file = OpenFileList();
    if (!file) return destinations;
    ForEachListLine(file.get(), [&](size_t, const wchar_t* line, bool overLong) {
        FileEntry entry;
        if (!overLong && ParseFileListLine(line, L"", &entry)) destinations.push_back(entry.destinationPath);
        return true;
    });
    return destinations;
}
