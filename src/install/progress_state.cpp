#include "install/progress_state.h"

#include "base/interaction.h"

void ProgressState::SetStatusText(const wchar_t* text) {
    std::lock_guard<std::mutex> guard(statusLock_);
    size_t length = wcsnlen(text, kStatusCapacity - 1);
    wmemcpy(statusText_, text, length);
    statusText_[length] = L'\0';
}

void ProgressState::GetStatusText(wchar_t* buffer, size_t capacity) const {
    if (capacity == 0) return;
    std::lock_guard<std::mutex> guard(statusLock_);
    size_t length = wcsnlen(statusText_, capacity - 1);
    wmemcpy(buffer, statusText_, length);
    buffer[length] = L'\0';
}

std::wstring ProgressState::StatusText() const {
    std::lock_guard<std::mutex> guard(statusLock_);
    return statusText_;
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
