// The one place where the program waits for a person: message boxes, folder browsers and the
// keyboard state. The program uses the system's own; tests bind a script that answers and
// records what was shown. Everything else (files, registry, drives, shell links) is always real.
#pragma once

#include <windows.h>
#include <shlobj.h>

class Interaction {
public:
    virtual ~Interaction() = default;
    virtual int Message(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) = 0;
    // Returns the chosen item (freed by the caller with CoTaskMemFree) or null when cancelled.
    virtual PIDLIST_ABSOLUTE BrowseForFolder(BROWSEINFOW* info) = 0;
    virtual SHORT AsyncKeyState(int virtualKey) = 0;
    // Called each time a transfer looks whether the person has asked to cancel, just before it
    // looks: a script presses there, at the step it chooses.
    virtual void CancelPoll() {}
};

// Binds the interaction used from now on, by every thread; null restores the system's own.
void BindInteraction(Interaction* interaction);

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* title, UINT style);
PIDLIST_ABSOLUTE ShowFolderBrowser(BROWSEINFOW* info);
SHORT QueryAsyncKeyState(int virtualKey);
void NotifyCancelPoll();

// The program's error box: title "エラー", the error icon and an OK button, over owner.
void ShowErrorBox(HWND owner, const wchar_t* text);
