// The progress record of an installation, shared by the install worker, the transfer operations
// (as their progress sink) and the progress dialog. Counters and the cancel flag are atomics; the
// status text is guarded so a reader always sees a whole text.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/progress_sink.h"

constexpr size_t kStatusCapacity = 1024;

struct ProgressState final : ProgressSink {
    std::atomic<uint64_t> sourceBytes{0};
    std::atomic<uint64_t> totalBytes{0};
    std::atomic<uint64_t> doneBytes{0};
    std::atomic<uint64_t> fileBytes{0};
    std::atomic<uint64_t> fileDoneBytes{0};
    std::atomic<int> cancelRequested{0};
    std::atomic<HANDLE> workerThread{nullptr};
    std::atomic<HWND> progressWindow{nullptr};

    // Replaces the whole status text (cut at 1023 characters).
    void SetStatusText(const wchar_t* text);
    // The status format (a literal with one %ls) filled in with name when the text is read: a
    // status per file costs a copy of the name, however many files go by between two looks.
    void SetStatusFileText(const wchar_t* format, const wchar_t* name);
    // Copies the current status text into buffer (always terminated).
    void GetStatusText(wchar_t* buffer, size_t capacity) const;
    std::wstring StatusText() const;
    // Counters to 0 and the status to "開始"; the cancel flag and the handles stay.
    void Reset();

    void CountSourceBytes(uint64_t bytes) override { sourceBytes += bytes; }
    void CountWrittenBytes(uint64_t bytes) override {
        doneBytes += bytes;
        fileDoneBytes += bytes;
    }
    // Asks "インストールを中断しますか？" when a cancel is pending and clears the flag; true when
    // the person confirmed the abort.
    bool ShouldStop() override;
    HWND Owner() const override { return progressWindow.load(); }

private:
    mutable std::mutex statusLock_;
    wchar_t statusText_[kStatusCapacity] = L"";  // the text, or the name for statusFormat_
    const wchar_t* statusFormat_ = nullptr;
};
