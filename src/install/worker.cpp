#include "install/worker.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

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

namespace {

constexpr uint16_t kNoDisc = 65535;
constexpr uint64_t kBytesPerUnit = 1000000;

const wchar_t kDamagedFileText[] =
    L"\n\nファイルが破損している可能性があります。以下の原因が考えられます。\n\n"
    L"①コピー先ファイルが読み取り専用属性に設定されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n"
    L"③他アプリケーションが影響を与えている。\n④読み取りドライブ、読み取りディスク、書き込み先HDDの異常。\n⑤メモリの不足。\n\n"
    L"以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポート窓口までお問い合わせください。";

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

bool HasListedSize(const FileEntry& entry) {
    WIN32_FILE_ATTRIBUTE_DATA written;
    if (!GetFileAttributesExW(entry.destinationPath, GetFileExInfoStandard, &written)) return false;
    const uint64_t size = (static_cast<uint64_t>(written.nFileSizeHigh) << 32) | written.nFileSizeLow;
    return entry.size >= 0 && size == static_cast<uint64_t>(entry.size);
}

// Expands or copies the entry's source and checks the result's size, whether or not the files are
// verified afterwards. False after the failure was shown.
bool TransferEntry(const FileEntry& entry, const std::wstring& sourcePath, ProgressState& progress) {
    const bool compressed = IsCompressedSource(sourcePath.c_str());
    const wchar_t* failedStatus = compressed ? L"%ls ファイルの解凍に失敗" : L"%ls ファイルのコピーに失敗";
    bool transferred = false;
    if (compressed) {
        SetStatus(progress, FormatText(L"%ls ファイルの解凍中です。", entry.name));
        transferred = ExpandBz2File(sourcePath.c_str(), entry.destinationPath, progress);
    } else {
        transferred = CopyFileChunked(sourcePath.c_str(), entry.destinationPath, progress);
    }
    if (transferred && !HasListedSize(entry)) {
        ShowErrorBox(progress.Owner(),
                     FormatText(kSourceDamagedText, sourcePath.c_str(), compressed ? L"解凍" : L"コピー").c_str());
        transferred = false;
    }
    if (!transferred) SetStatus(progress, FormatText(failedStatus, entry.name));
    return transferred;
}

// One listed file: disc, folders, transfer and the optional check. False ends the installation.
bool InstallEntry(Installation& installation, const FileEntry& entry, uint16_t* previousDisc) {
    ProgressState& progress = installation.progress;
    wchar_t(&sourceFolder)[kPathCapacity] = installation.settings.SourceFolder;
    if (entry.disc != *previousDisc && !LocateDisc(entry.disc, progress.Owner(), sourceFolder)) return false;

    // The source folder may have just been replaced by the disc search.
    std::wstring sourcePath = FormatText(L"%ls\\%ls", sourceFolder, entry.sourcePath);

    if (!CreateParentFolders(entry.destinationPath, progress.Owner())) {
        SetStatus(progress, FormatText(L"%ls ディレクトリの作成に失敗", entry.destinationPath));
        return false;
    }

    SetStatus(progress, FormatText(L"%ls ファイルをコピー中", entry.name));
    progress.fileBytes = static_cast<uint64_t>(entry.size);
    progress.fileDoneBytes = 0;

    if (!TransferEntry(entry, sourcePath, progress)) return false;

    if (installation.settings.VerifyFiles == 1) {
        SetStatus(progress, FormatText(L"%ls ファイルのCRC32を確認中", entry.name));
        if (!CheckFileCrc32(entry.destinationPath, entry.crcText, progress.Owner())) {
            ShowErrorBox(progress.Owner(), FormatText(L"%ls%ls", entry.name, kDamagedFileText).c_str());
            return false;
        }
    }

    *previousDisc = entry.disc;
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

    uint16_t previousDisc = kNoDisc;
    for (const FileEntry& entry : installation.files) {
        if (!InstallEntry(installation, entry, &previousDisc)) return 0;
    }

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
