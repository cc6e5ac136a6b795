#include "install/crc_verifier.h"

#include <utility>

#include "base/interaction.h"
#include "base/text.h"

namespace {

const wchar_t kDamagedFileText[] =
    L"\n\nファイルが破損している可能性があります。以下の原因が考えられます。\n\n"
    L"①コピー先ファイルが読み取り専用属性に設定されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n"
    L"③他アプリケーションが影響を与えている。\n④読み取りドライブ、読み取りディスク、書き込み先HDDの異常。\n⑤メモリの不足。\n\n"
    L"以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポート窓口までお問い合わせください。";

constexpr int64_t kCheckAtOnceBytes = 32 * 1024;

}  // namespace

CrcVerifier::CrcVerifier() : thread_([this] { CheckFiles(); }) {}

CrcVerifier::~CrcVerifier() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void CrcVerifier::Start(const FileEntry& entry, FileHandle readBack) {
    if (entry.size <= kCheckAtOnceBytes) {
        const FileCrcCheck outcome = Check(entry, std::move(readBack));
        std::lock_guard<std::mutex> hold(lock_);
        entry_ = &entry;
        outcome_ = outcome;
        checked_ = true;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        entry_ = &entry;
        readBack_ = std::move(readBack);
        checked_ = false;
    }
    changed_.notify_all();
}

FileCrcCheck CrcVerifier::Check(const FileEntry& entry, FileHandle readBack) {
    if (!readBack) return CompareFileCrc32(entry.destinationPath, entry.crcText);
    const FileCrcCheck outcome = CompareCrc32(readBack.get(), entry.crcText);
    // The transfer left the closing to the check: a file that does not close may not hold the
    // bytes that were read back.
    if (!CloseHandle(readBack.release())) return FileCrcCheck::kDifferent;
    return outcome;
}

bool CrcVerifier::Collect(ProgressState& progress) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!entry_) return true;
    changed_.wait(hold, [this] { return checked_; });
    const FileEntry& entry = *entry_;
    const FileCrcCheck outcome = outcome_;
    entry_ = nullptr;
    hold.unlock();
    if (outcome == FileCrcCheck::kMatches) return true;

    progress.SetStatusText(FormatText(L"%ls ファイルのCRC32を確認中", entry.name).c_str());
    if (outcome == FileCrcCheck::kUnopenable) ShowCrcUncheckable(entry.destinationPath, progress.Owner());
    ShowErrorBox(progress.Owner(), FormatText(L"%ls%ls", entry.name, kDamagedFileText).c_str());
    return false;
}

void CrcVerifier::CheckFiles() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return stopping_ || (entry_ && !checked_); });
        if (stopping_) return;
        const FileEntry& entry = *entry_;
        FileHandle readBack = std::move(readBack_);
        hold.unlock();
        const FileCrcCheck outcome = Check(entry, std::move(readBack));
        hold.lock();
        outcome_ = outcome;
        checked_ = true;
        changed_.notify_all();
    }
}
