// What a long file operation tells and asks as it goes, without knowing who listens: the bytes it
// has read and written, whether to stop before its next step, and the window that owns its
// message boxes. During an installation the install engine's progress record listens.
#pragma once

#include <windows.h>

#include <cstdint>

class ProgressSink {
public:
    // A source file about to be read in full.
    virtual void CountSourceBytes(uint64_t bytes) = 0;
    // Bytes that have reached the destination.
    virtual void CountWrittenBytes(uint64_t bytes) = 0;
    // Asked before each step: true when the operation is to stop now.
    virtual bool ShouldStop() = 0;
    // The owner of the operation's message boxes; null for none.
    virtual HWND Owner() const = 0;

protected:
    ~ProgressSink() = default;
};
