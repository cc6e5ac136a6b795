#include "base/interaction.h"

#include <atomic>

namespace {

class SystemInteraction final : public Interaction {
public:
    int Message(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) override {
        return MessageBoxW(owner, text, title, style);
    }
    PIDLIST_ABSOLUTE BrowseForFolder(BROWSEINFOW* info) override { return SHBrowseForFolderW(info); }
    SHORT AsyncKeyState(int virtualKey) override { return GetAsyncKeyState(virtualKey); }
};

// The seam is bound once for the whole process: a test's script answers whatever thread or layer
// asks, which a value passed down through every signature could not do without naming the seam
// everywhere.
SystemInteraction systemInteraction;
std::atomic<Interaction*> boundInteraction{&systemInteraction};

}  // namespace

void BindInteraction(Interaction* interaction) {
    boundInteraction.store(interaction ? interaction : &systemInteraction);
}

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) {
    return boundInteraction.load()->Message(owner, text, title, style);
}

PIDLIST_ABSOLUTE ShowFolderBrowser(BROWSEINFOW* info) { return boundInteraction.load()->BrowseForFolder(info); }

SHORT QueryAsyncKeyState(int virtualKey) { return boundInteraction.load()->AsyncKeyState(virtualKey); }

void NotifyCancelPoll() { boundInteraction.load()->CancelPoll(); }

void ShowErrorBox(HWND owner, const wchar_t* text) { ShowMessageBox(owner, text, L"エラー", MB_OK | MB_ICONERROR); }
