#include "install/progress_state.h"

#include "base/text.h"

ProgressState progressState;

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

void ResetProgressState() {
    progressState.sourceBytes = 0;
    progressState.totalBytes = 0;
    progressState.doneBytes = 0;
    progressState.fileBytes = 0;
    progressState.fileDoneBytes = 0;
    progressState.SetStatusText(L"開始");
}
