#include "transfer/folders.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "base/capacity.h"
#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"

namespace {

bool IsFolderFailure(int result) {
    return result == ERROR_PATH_NOT_FOUND || result == ERROR_BAD_PATHNAME || result == ERROR_FILENAME_EXCED_RANGE ||
           result == ERROR_CANCELLED;
}

void ReportFolderFailure(HWND owner, const wchar_t* filePath, DWORD error) {
    LocalMemory systemText;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(systemText.receive()), 0, nullptr);
    std::wstring reason = length != 0 && systemText
                              ? static_cast<const wchar_t*>(systemText.get())
                              : FormatText(L"エラーコード %lu", static_cast<unsigned long>(error));
    ShowErrorBox(owner,
                 FormatText(L"%ls\n\n%ls\n※インストール先のパスを確認して下さい。", filePath, reason.c_str()).c_str());
}

}  // namespace

bool CreateParentFolders(const wchar_t* filePath, HWND owner) {
    wchar_t folder[kPathCapacity];
    if (!CopyText(folder, filePath)) {
        ReportFolderFailure(owner, filePath, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    PathRemoveFileSpecW(folder);
    // No owner window: the shell would otherwise show its own prompts outside the interaction
    // seam; every box of an installation is ours.
    int result = SHCreateDirectoryExW(nullptr, folder, nullptr);
    if (!IsFolderFailure(result)) return true;
    // The shell's result code is coarser than the thread's error (a missing drive answers 3 but
    // leaves 161), and the thread's error is what explains the failure best.
    DWORD error = GetLastError();
    ReportFolderFailure(owner, filePath, error != ERROR_SUCCESS ? error : static_cast<DWORD>(result));
    return false;
}
