// copyloop: the reference that scripts/bench-install.sh measures the installer against for many
// small files. It copies every plain file listed in a disc's setup.lst with CopyFileW, creating
// the folders above each file the way the installer does, and prints the time it took.
//   copyloop <disc folder> <destination folder>
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "records/list_format.h"
#include "tool_text.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        PrintErrorLine(L"usage: copyloop <disc folder> <destination folder>");
        return 2;
    }
    const std::wstring disc = argv[1];
    std::wstring destination = argv[2];
    if (destination.back() != L'\\') destination += L'\\';

    std::string bytes;
    std::wstring error;
    if (!ReadWholeFile(disc + L"\\setup.lst", &bytes, &error)) {
        PrintErrorLine(L"copyloop: " + error);
        return 1;
    }
    std::wstring text;
    if (!FromCodePage932Strict(bytes, &text)) return 1;

    std::vector<FileEntry> entries;
    for (const std::wstring& line : SplitLines(text)) {
        if (line.empty()) continue;
        FileEntry entry{};
        if (!ParseFileListLine(line.c_str(), destination.c_str(), &entry)) {
            PrintErrorLine(L"copyloop: cannot read the line " + line);
            return 1;
        }
        entries.push_back(entry);
    }

    LARGE_INTEGER frequency, begin, finish;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    for (const FileEntry& entry : entries) {
        std::wstring target = entry.destinationPath;
        SHCreateDirectoryExW(nullptr, target.substr(0, target.find_last_of(L'\\')).c_str(), nullptr);
        if (!CopyFileW((disc + L"\\" + entry.sourcePath).c_str(), target.c_str(), FALSE)) {
            PrintErrorLine(L"copyloop: cannot copy " + std::wstring(entry.sourcePath) + L" (" +
                           SystemErrorText(GetLastError()) + L")");
            return 1;
        }
    }
    QueryPerformanceCounter(&finish);
    const double seconds = static_cast<double>(finish.QuadPart - begin.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    PrintLine(std::to_wstring(entries.size()) +
              FormatText(L" files in %.3f s: %.0f files/s", seconds,
                         seconds > 0 ? static_cast<double>(entries.size()) / seconds : 0.0));
    return 0;
}
