#include "install/worker.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/paths.h"
#include "base/text.h"
#include "install/crc_verifier.h"
#include "install/disc.h"
#include "install/installation.h"
#include "records/shortcuts.h"
#include "records/uninstall_record.h"
#include "transfer/copy.h"
#include "transfer/expand.h"
#include "transfer/folders.h"

namespace {

constexpr uint16_t kNoDisc = 65535;
constexpr uint64_t kBytesPerUnit = 1000000;

// Shown when a file on the disk does not hold the size its list line gives: the source was cut
// short or damaged in a way its own reading could not tell (a damaged later stream of a ".bz2"
// file reads as trailing bytes, as with the bzip2 tool).
const wchar_t kSourceDamagedText[] = L"「%ls」\n\n%ls元ファイルが破損しています。";

void SetStatus(ProgressState& progress, const std::wstring& text) { progress.SetStatusText(text.c_str()); }

// The folder whose volume holds the destination: the drive root for "C:\...", the share root
// for "\\server\share\..." and "\\?\X:\" for a device path. Empty when the text names none.
std::wstring VolumeQueryPath(const wchar_t* destinationFolder) {
    const std::wstring folder = destinationFolder;
    PathRoot root = ParsePathRoot(folder);
    if (root.kind == RootKind::kNone) return {};
    std::wstring volume = folder.substr(0, root.length);
    if (IsPathSeparator(volume.back())) volume.pop_back();
    return volume + L"\\";
}

bool IsCompressedSource(const wchar_t* sourcePath) { return wcscmp(PathFindExtensionW(sourcePath), L".bz2") == 0; }

// The transfers count every byte they write, so the count is the size of the file they made.
bool HasListedSize(const FileEntry& entry, const ProgressState& progress) {
    return entry.size >= 0 && progress.fileDoneBytes.load() == static_cast<uint64_t>(entry.size);
}

// Expands or copies the entry's source and checks the result's size, whether or not the files are
// verified afterwards. False after the failure was shown.
// readBack, when given, receives the destination left open for its check.
bool TransferEntry(const FileEntry& entry, const std::wstring& sourcePath, ProgressState& progress,
                   FileHandle* readBack) {
    const bool compressed = IsCompressedSource(sourcePath.c_str());
    const wchar_t* failedStatus = compressed ? L"%ls ファイルの解凍に失敗" : L"%ls ファイルのコピーに失敗";
    bool transferred = false;
    if (compressed) {
        progress.SetStatusFileText(L"%ls ファイルの解凍中です。", entry.name);
        transferred = ExpandBz2File(sourcePath.c_str(), entry.destinationPath, progress);
    } else {
        transferred = CopyFileChunked(sourcePath.c_str(), entry.destinationPath, progress, readBack);
    }
    if (transferred && !HasListedSize(entry, progress)) {
        ShowErrorBox(progress.Owner(),
                     FormatText(kSourceDamagedText, sourcePath.c_str(), compressed ? L"解凍" : L"コピー").c_str());
        transferred = false;
    }
    if (!transferred) SetStatus(progress, FormatText(failedStatus, entry.name));
    return transferred;
}

// What one pass over the list carries from file to file.
struct ListPass {
    uint16_t disc = kNoDisc;                // the disc the last file came from
    std::wstring folder;                    // the destination folder made or found last
    std::unique_ptr<CrcVerifier> verifier;  // with verification on
};

// The folder part of a destination path, without its final backslash.
std::wstring ParentFolderOf(const wchar_t* path) {
    const wchar_t* name = PathFindFileNameW(path);
    return std::wstring(path, static_cast<size_t>(name - path));
}

// Creates the destination's folders unless the file before went into the same folder.
bool MakeDestinationFolder(ListPass& pass, const FileEntry& entry, ProgressState& progress) {
    std::wstring folder = ParentFolderOf(entry.destinationPath);
    if (!pass.folder.empty() && folder == pass.folder) return true;
    pass.folder.clear();
    if (!CreateParentFolders(entry.destinationPath, progress.Owner())) {
        SetStatus(progress, FormatText(L"%ls ディレクトリの作成に失敗", entry.destinationPath));
        return false;
    }
    pass.folder = folder;
    return true;
}

// One listed file: disc, folders, transfer and the start of its check, which runs while the next
// file is transferred. False ends the installation.
bool InstallEntry(Installation& installation, const FileEntry& entry, ListPass& pass) {
    ProgressState& progress = installation.progress;
    wchar_t(&sourceFolder)[kPathCapacity] = installation.settings.SourceFolder;
    if (entry.disc != pass.disc) {
        // A damaged file is reported before the player is asked for another disc.
        if (pass.verifier && !pass.verifier->Collect(progress)) return false;
        if (!LocateDisc(entry.disc, progress.Owner(), sourceFolder)) return false;
    }

    // The source folder may have just been replaced by the disc search.
    std::wstring sourcePath = FormatText(L"%ls\\%ls", sourceFolder, entry.sourcePath);
    if (!MakeDestinationFolder(pass, entry, progress)) return false;

    progress.SetStatusFileText(L"%ls ファイルをコピー中", entry.name);
    progress.fileBytes = static_cast<uint64_t>(entry.size);
    progress.fileDoneBytes = 0;

    FileHandle readBack;
    if (!TransferEntry(entry, sourcePath, progress, pass.verifier ? &readBack : nullptr)) return false;

    if (pass.verifier) {
        if (!pass.verifier->Collect(progress)) return false;  // the file before this one
        pass.verifier->Start(entry, std::move(readBack));
    }
    pass.disc = entry.disc;
    return true;
}

}  // namespace

bool HasEnoughFreeSpace(const wchar_t* destinationFolder, uint64_t totalBytes) {
    std::wstring volume = VolumeQueryPath(destinationFolder);
    ULARGE_INTEGER available{}, total{}, free{};
    // A volume that cannot be asked is no reason to refuse the installation.
    if (volume.empty() || !GetDiskFreeSpaceExW(volume.c_str(), &available, &total, &free)) return true;
    uint64_t needed = totalBytes / kBytesPerUnit;
    uint64_t freeUnits = free.QuadPart / kBytesPerUnit;
    return freeUnits > needed;
}

DWORD WINAPI InstallWorker(LPVOID parameter) {
    Installation& installation = *static_cast<Installation*>(parameter);
    ProgressState& progress = installation.progress;
    const wchar_t* installPath = installation.settings.InstallPath;

    SetStatus(progress, L"インストールするファイルのサイズを検査中");
    uint64_t totalBytes = 0;
    for (const FileEntry& entry : installation.files) totalBytes += static_cast<uint64_t>(entry.size);
    progress.totalBytes = totalBytes;

    SetStatus(progress, L"インストール先HDDの空き容量を検査中");
    if (!HasEnoughFreeSpace(installPath, totalBytes)) {
        std::wstring text = FormatText(
            L"インストール先の空き容量が足りません。\n\n正常にインストールするには %lld "
            L"MB以上の空き領域が必要です。",
            static_cast<long long>(totalBytes / kBytesPerUnit));
        ShowErrorBox(progress.Owner(), text.c_str());
        return 0;
    }

    ListPass pass;
    if (installation.settings.VerifyFiles == 1) pass.verifier = std::make_unique<CrcVerifier>();
    for (const FileEntry& entry : installation.files) {
        if (!InstallEntry(installation, entry, pass)) return 0;
    }
    if (pass.verifier && !pass.verifier->Collect(progress)) return 0;

    SetStatus(progress, L"ショートカットの作成中");
    CreateShortcuts(installation.settings, progress.Owner());

    SetStatus(progress, L"アンインストールデータの作成中");
    // With an empty list no file has made the game folder yet, and the record needs it; when it
    // cannot be made, the record writer reports that itself.
    SHCreateDirectoryExW(nullptr, installPath, nullptr);
    WriteUninstallRecord(installPath, &installation.uninstallItems, progress.Owner());

    SetStatus(progress, L"完了");
    return 1;
}
