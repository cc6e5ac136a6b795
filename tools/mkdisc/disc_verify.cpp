#include "disc_verify.h"

#include <windows.h>
#include <shlwapi.h>

#include <map>
#include <set>

#include "base/handles.h"
#include "disc_author.h"
#include "file_digest.h"
#include "install/file_list.h"
#include "tool_text.h"

namespace {

constexpr size_t kMaxLineCharacters = 257;

bool ReadBytes(const std::wstring& path, std::string* bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes->append(buffer, got);
    return true;
}

bool IsHexCrc(const std::wstring& text) {
    if (text.size() != 8) return false;
    for (wchar_t c : text)
        if (!iswxdigit(c)) return false;
    return true;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

void CollectData(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            CollectData(root, child, files);
        else
            files->push_back(child);
    } while (FindNextFileW(find.get(), &data));
}

}  // namespace

int ReadDiscNumber(const std::wstring& discFolder) {
    std::string bytes;
    if (!ReadBytes(discFolder + L"\\drvno.dat", &bytes)) return -1;
    size_t start = bytes.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string::npos) return -1;
    const std::string word = bytes.substr(start, bytes.find_first_of(" \t\r\n\v\f", start) - start);
    if (word.size() < 7 || word.compare(0, 6, "drvno:") != 0 || word[6] < '0' || word[6] > '9') return -1;
    return word[6] - '0';
}

bool VerifyDiscSet(const std::vector<std::wstring>& discFolders, const VerifyProgress& progress, VerifyReport* report) {
    *report = VerifyReport();
    auto problem = [&](const std::wstring& text) { report->problems.push_back(text); };

    std::map<int, std::wstring> discs;
    for (const std::wstring& given : discFolders) {
        std::wstring folder = given;
        while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
        const int number = ReadDiscNumber(folder);
        if (number < 0) {
            problem(L"\"" + folder + L"\" has no drvno.dat naming a disc (drvno:0 to drvno:9)");
            continue;
        }
        if (!discs.emplace(number, folder).second)
            problem(L"\"" + folder + L"\" and \"" + discs[number] + L"\" both say they are disc " +
                    std::to_wstring(number + 1));
    }
    auto first = discs.find(0);
    if (first == discs.end()) {
        problem(L"the first disc (drvno:0) is not among the folders given");
        return false;
    }
    for (const wchar_t* control : {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"}) {
        DWORD attributes = GetFileAttributesW((first->second + L"\\" + control).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            problem(std::wstring(control) + L" is missing from the first disc; the installer cannot start without it");
    }
    std::string bytes;
    if (!ReadBytes(first->second + L"\\setup.lst", &bytes)) return false;
    std::wstring text;
    if (!FromCodePage932Strict(bytes, &text)) {
        problem(L"setup.lst is not code page 932 (Shift_JIS) text");
        return false;
    }

    std::vector<std::wstring> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }

    std::map<int, std::set<std::wstring>> listed;  // upper-cased source paths per disc
    std::set<int> missingDiscs;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        const std::wstring where = L"setup.lst line " + std::to_wstring(i + 1) + L": ";
        if (progress) progress(i, lines.size(), line);
        if (line.empty()) continue;  // the installer passes over blank lines too
        if (line.size() > kMaxLineCharacters) {
            problem(where + L"longer than the " + std::to_wstring(kMaxLineCharacters) +
                    L" characters the installer reads in one piece");
            continue;
        }
        FileEntry entry = {};
        if (!ParseFileListLine(line.c_str(), L"C:\\", &entry)) {
            problem(where + L"not a line of the form disc,path,size,crc that the installer accepts: \"" + line + L"\"");
            continue;
        }
        if (!IsSafeListPath(std::wstring(entry.sourcePath).substr(5))) {
            problem(where + L"the path leads outside the game folder");
            continue;
        }
        if (!IsHexCrc(entry.crcText))
            problem(where + L"the CRC-32 \"" + std::wstring(entry.crcText) + L"\" is not eight hexadecimal digits");
        if (entry.disc > 9) {
            problem(where + L"disc number " + std::to_wstring(entry.disc) + L" cannot be marked by drvno.dat");
            continue;
        }
        auto disc = discs.find(entry.disc);
        if (disc == discs.end()) {
            if (missingDiscs.insert(entry.disc).second)
                problem(L"disc " + std::to_wstring(entry.disc + 1) + L" (drvno:" + std::to_wstring(entry.disc) +
                        L") is listed in setup.lst but was not given");
            continue;
        }
        listed[entry.disc].insert(UpperCase(entry.sourcePath));
        const std::wstring path = disc->second + L"\\" + entry.sourcePath;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            problem(where + L"\"" + path + L"\" is missing");
            continue;
        }
        FileDigest digest;
        std::wstring error;
        const bool compressed = wcscmp(PathFindExtensionW(entry.sourcePath), L".bz2") == 0;
        const bool read = compressed ? ExpandWithDigest(path, &digest, &error, nullptr)
                                     : CopyWithDigest(path, std::wstring(), &digest, &error, nullptr);
        ++report->filesChecked;
        if (!read) {
            problem(where + error);
            continue;
        }
        if (digest.size != static_cast<uint64_t>(entry.size))
            problem(where + L"\"" + path + L"\" " + (compressed ? L"expands to " : L"holds ") +
                    std::to_wstring(digest.size) + L" bytes, the list says " + std::to_wstring(entry.size));
        const std::wstring crc(digest.crc.begin(), digest.crc.end());
        if (Lower(entry.crcText) != crc)
            problem(where + L"\"" + path + L"\" has the CRC-32 " + crc + L", the list says " + entry.crcText);
    }

    for (const auto& [number, folder] : discs) {
        std::vector<std::wstring> files;
        CollectData(folder + L"\\data", L"", &files);
        for (const std::wstring& file : files)
            if (!listed[number].count(UpperCase(L"data\\" + file)))
                report->notes.push_back(L"\"" + folder + L"\\data\\" + file + L"\" is not in setup.lst");
    }
    return report->problems.empty();
}
