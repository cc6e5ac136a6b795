// Stand-in until the full main dialog lands: shows the window and ends on the exit button.
#include "frontend/main_dialog.h"

#include "base/interaction.h"
#include "resources/resource_ids.h"

HWND mainWindow = nullptr;
int removeSelfOnExit = 0;

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    mainWindow = dialog;
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_CLOSE:
            if (ShowMessageBox(dialog, L"終了しますか？", L"確認", MB_OKCANCEL) == IDOK) PostQuitMessage(0);
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_EXIT && ShowMessageBox(dialog, L"終了しますか？", L"確認", MB_OKCANCEL) == IDOK)
                PostQuitMessage(0);
            return FALSE;
    }
    return FALSE;
}

void InitMainDialog() {}
void ApplyDialogLook() {}
void BrowseInstallFolder() {}
int CALLBACK BrowseCallback(HWND, UINT, LPARAM, LPARAM) { return 0; }
