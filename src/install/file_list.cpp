#include "install/file_list.h"

#include <windows.h>

#include "base/interaction.h"
#include "base/text.h"

namespace {

void ShowLineError(HWND owner, size_t lineNumber, const wchar_t* line) {
    std::wstring text = FormatText(L"ファイルリストの %d 行目が正しくありません。\n%ls", static_cast<int>(lineNumber),
                                   line);
    ShowErrorBox(owner, text.c_str());
}

}  // namespace

bool LoadFileList(Installation* installation) {
    installation->files.clear();
    installation->uninstallItems.clear();
    installation->progress.Reset();

    const HWND owner = installation->progress.Owner();
    const wchar_t* installPath = installation->settings.InstallPath;
    StdioFile file = OpenFileList();
    if (!file) {
        ShowErrorBox(owner, L"ファイルリストが開けません。");
        return false;
    }

    std::vector<FileEntry> entries;
    std::vector<UninstallItem> items;
    bool wellFormed = ForEachListLine(file.get(), [&](size_t lineNumber, const wchar_t* line, bool overLong) {
        FileEntry entry;
        if (overLong || !ParseFileListLine(line, installPath, &entry)) {
            ShowLineError(owner, lineNumber, line);
            return false;
        }
        UninstallItem item{};
        item.kind = 0;
        CopyText(item.path, entry.destinationPath);
        entries.push_back(entry);
        items.push_back(item);
        return true;
    });
    if (!wellFormed) return false;
    if (ferror(file.get())) {
        ShowErrorBox(owner, L"ファイルリストが開けません。");
        return false;
    }

    installation->files = std::move(entries);
    installation->uninstallItems = std::move(items);
    return true;
}
