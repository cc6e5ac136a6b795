#include "support/scripted_interaction.h"

#include <algorithm>

ScriptedInteraction::ScriptedInteraction() { BindInteraction(this); }
ScriptedInteraction::~ScriptedInteraction() { BindInteraction(nullptr); }

void ScriptedInteraction::AnswerMessages(std::initializer_list<int> answers) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_.insert(answers_.end(), answers);
}

void ScriptedInteraction::OnMessage(std::function<void(const ShownMessage&)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    hook_ = std::move(hook);
}

void ScriptedInteraction::OnCancelPoll(std::function<void(unsigned poll)> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    pollHook_ = std::move(hook);
}

void ScriptedInteraction::ChooseFolders(std::initializer_list<std::wstring> folders) {
    std::lock_guard<std::mutex> guard(lock_);
    folders_.insert(folders_.end(), folders);
}

void ScriptedInteraction::HoldKeys(std::initializer_list<int> keys) {
    std::lock_guard<std::mutex> guard(lock_);
    heldKeys_.assign(keys);
}

std::vector<ShownMessage> ScriptedInteraction::Messages() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

std::vector<ShownBrowser> ScriptedInteraction::Browsers() const {
    std::lock_guard<std::mutex> guard(lock_);
    return browsers_;
}

std::vector<std::wstring> ScriptedInteraction::MessageTexts() const {
    std::vector<std::wstring> texts;
    for (const ShownMessage& message : Messages()) texts.push_back(message.text);
    return texts;
}

int ScriptedInteraction::Message(HWND owner, const wchar_t* text, const wchar_t* title, UINT style) {
    ShownMessage shown{owner, text ? text : L"", title ? title : L"", style};
    std::function<void(const ShownMessage&)> hook;
    int answer = IDOK;
    {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(shown);
        hook = hook_;
        if (!answers_.empty()) {
            answer = answers_.front();
            answers_.pop_front();
        }
    }
    if (hook) hook(shown);
    return answer;
}

PIDLIST_ABSOLUTE ScriptedInteraction::BrowseForFolder(BROWSEINFOW* info) {
    std::wstring folder;
    {
        std::lock_guard<std::mutex> guard(lock_);
        browsers_.push_back({info->hwndOwner, info->lpszTitle ? info->lpszTitle : L"", info->ulFlags});
        if (!folders_.empty()) {
            folder = folders_.front();
            folders_.pop_front();
        }
    }
    if (folder.empty()) return nullptr;
    PIDLIST_ABSOLUTE item = nullptr;
    if (FAILED(SHParseDisplayName(folder.c_str(), nullptr, &item, 0, nullptr))) return nullptr;
    return item;
}

SHORT ScriptedInteraction::AsyncKeyState(int virtualKey) {
    std::lock_guard<std::mutex> guard(lock_);
    bool held = std::find(heldKeys_.begin(), heldKeys_.end(), virtualKey) != heldKeys_.end();
    return held ? static_cast<SHORT>(0x8000) : 0;
}

void ScriptedInteraction::CancelPoll() {
    std::function<void(unsigned)> hook;
    unsigned poll;
    {
        std::lock_guard<std::mutex> guard(lock_);
        hook = pollHook_;
        poll = ++polls_;
    }
    if (hook) hook(poll);
}
