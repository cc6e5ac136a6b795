// Test side of the interaction seam: answers message boxes, folder browsers and key-state
// queries from a script and records everything that was shown, from any thread.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/interaction.h"

struct ShownMessage {
    HWND owner;
    std::wstring text;
    std::wstring title;
    UINT style;
};

struct ShownBrowser {
    HWND owner;
    std::wstring title;
    UINT flags;
};

class ScriptedInteraction final : public Interaction {
public:
    // Binds itself on construction and restores the system's own on destruction.
    ScriptedInteraction();
    ~ScriptedInteraction() override;

    // Answers for the next message boxes, in order; an unscripted box gets IDOK.
    void AnswerMessages(std::initializer_list<int> answers);
    // Runs before a message box returns (for example to exchange a disc while the prompt waits).
    void OnMessage(std::function<void(const ShownMessage&)> hook);
    // Folders chosen in the next browsers, in order; an empty text cancels. Unscripted: cancel.
    void ChooseFolders(std::initializer_list<std::wstring> folders);
    // Runs at every cancel poll with its number, counted from 1 (for example to press cancel at
    // a chosen chunk).
    void OnCancelPoll(std::function<void(unsigned poll)> hook);
    // Virtual keys reported as held down.
    void HoldKeys(std::initializer_list<int> keys);

    std::vector<ShownMessage> Messages() const;
    std::vector<ShownBrowser> Browsers() const;
    std::vector<std::wstring> MessageTexts() const;

    int Message(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) override;
    PIDLIST_ABSOLUTE BrowseForFolder(BROWSEINFOW* info) override;
    SHORT AsyncKeyState(int virtualKey) override;
    void CancelPoll() override;

private:
    mutable std::mutex lock_;
    std::deque<int> answers_;
    std::deque<std::wstring> folders_;
    std::vector<int> heldKeys_;
    std::function<void(const ShownMessage&)> hook_;
    std::function<void(unsigned)> pollHook_;
    unsigned polls_ = 0;
    std::vector<ShownMessage> messages_;
    std::vector<ShownBrowser> browsers_;
};
