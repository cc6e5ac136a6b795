#include "install/progress_state.h"

#include <algorithm>

#include "base/interaction.h"
#include "base/text.h"

void ProgressState::SetStatusText(const wchar_t* text) { SetStatusFileText(nullptr, text); }

void ProgressState::SetStatusFileText(const wchar_t* format, const wchar_t* name) {
    std::lock_guard<std::mutex> guard(statusLock_);
    statusFormat_ = format;
    const size_t length = wcsnlen(name, kStatusCapacity - 1);
    wmemcpy(statusText_, name, length);
    statusText_[length] = L'\0';
}

void ProgressState::GetStatusText(wchar_t* buffer, size_t capacity) const {
    if (capacity == 0) return;
    std::lock_guard<std::mutex> guard(statusLock_);
    if (statusFormat_) {
        FormatTextInto(buffer, std::min(capacity, kStatusCapacity), statusFormat_, statusText_);
        return;
    }
    size_t length = wcsnlen(statusText_, capacity - 1);
    wmemcpy(buffer, statusText_, length);
    buffer[length] = L'\0';
}

std::wstring ProgressState::StatusText() const {
    wchar_t text[kStatusCapacity];
    GetStatusText(text, kStatusCapacity);
    return text;
}

void ProgressState::Reset() {
    sourceBytes = 0;
    totalBytes = 0;
    doneBytes = 0;
    fileBytes = 0;
    fileDoneBytes = 0;
    SetStatusText(L"開始");
}

bool ProgressState::ShouldStop() {
    NotifyCancelPoll();
    if (cancelRequested.load() != 1) return false;
    int answer = ShowMessageBox(progressWindow.load(), L"インストールを中断しますか？", L"確認",
                                MB_OKCANCEL | MB_ICONWARNING);
    cancelRequested = 0;
    return answer == IDOK;
}
