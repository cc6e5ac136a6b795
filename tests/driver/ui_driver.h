// The person at the screen, for end-to-end tests and scripts: finds the windows and message
// boxes of another process, reads and types control texts, presses buttons, starts programs and
// collects their exit codes, and reads another process's command line.
//
// Everything works across processes in the same Wine prefix (or Windows session). Functions
// that wait poll every 50 ms until their timeout; a timeout is a failure result, never a hang.
// Nothing here asserts: callers decide what a missing window means.
//
// Typical use from a test:
//
//     ui::Process installer = ui::StartProgram(exe, L"/luninst1");
//     HWND box = ui::WaitForMessageBox(L"エラー", ui::kDefaultTimeout, installer.id);
//     EXPECT_EQ(ui::MessageBoxText(box), L"…");
//     ui::ClickButton(box, IDOK);
//     DWORD code = 0;
//     ASSERT_TRUE(ui::WaitForExit(installer, ui::kDefaultTimeout, &code));
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/handles.h"

namespace ui {

constexpr DWORD kDefaultTimeout = 15000;  // milliseconds; a Wine process start takes about one second

// Control id of a message box's text (its static control).
constexpr int kMessageBoxTextId = 0xFFFF;

// ---- Windows -------------------------------------------------------------------------------

// A visible top-level window whose title is exactly `title`, of the given process (0: any
// process). Null when there is none right now.
HWND FindWindowByTitle(const std::wstring& title, DWORD processId = 0);

// FindWindowByTitle, waiting up to timeoutMs for the window to appear.
HWND WaitForWindow(const std::wstring& title, DWORD timeoutMs = kDefaultTimeout, DWORD processId = 0);

// The first visible top-level window of the process, whatever its title; waits up to timeoutMs.
// Use it where the title is not fixed (a dialog titled after the game, for example).
HWND WaitForProcessWindow(DWORD processId, DWORD timeoutMs = kDefaultTimeout);

// A visible message box (dialog class "#32770") titled exactly `title`, of the given process
// (0: any); waits up to timeoutMs. Other dialogs of class "#32770" with that title match too.
HWND WaitForMessageBox(const std::wstring& title, DWORD timeoutMs = kDefaultTimeout, DWORD processId = 0);

// The text of a message box, line breaks ("\n") as the program passed them.
std::wstring MessageBoxText(HWND box);

// Waits up to timeoutMs until the window no longer exists. True when it is gone.
bool WaitUntilGone(HWND window, DWORD timeoutMs = kDefaultTimeout);

std::wstring WindowTitle(HWND window);
std::wstring WindowClass(HWND window);
DWORD WindowProcessId(HWND window);

// ---- Controls of a dialog --------------------------------------------------------------------

// Presses the button (BM_CLICK, posted: returns at once even when the click opens a modal box).
// False when the dialog has no control with that id.
bool ClickButton(HWND dialog, int id);

// The control's text (WM_GETTEXT). Empty when the control does not exist.
std::wstring ControlText(HWND dialog, int id);

// Replaces the control's text (WM_SETTEXT), as typing would. False when the control is missing.
bool TypeText(HWND dialog, int id, const std::wstring& text);

struct ControlState {
    bool exists = false;
    bool enabled = false;
    bool visible = false;
    bool checked = false;  // BM_GETCHECK == BST_CHECKED; false for controls that are no buttons
};
ControlState GetControlState(HWND dialog, int id);

// ---- Processes -------------------------------------------------------------------------------

struct Process {
    ObjectHandle handle;  // with the rights of CreateProcessW / OpenProcess (terminate, query, wait)
    DWORD id = 0;
    explicit operator bool() const { return handle.valid(); }
};

// Starts `program` with the command line "\"program\" arguments" (just the quoted program when
// arguments is empty), so the program's argument text is exactly `arguments`. workingFolder
// empty: the caller's. An invalid Process when the start failed.
Process StartProgram(const std::wstring& program, const std::wstring& arguments,
                     const std::wstring& workingFolder = std::wstring());

// Opens a running process for waiting, querying and terminating. Invalid when it cannot.
Process OpenRunningProcess(DWORD processId);

// Waits up to timeoutMs for the process to end; true with its exit code when it did.
bool WaitForExit(const Process& process, DWORD timeoutMs, DWORD* exitCode);

// Ids of the processes that the given process started (still running or not yet reaped by the
// system), found through the process snapshot's parent ids.
std::vector<DWORD> ChildProcessIds(DWORD parentId);
// The processes started by the given one, also after it has ended: process ids are reused, so a
// process older than the parent is never taken for its child.
std::vector<DWORD> ChildProcessIds(const Process& parent);

// Waits up to timeoutMs for a child of parentId to appear; 0 when none did.
DWORD WaitForChildProcess(DWORD parentId, DWORD timeoutMs = kDefaultTimeout);

// The whole command line another process was started with, read from its process environment
// block. Works for processes of the caller's own bitness; empty on failure.
std::wstring ProcessCommandLine(DWORD processId);

// The current folder of another process (with its final backslash), from the same block.
std::wstring ProcessCurrentFolder(DWORD processId);

// The argument text a wide GUI entry point receives for this command line: what follows the
// program name (quoted or not), leading blanks skipped, nothing unquoted.
std::wstring ArgumentText(const std::wstring& commandLine);

// Ends the process with exit code 1 and waits until it has gone. True when it is gone.
bool EndProcess(DWORD processId);

// Ends every process given to it when it goes, so that a failing test leaves nothing running.
// It holds a handle to each from the moment it is added, so a process id that the system
// reuses later cannot make it end a stranger.
class ProcessReaper {
public:
    ProcessReaper() = default;
    ProcessReaper(const ProcessReaper&) = delete;
    ProcessReaper& operator=(const ProcessReaper&) = delete;
    ~ProcessReaper() { EndAll(); }

    void Add(DWORD processId);
    void EndAll();

private:
    std::vector<ObjectHandle> processes_;
};

}  // namespace ui
