#include "startup/entry.h"

#include <shellapi.h>

#include <clocale>
#include <cwchar>
#include <iterator>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/module.h"
#include "base/text.h"
#include "frontend/main_dialog.h"
#include "records/settings.h"
#include "resources/resource_ids.h"
#include "startup/private_folder.h"
#include "startup/working_instance.h"

namespace {

bool SameSize(const std::wstring& first, const std::wstring& second) {
    WIN32_FILE_ATTRIBUTE_DATA one{}, other{};
    return GetFileAttributesExW(first.c_str(), GetFileExInfoStandard, &one) &&
           GetFileAttributesExW(second.c_str(), GetFileExInfoStandard, &other) &&
           one.nFileSizeHigh == other.nFileSizeHigh && one.nFileSizeLow == other.nFileSizeLow;
}

const wchar_t kStagingFailed[] =
    L"インストールに失敗しました。\nTempフォルダへインストーラをコピーすることができませんでした。";
const wchar_t kWorkingSwitch[] = L"/lunch:";
constexpr size_t kWorkingSwitchLength = 7;

// Staged in this order, the program itself first.
const wchar_t* const kStagedFiles[] = {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"};
constexpr size_t kStagedFileCount = std::size(kStagedFiles);

// True when a working instance already runs in this session, which is then brought to the
// front. Shows nothing: the player sees the installer that runs.
bool DeferToWorkingInstance() {
    DWORD running = 0;
    if (!FindWorkingInstance(&running)) return false;
    BringProcessToFront(running);
    return true;
}

int RunAsTheWorkingInstance(HINSTANCE instance, const wchar_t* sourceFolder, InstallSettings* settings) {
    ObjectHandle claim;
    if (!ClaimWorkingInstance(&claim)) {  // two stagings raced: the other one's copy won
        DeferToWorkingInstance();
        return 1;
    }
    if (!CopyText(settings->SourceFolder, sourceFolder)) {
        ShowErrorBox(nullptr, L"インストール元フォルダのパスが長すぎます。");
        return 1;
    }
    MainDialogState dialog(*settings);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, reinterpret_cast<LPARAM>(&dialog));
    return 0;
}

// The private folder this instance was staged into is held while it runs, so that no later start
// takes it for abandoned; a running program cannot delete its own file, so the folder goes at the
// next restart (or at a later start). A working instance started from anywhere else leaves its
// folder alone.
int RunWorkingMode(HINSTANCE instance, const wchar_t* sourceFolder, InstallSettings* settings) {
    const std::wstring folder = GetModuleFolder();
    const bool staged = IsPrivateFolder(folder, StagingFolder());
    FileHandle held = staged ? HoldPrivateFolder(folder) : FileHandle();
    int result = RunAsTheWorkingInstance(instance, sourceFolder, settings);
    if (staged) RemovePrivateFolderAtRestart(folder, kStagedFiles, kStagedFileCount);
    return result;
}

// Removes the folder of a staging that does not lead to a working instance; nothing would remove
// it later, and a later staging never reuses a folder.
void AbandonPrivateFolder(const std::wstring& folder, FileHandle* held, size_t stagedCount) {
    held->reset();
    RemovePrivateFolder(folder, kStagedFiles, stagedCount);
}

// A new private folder in the staging folder, on a volume that keeps its access list.
bool PreparePrivateFolder(std::wstring* folder, FileHandle* held) {
    const std::wstring stagingFolder = StagingFolder();
    RemoveAbandonedPrivateFolders(stagingFolder, kStagedFiles, kStagedFileCount);
    if (!CreatePrivateFolder(stagingFolder, folder, held)) return false;
    if (KeepsAccessLists(*folder)) return true;
    AbandonPrivateFolder(*folder, held, 0);
    return false;
}

int StageAndRelaunch() {
    if (DeferToWorkingInstance()) return 1;
    std::wstring folder;
    // Held until the copy has started: from then on its running program file keeps the folder
    // from being renamed.
    FileHandle held;
    if (!PreparePrivateFolder(&folder, &held)) {
        ShowErrorBox(nullptr, kStagingFailed);
        return 1;
    }
    for (size_t staged = 0; staged < kStagedFileCount; ++staged) {
        if (!CopyToTempFolder(folder, kStagedFiles[staged])) {
            AbandonPrivateFolder(folder, &held, staged);
            ShowErrorBox(nullptr, kStagingFailed);
            return 1;
        }
    }
    std::wstring program = folder + L"\\installer.exe";
    std::wstring parameters = kWorkingSwitch + GetModuleFolder();
    HINSTANCE started = ShellExecuteW(nullptr, L"open", program.c_str(), parameters.c_str(), folder.c_str(),
                                      SW_SHOWNORMAL);
    // A failed start is not reported (the exit code stays 0).
    if (reinterpret_cast<INT_PTR>(started) <= 32) AbandonPrivateFolder(folder, &held, kStagedFileCount);
    return 0;
}

}  // namespace

void HardenDllSearch() {
    // Looked up at run time: Vista without its update has no such export, and the program
    // must still start there.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel) {
        auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
        if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // Takes the current folder out of the search as well: the folder the program is started in
    // may hold anyone's DLL.
    SetDllDirectoryW(L"");
}

bool CopyToTempFolder(const std::wstring& folder, const wchar_t* fileName) {
    std::wstring source = FormatText(L"%ls\\%ls", GetModuleFolder().c_str(), fileName);
    std::wstring target = FormatText(L"%ls\\%ls", folder.c_str(), fileName);
    // Never over an existing file: whatever lies there was not put there by this staging. Some
    // systems' CopyFileW (Wine's) end a copy at an unreadable sector as at the end of the file
    // and report success: a copy shorter than its source failed too.
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE) || !SameSize(source, target)) {
        std::wstring text = FormatText(
            L"コピーできませんでした。\n次のコピー先ファイルが起動中か読み取り専用になっている可能性があります。\n%ls",
            target.c_str());
        ShowErrorBox(nullptr, text.c_str());
        return false;
    }
    if (!SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL)) {
        std::wstring text = FormatText(L"コピー先のファイル属性を変更できませんでした。\n%ls", target.c_str());
        ShowErrorBox(nullptr, text.c_str());
    }
    return true;
}

int RunInstaller(HINSTANCE instance, const wchar_t* arguments, InstallSettings* settings) {
    _wsetlocale(LC_ALL, L"Japanese_Japan.932");
    instanceHandle = instance;
    if (!arguments) arguments = L"";

    if (wcscmp(arguments, L"/luninst1") == 0) {
        ShowErrorBox(nullptr, L"インストーラとアンインストーラの取り違いです。");
        return 0;
    }
    if (wcscmp(arguments, L"/luninst2") == 0) {
        ShowErrorBox(nullptr, L"インストーラとアンインストーラの取り違いです。");
        return 1;
    }
    if (wcsncmp(arguments, kWorkingSwitch, kWorkingSwitchLength) == 0)
        return RunWorkingMode(instance, arguments + kWorkingSwitchLength, settings);
    return StageAndRelaunch();
}
