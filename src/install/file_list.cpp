#include "install/file_list.h"

#include <windows.h>

#include "base/interaction.h"
#include "base/text.h"
#include "install/progress_state.h"
#include "records/settings.h"
#include "records/uninstall_record.h"

std::vector<FileEntry> fileList;

namespace {

void ShowLineError(size_t lineNumber, const wchar_t* line) {
    std::wstring text = FormatText(L"ファイルリストの %d 行目が正しくありません。\n%ls", static_cast<int>(lineNumber),
                                   line);
    ShowErrorBox(progressState.progressWindow.load(), text.c_str());
}

}  // namespace

bool LoadFileList() {
    fileList.clear();
    uninstallList.clear();
    progressState.Reset();

    const HWND owner = progressState.progressWindow.load();
    StdioFile file = OpenFileList();
    if (!file) {
        ShowErrorBox(owner, L"ファイルリストが開けません。");
        return false;
    }

    std::vector<FileEntry> entries;
    std::vector<UninstallItem> items;
    bool wellFormed = ForEachListLine(file.get(), [&](size_t lineNumber, const wchar_t* line, bool overLong) {
        FileEntry entry;
        if (overLong || !ParseFileListLine(line, installSettings.InstallPath, &entry)) {
            ShowLineError(lineNumber, line);
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

    fileList = std::move(entries);
    uninstallList = std::move(items);
    return true;
}
