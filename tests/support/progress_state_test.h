// A fixture for the suites of the transfer functions, which report to an installation's progress
// record and give their message boxes its window as owner: each test starts from a reset record
// of its own with the suite's owner set and no cancel pending.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <locale.h>
#include <string>
#include <thread>

#include "install/progress_state.h"
#include "support/scripted_interaction.h"

// A person who presses cancel, answers the question with Cancel, and presses again once `when`
// holds; the second question is answered OK.
class SecondCancelPress {
public:
    template <typename Condition>
    SecondCancelPress(ScriptedInteraction& script, ProgressState& progress, Condition when) {
        progress.cancelRequested = 1;
        script.AnswerMessages({IDCANCEL, IDOK});
        script.OnMessage([this, &progress, when](const ShownMessage&) {
            if (presser_.joinable()) return;
            presser_ = std::thread([&progress, when] {
                while (!when()) std::this_thread::yield();
                progress.cancelRequested = 1;
            });
        });
    }
    SecondCancelPress(const SecondCancelPress&) = delete;
    SecondCancelPress& operator=(const SecondCancelPress&) = delete;
    ~SecondCancelPress() { Join(); }
    void Join() {
        if (presser_.joinable()) presser_.join();
    }

private:
    std::thread presser_;
};

// A person who presses cancel just before the chunk-th chunk (counted from 1) is accepted, and
// answers the question with OK.
inline void PressCancelBeforeChunk(ScriptedInteraction& script, ProgressState& progress, unsigned chunk) {
    script.AnswerMessages({IDOK});
    script.OnCancelPoll([chunk, &progress](unsigned poll) {
        if (poll == chunk) progress.cancelRequested = 1;
    });
}

class ProgressStateTest : public ::testing::Test {
protected:
    explicit ProgressStateTest(HWND owner) : owner_(owner) {}

    void SetUp() override {
        ASSERT_NE(_wsetlocale(LC_ALL, L"Japanese_Japan.932"), nullptr);
        progress_.Reset();
        progress_.progressWindow = owner_;
    }

    // An error box of a transfer: the text, the title "エラー", the error icon alone, the owner.
    void ExpectErrorBox(const ShownMessage& shown, const std::wstring& text) const {
        EXPECT_EQ(shown.text, text);
        EXPECT_EQ(shown.title, L"エラー");
        EXPECT_EQ(shown.style, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(shown.owner, owner_);
    }

    const HWND owner_;
    ProgressState progress_;
};
