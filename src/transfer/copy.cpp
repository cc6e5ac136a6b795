#include "transfer/copy.h"

#include <windows.h>
#include <shlwapi.h>
#include <algorithm>
#include <memory>
#include <utility>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"
#include "transfer/read_ahead.h"

namespace {

const wchar_t kSourceUnreadableText[] =
    L"\n\nインストール元ファイルが読み取れません。ファイルが破損している可能性があります。\n以下の原因が考えられます。"
    L"\n\n①読み取りドライブ、読み取りディスクの異常。\n\n以上をご確認頂いても正常に再インストールできない場合は、"
    L"お手数をお掛け致しますが、サポート窓口までお問い合わせください。";
const wchar_t kDestinationUncreatableText[] =
    L"\n\nインストール先ファイルが作成できません。以下の原因が考えられます。\n\n①コピー先ファイルが読み取り専用属性に設定"
    L"されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n③他アプリケーションが影響を与えている。\n④"
    L"書き込み先HDDの異常。\n⑤メモリの不足。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け"
    L"致しますが、サポート窓口までお問い合わせください。";
const wchar_t kReadFailureText[] =
    L"\n\nコピー元ファイルが異常です。ファイルが破損している可能性があります。\n以下の原因が考えられます。\n\n①読み取り"
    L"ドライブ、読み取りディスクの異常。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致し"
    L"ますが、サポート窓口までお問い合わせください。";
const wchar_t kWriteFailureText[] =
    L"\n\nコピー先ファイルが作成できません。以下の原因が考えられます。\n\n①コピー先ファイルが読み取り専用属性に設定"
    L"されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n③他アプリケーションが影響を与えている。\n④"
    L"書き込み先HDDの異常。\n⑤メモリの不足。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け"
    L"致しますが、サポート窓口までお問い合わせください。";

// Files larger than one chunk on a disc (or another drive that is not a fixed disk) are read
// on a thread of their own, up to 1 MiB ahead of the writes, so that the drive never waits for
// the writes. From a fixed disk, whose reads mostly come from the system's cache, reading and
// writing in turn 64 KiB at a time is quicker: the bytes stay in the processor's cache, and no
// thread is started for a small file.
constexpr uint64_t kReadAheadFromBytes = kCopyChunkBytes;
constexpr size_t kAheadPieceBytes = 256 * 1024;
constexpr size_t kPieceBytes = 64 * 1024;

void ReportChunkFailure(HWND owner, const wchar_t* path, const wchar_t* reason, uint64_t stored, uint64_t fileSize) {
    ShowErrorBox(owner, FormatText(L"%ls%ls = %llu/%llu byte", path, reason, static_cast<unsigned long long>(stored),
                                   static_cast<unsigned long long>(fileSize))
                            .c_str());
}

}  // namespace

void ShowCopySourceFault(HWND owner, const wchar_t* sourcePath, uint64_t stored, uint64_t size) {
    ReportChunkFailure(owner, sourcePath, kReadFailureText, stored, size);
}

namespace {

// Both files are opened without sharing restrictions, as the runtime's "rb" and "wb" would,
// but straight through the system: the pieces then cost one system call each and nothing more.
FileHandle OpenSource(const wchar_t* path) {
    return FileHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

FileHandle CreateDestination(const wchar_t* path, DWORD access) {
    return FileHandle(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Opened for reading too when it is to be read back; a folder that lets the file be written but
// not read still gets it, and its check then opens it by name (and reports what it finds).
FileHandle CreateDestination(const wchar_t* path, bool forReadBack, bool* readable) {
    *readable = false;
    if (forReadBack) {
        FileHandle both = CreateDestination(path, GENERIC_READ | GENERIC_WRITE);
        *readable = static_cast<bool>(both);
        if (both) return both;
    }
    return CreateDestination(path, GENERIC_WRITE);
}

size_t WritePiece(HANDLE file, const uint8_t* buffer, size_t bytes) {
    DWORD stored = 0;
    if (!WriteFile(file, buffer, static_cast<DWORD>(bytes), &stored, nullptr)) return 0;
    return stored;
}

// Closes the destination; a failure here means bytes may never have reached the disk.
bool CloseDestination(FileHandle& destination) { return CloseHandle(destination.release()) != FALSE; }

}  // namespace

bool CopyFileChunked(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress,
                     FileHandle* readBack, const OpenedSource* opened) {
    FileHandle source;
    uint64_t fileSize = opened ? opened->size : 0;
    if (!opened) {
        source = OpenSource(sourcePath);
        if (!source) {
            ShowErrorBox(progress.Owner(), FormatText(L"%ls%ls", sourcePath, kSourceUnreadableText).c_str());
            return false;
        }
        // The size of the opened file itself, so that what is read and what is measured are the
        // same file whatever its directory entry says.
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(source.get(), &size) || size.QuadPart < 0) {
            ShowErrorBox(progress.Owner(),
                         FormatText(L"%ls\n\nファイルサイズの取得に失敗しました。\n%lld", sourcePath, 0LL).c_str());
            return false;
        }
        fileSize = static_cast<uint64_t>(size.QuadPart);
    }
    progress.CountSourceBytes(fileSize);

    bool readable = false;
    FileHandle destination = CreateDestination(destinationPath, readBack != nullptr, &readable);
    if (!destination) {
        ShowErrorBox(progress.Owner(), FormatText(L"%ls%ls", destinationPath, kDestinationUncreatableText).c_str());
        return false;
    }

    std::unique_ptr<ReadAhead> ownReader;
    SourcePieces* reader = opened ? opened->pieces : nullptr;
    if (!reader) {
        const bool readAhead = fileSize > kReadAheadFromBytes && !OnFixedDisk(sourcePath);
        ownReader.reset(new ReadAhead(source.get(), fileSize, readAhead, readAhead ? kAheadPieceBytes : kPieceBytes,
                                      ReadAhead::kMostPieces));
        reader = ownReader.get();
    }
    // The piece read last and how much of it is still to be written: a piece may straddle a
    // chunk boundary, and then its rest goes into the next chunk.
    const uint8_t* piece = nullptr;
    size_t pieceLeft = 0;
    uint64_t written = 0;
    while (written < fileSize) {
        if (progress.ShouldStop()) return false;
        const size_t chunkBytes = static_cast<size_t>(std::min<uint64_t>(fileSize - written, kCopyChunkBytes));
        size_t chunkDone = 0;
        while (chunkDone < chunkBytes) {
            if (pieceLeft == 0) {
                pieceLeft = reader->Next(&piece);
                if (pieceLeft == 0) {
                    progress.CountWrittenBytes(chunkDone);
                    ShowCopySourceFault(progress.Owner(), sourcePath, written + chunkDone, fileSize);
                    return false;
                }
            }
            const size_t wanted = std::min(chunkBytes - chunkDone, pieceLeft);
            const size_t stored = WritePiece(destination.get(), piece, wanted);
            chunkDone += stored;
            piece += stored;
            pieceLeft -= stored;
            if (stored != wanted) {
                progress.CountWrittenBytes(chunkDone);
                ReportChunkFailure(progress.Owner(), destinationPath, kWriteFailureText, written + chunkDone, fileSize);
                return false;
            }
        }
        progress.CountWrittenBytes(chunkDone);
        written += chunkDone;
    }
    if (readable) {
        *readBack = std::move(destination);
        return true;
    }
    if (!CloseDestination(destination)) {
        ReportChunkFailure(progress.Owner(), destinationPath, kWriteFailureText, written, fileSize);
        return false;
    }
    return true;
}
