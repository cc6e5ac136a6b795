#include "transfer/copy.h"

#include <windows.h>
#include <io.h>
#include <share.h>

#include <cstdio>
#include <memory>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"
#include "install/progress_state.h"
#include "transfer/folders.h"

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

// Bytes kept in the C runtime's own buffer of the destination. The chunks are larger than
// this, so the runtime writes them straight through; the buffer only serves the last bytes.
constexpr size_t kStreamBufferBytes = 64 * 1024;

void ReportChunkFailure(const wchar_t* path, const wchar_t* reason, uint64_t fileSize) {
    ShowInstallError(FormatText(L"%ls%ls = %llu/%llu byte", path, reason,
                                static_cast<unsigned long long>(progressState.fileDoneBytes.load()),
                                static_cast<unsigned long long>(fileSize))
                         .c_str());
}

// The size of the opened stream itself, so that what is read and what is measured are the
// same file whatever its directory entry says.
bool GetStreamSize(FILE* file, uint64_t* size) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    LARGE_INTEGER value{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &value) || value.QuadPart < 0) return false;
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

// Flushes and closes the destination; a failure here means bytes never reached the disk.
bool CloseDestination(StdioFile& destination) {
    FILE* file = destination.release();
    bool flushed = fflush(file) == 0;
    bool closed = fclose(file) == 0;
    return flushed && closed;
}

}  // namespace

bool ConfirmCancel() {
    if (progressState.cancelRequested.load() != 1) return false;
    int answer = ShowMessageBox(progressState.progressWindow.load(), L"インストールを中断しますか？", L"確認",
                                MB_OKCANCEL | MB_ICONWARNING);
    progressState.cancelRequested = 0;
    return answer == IDOK;
}

bool CopyFileChunked(const wchar_t* sourcePath, const wchar_t* destinationPath) {
    StdioFile source(_wfsopen(sourcePath, L"rb", _SH_DENYNO));
    if (!source) {
        ShowInstallError(FormatText(L"%ls%ls", sourcePath, kSourceUnreadableText).c_str());
        return false;
    }
    // The chunks go straight from the runtime's read to our buffer.
    setvbuf(source.get(), nullptr, _IONBF, 0);

    uint64_t fileSize = 0;
    if (!GetStreamSize(source.get(), &fileSize)) {
        ShowInstallError(FormatText(L"%ls\n\nファイルサイズの取得に失敗しました。\n%lld", sourcePath, 0LL).c_str());
        return false;
    }
    progressState.sourceBytes += fileSize;

    StdioFile destination(_wfsopen(destinationPath, L"wb", _SH_DENYNO));
    if (!destination) {
        ShowInstallError(FormatText(L"%ls%ls", destinationPath, kDestinationUncreatableText).c_str());
        return false;
    }
    setvbuf(destination.get(), nullptr, _IOFBF, kStreamBufferBytes);

    if (fileSize == 0) {
        if (!CloseDestination(destination)) {
            ReportChunkFailure(destinationPath, kWriteFailureText, fileSize);
            return false;
        }
        return true;
    }

    const size_t bufferBytes = static_cast<size_t>(std::min<uint64_t>(fileSize, kCopyChunkBytes));
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferBytes]);
    uint64_t written = 0;
    while (written < fileSize) {
        if (ConfirmCancel()) return false;
        // Never past the size measured at the start: a file that grows meanwhile still ends up
        // exactly that long.
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(fileSize - written, bufferBytes));
        size_t got = fread(buffer.get(), 1, wanted, source.get());
        if (got == 0) {
            ReportChunkFailure(sourcePath, kReadFailureText, fileSize);
            return false;
        }
        size_t stored = fwrite(buffer.get(), 1, got, destination.get());
        progressState.doneBytes += stored;
        progressState.fileDoneBytes += stored;
        written += stored;
        if (stored != got) {
            ReportChunkFailure(destinationPath, kWriteFailureText, fileSize);
            return false;
        }
    }
    if (!CloseDestination(destination)) {
        ReportChunkFailure(destinationPath, kWriteFailureText, fileSize);
        return false;
    }
    return true;
}
