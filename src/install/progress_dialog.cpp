#include "install/progress_dialog.h"

#include <commctrl.h>

#include <climits>
#include <cstdint>

#include "base/interaction.h"
#include "base/text.h"
#include "install/file_list.h"
#include "install/worker.h"
#include "resources/resource_ids.h"

namespace {

constexpr UINT kRefreshMilliseconds = 10;
constexpr int kBarMaximum = 100;

// floor(10 * fraction / total) for a fraction below total, and what remains of it, without a
// product that could overflow: ten additions, each kept below total.
uint64_t NextDecimalDigit(uint64_t* fraction, uint64_t total) {
    uint64_t digit = 0, remainder = 0;
    for (int i = 0; i < 10; ++i) {
        if (remainder >= total - *fraction) {
            remainder -= total - *fraction;
            ++digit;
        } else {
            remainder += *fraction;
        }
    }
    *fraction = remainder;
    return digit;
}

void ShowPercentage(HWND dialog, int barId, int textId, int percent) {
    // The text tells the truth; the bar simply stops at its end.
    int position = percent > kBarMaximum ? kBarMaximum : percent;
    SendDlgItemMessageW(dialog, barId, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    wchar_t text[32];
    wsprintfW(text, L"%d %%", percent);
    SetDlgItemTextW(dialog, textId, text);
}

void RefreshDisplay(HWND dialog, const ProgressState& progress) {
    ShowPercentage(dialog, IDC_OVERALL_BAR, IDC_OVERALL_PERCENT,
                   ProgressPercentage(progress.doneBytes.load(), progress.totalBytes.load()));
    ShowPercentage(dialog, IDC_FILE_BAR, IDC_FILE_PERCENT,
                   ProgressPercentage(progress.fileDoneBytes.load(), progress.fileBytes.load()));

    static const wchar_t kPrefix[] = L"現在の状態：";
    wchar_t line[(sizeof kPrefix / sizeof kPrefix[0]) + kStatusCapacity];
    CopyText(line, kPrefix);
    size_t prefixLength = wcslen(line);
    progress.GetStatusText(line + prefixLength, kStatusCapacity);
    SetDlgItemTextW(dialog, IDC_STATUS, line);
}

void OnInitDialog(HWND dialog, Installation& installation) {
    if (!LoadFileList(&installation)) {
        EndDialog(dialog, 0);
        return;
    }
    SendDlgItemMessageW(dialog, IDC_OVERALL_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, kBarMaximum));
    SendDlgItemMessageW(dialog, IDC_OVERALL_BAR, PBM_SETPOS, 0, 0);

    HANDLE worker = CreateThread(nullptr, 0, InstallWorker, &installation, 0, nullptr);
    // A handle left by an earlier dialog belongs to a worker that has ended (see OnTimer).
    HANDLE earlier = installation.progress.workerThread.exchange(worker);
    if (earlier) CloseHandle(earlier);
    SetTimer(dialog, IDT_PROGRESS, kRefreshMilliseconds, nullptr);
}

void OnTimer(HWND dialog, ProgressState& progress) {
    // The exit code is read before the refresh, so the tick that finds the worker ended shows
    // its final counters and status text.
    DWORD exitCode = 0;
    HANDLE worker = progress.workerThread.load();
    if (worker && !GetExitCodeThread(worker, &exitCode)) exitCode = 0;

    RefreshDisplay(dialog, progress);
    if (worker && exitCode == STILL_ACTIVE) return;

    KillTimer(dialog, IDT_PROGRESS);
    // The worker has ended: nothing needs its handle any more.
    HANDLE ended = progress.workerThread.exchange(nullptr);
    if (ended) CloseHandle(ended);

    SetForegroundWindow(dialog);
    if (exitCode == 1) {
        ShowMessageBox(dialog, L"インストール作業が正常に完了しました。", L"確認", MB_OK);
        EndDialog(dialog, 1);
    } else {
        ShowMessageBox(dialog,
                       L"インストール作業が中断されました。\n\nインストール途中のファイルは破損しています。\n"
                       L"インストール作業を完了させてからアンインストールを行うか、手動で削除して下さい。",
                       L"確認", MB_ICONWARNING | MB_OK);
        EndDialog(dialog, 0);
    }
}

}  // namespace

int ProgressPercentage(uint64_t done, uint64_t total) {
    if (total == 0) return 0;
    const uint64_t whole = done / total;
    if (whole > static_cast<uint64_t>(INT_MAX / 100)) return INT_MAX;
    uint64_t fraction = done % total;
    const uint64_t tens = NextDecimalDigit(&fraction, total);
    const uint64_t units = NextDecimalDigit(&fraction, total);
    const uint64_t percent = whole * 100 + tens * 10 + units;
    return percent > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(percent);
}

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    auto* installation = reinterpret_cast<Installation*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (!installation) return FALSE;
    ProgressState& progress = installation->progress;
    progress.progressWindow = dialog;
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog(dialog, *installation);
            break;
        case WM_TIMER:
            OnTimer(dialog, progress);
            break;
        case WM_COMMAND:
            // Only a request: the copy and expansion loops ask the user before stopping.
            if (LOWORD(wParam) == IDCANCEL) progress.cancelRequested = 1;
            break;
        case WM_CLOSE:
            progress.cancelRequested = 1;
            break;
        case WM_DESTROY:
            KillTimer(dialog, IDT_PROGRESS);
            break;
    }
    return FALSE;
}
