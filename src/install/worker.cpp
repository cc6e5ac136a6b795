#include "install/worker.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/paths.h"
#include "base/text.h"
#include "install/disc.h"
#include "install/installation.h"
#include "records/shortcuts.h"
#include "records/uninstall_record.h"
#include "transfer/copy.h"
#include "transfer/crc32.h"
#include "transfer/expand.h"
#include "transfer/folders.h"
#include "transfer/source_queue.h"

namespace {

constexpr uint16_t kNoDisc = 65535;
constexpr uint64_t kBytesPerUnit = 1000000;
// How far the sources on a disc are read ahead of the file being installed: enough for the
// drive to go on reading through an expansion or a check of some seconds.
constexpr size_t kSourcesAheadBytes = 32 * 1024 * 1024;

const wchar_t kDamagedFileText[] =
    L"\n\nファイルが破損している可能性があります。以下の原因が考えられます。\n\n"
    L"①コピー先ファイルが読み取り専用属性に設定されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n"
    L"③他アプリケーションが影響を与えている。\n④読み取りドライブ、読み取りディスク、書き込み先HDDの異常。\n⑤メモリの不足。\n\n"
    L"以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポート窓口までお問い合わせください。";

// Shown when an expanded file does not hold the size its list line gives: the source was
// damaged in a way its own reading could not tell (a damaged later stream of a ".bz2" file reads
// as trailing bytes, as with the bzip2 tool).
const wchar_t kExpansionSourceDamagedText[] = L"「%ls」\n\n解凍元ファイルが破損しています。";

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

// A file of another size than its list line says stops the installation, whether or not the files
// are checked: a copy's source ended early or ran long, an expansion's source was damaged.
void ShowWrongSize(const FileEntry& entry, const std::wstring& sourcePath, bool compressed, ProgressState& progress) {
    if (compressed) {
        ShowErrorBox(progress.Owner(), FormatText(kExpansionSourceDamagedText, sourcePath.c_str()).c_str());
        return;
    }
    ShowCopySourceFault(progress.Owner(), sourcePath.c_str(), progress.fileDoneBytes.load(),
                        static_cast<uint64_t>(entry.size));
}

// Expands or copies the entry's source and checks the result's size. False after the failure was
// shown. readBack, when given, receives the copy's destination left open for its check.
bool TransferEntry(const FileEntry& entry, const std::wstring& sourcePath, ProgressState& progress,
                   FileHandle* readBack, const OpenedSource* opened) {
    const bool compressed = IsCompressedSource(sourcePath.c_str());
    const wchar_t* failedStatus = compressed ? L"%ls ファイルの解凍に失敗" : L"%ls ファイルのコピーに失敗";
    bool transferred = false;
    if (compressed) {
        progress.SetStatusFileText(L"%ls ファイルの解凍中です。", entry.name);
        transferred = ExpandBz2File(sourcePath.c_str(), entry.destinationPath, progress, opened);
    } else {
        transferred = CopyFileChunked(sourcePath.c_str(), entry.destinationPath, progress, readBack, opened);
    }
    if (transferred && !HasListedSize(entry, progress)) {
        ShowWrongSize(entry, sourcePath, compressed, progress);
        transferred = false;
    }
    if (!transferred) SetStatus(progress, FormatText(failedStatus, entry.name));
    return transferred;
}

// The installed file's CRC-32 against its list line, read back through the copy's own handle
// when the copy left it open (and closed here), else by its path. False after the failure was
// shown: a file that does not open gets its own box before the damaged-file box.
bool VerifyEntry(const FileEntry& entry, FileHandle readBack, ProgressState& progress) {
    progress.SetStatusFileText(L"%ls ファイルのCRC32を確認中", entry.name);
    FileCrcCheck outcome = FileCrcCheck::kDifferent;
    if (readBack) {
        outcome = CompareCrc32(readBack.get(), entry.crcText);
        // A file that does not close may not hold the bytes that were read back.
        if (!CloseHandle(readBack.release())) outcome = FileCrcCheck::kDifferent;
    } else {
        outcome = CompareFileCrc32(entry.destinationPath, entry.crcText);
    }
    if (outcome == FileCrcCheck::kMatches) return true;
    if (outcome == FileCrcCheck::kUnopenable) ShowCrcUncheckable(entry.destinationPath, progress.Owner());
    ShowErrorBox(progress.Owner(), FormatText(L"%ls%ls", entry.name, kDamagedFileText).c_str());
    return false;
}

// What one pass over the list carries from file to file.
struct ListPass {
    uint16_t disc = kNoDisc;  // the disc the last file came from
    std::wstring folder;      // the destination folder made or found last
    bool verify = false;
    std::unique_ptr<SourceQueue> sources;  // reading ahead on the disc in the drive
    size_t sourcesFrom = 0;                // the list index of the queue's first file
};

std::wstring SourcePathOf(const wchar_t* sourceFolder, const FileEntry& entry) {
    return FormatText(L"%ls\\%ls", sourceFolder, entry.sourcePath);
}

// From a disc in a drive (not a fixed disk, whose reads come from the system's cache), the
// sources of the file at first and of those after it on the same disc are read ahead in list
// order while each file is installed.
void StartReadingAhead(const Installation& installation, size_t first, ListPass& pass) {
    const wchar_t* sourceFolder = installation.settings.SourceFolder;
    if (OnFixedDisk(sourceFolder)) return;
    const std::vector<FileEntry>& files = installation.files;
    std::vector<std::wstring> paths;
    for (size_t i = first; i < files.size() && files[i].disc == files[first].disc; ++i) {
        paths.push_back(SourcePathOf(sourceFolder, files[i]));
    }
    pass.sources.reset(new SourceQueue(std::move(paths), kSourcesAheadBytes));
    pass.sourcesFrom = first;
}

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

// One listed file: disc, folders, transfer and, with verification on, its check, all before the
// next file is touched. False ends the installation.
bool InstallEntry(Installation& installation, size_t index, ListPass& pass) {
    const FileEntry& entry = installation.files[index];
    ProgressState& progress = installation.progress;
    wchar_t(&sourceFolder)[kPathCapacity] = installation.settings.SourceFolder;
    if (entry.disc != pass.disc) {
        // Nothing is read from a disc before it has been found to be the right one.
        pass.sources.reset();
        if (!LocateDisc(entry.disc, progress.Owner(), sourceFolder)) return false;
        StartReadingAhead(installation, index, pass);
    }

    // The source folder may have just been replaced by the disc search.
    std::wstring sourcePath = SourcePathOf(sourceFolder, entry);
    if (!MakeDestinationFolder(pass, entry, progress)) return false;

    progress.SetStatusFileText(L"%ls ファイルをコピー中", entry.name);
    progress.fileBytes = static_cast<uint64_t>(entry.size);
    progress.fileDoneBytes = 0;

    OpenedSource opened;
    const bool readAhead = pass.sources && pass.sources->Take(index - pass.sourcesFrom, &opened);
    FileHandle readBack;
    if (!TransferEntry(entry, sourcePath, progress, pass.verify ? &readBack : nullptr, readAhead ? &opened : nullptr)) {
        return false;
    }
    if (pass.verify && !VerifyEntry(entry, std::move(readBack), progress)) return false;
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
    pass.verify = installation.settings.VerifyFiles == 1;
    for (size_t index = 0; index < installation.files.size(); ++index) {
        if (!InstallEntry(installation, index, pass)) return 0;
    }
    pass.sources.reset();

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
