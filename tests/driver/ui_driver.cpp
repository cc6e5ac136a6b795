#include "ui_driver.h"

#include <tlhelp32.h>
#include <winternl.h>
#include <cstddef>
#include <utility>

namespace ui {
namespace {

constexpr DWORD kPollInterval = 50;
constexpr UINT kSendTimeout = 5000;

// Calls `probe` until it returns something non-zero or the time is up.
template <typename Probe>
auto Poll(DWORD timeoutMs, Probe probe) -> decltype(probe()) {
    DWORD start = GetTickCount();
    for (;;) {
        auto found = probe();
        if (found) return found;
        if (GetTickCount() - start >= timeoutMs) return found;
        Sleep(kPollInterval);
    }
}

struct WindowSearch {
    const std::wstring* title;  // null: any title
    const wchar_t* className;   // null: any class
    DWORD processId;            // 0: any process
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    if (!IsWindowVisible(window)) return TRUE;
    if (search->processId != 0 && WindowProcessId(window) != search->processId) return TRUE;
    if (search->className && WindowClass(window) != search->className) return TRUE;
    if (search->title && WindowTitle(window) != *search->title) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindTopWindow(const std::wstring* title, const wchar_t* className, DWORD processId) {
    WindowSearch search{title, className, processId, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Text of a window of any process, asked of its owner thread with a timeout so a hung program
// cannot hang the caller.
std::wstring SentText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &length)) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                             kSendTimeout, &copied))
        return {};
    text.resize(static_cast<size_t>(copied));
    return text;
}

}  // namespace

std::wstring WindowTitle(HWND window) { return SentText(window); }

std::wstring WindowClass(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

DWORD WindowProcessId(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
}

HWND FindWindowByTitle(const std::wstring& title, DWORD processId) { return FindTopWindow(&title, nullptr, processId); }

HWND WaitForWindow(const std::wstring& title, DWORD timeoutMs, DWORD processId) {
    return Poll(timeoutMs, [&] { return FindTopWindow(&title, nullptr, processId); });
}

HWND WaitForProcessWindow(DWORD processId, DWORD timeoutMs) {
    if (processId == 0) return nullptr;
    return Poll(timeoutMs, [&] { return FindTopWindow(nullptr, nullptr, processId); });
}

HWND WaitForMessageBox(const std::wstring& title, DWORD timeoutMs, DWORD processId) {
    return Poll(timeoutMs, [&] { return FindTopWindow(&title, L"#32770", processId); });
}

std::wstring MessageBoxText(HWND box) { return ControlText(box, kMessageBoxTextId); }

bool WaitUntilGone(HWND window, DWORD timeoutMs) {
    return Poll(timeoutMs, [&] { return !IsWindow(window); });
}

bool ClickButton(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    return button && PostMessageW(button, BM_CLICK, 0, 0);
}

std::wstring ControlText(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    return control ? SentText(control) : std::wstring();
}

bool TypeText(HWND dialog, int id, const std::wstring& text) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) return false;
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                               kSendTimeout, &result) &&
           result == TRUE;
}

ControlState GetControlState(HWND dialog, int id) {
    ControlState state;
    HWND control = GetDlgItem(dialog, id);
    if (!control) return state;
    state.exists = true;
    state.enabled = IsWindowEnabled(control) != FALSE;
    state.visible = IsWindowVisible(control) != FALSE;
    DWORD_PTR check = 0;
    if (SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &check))
        state.checked = check == BST_CHECKED;
    return state;
}

Process StartProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& workingFolder) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    Process process;
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &started))
        return process;
    ObjectHandle thread(started.hThread);
    process.handle.reset(started.hProcess);
    process.id = started.dwProcessId;
    return process;
}

Process OpenRunningProcess(DWORD processId) {
    Process process;
    process.handle.reset(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE, processId));
    if (process.handle) process.id = processId;
    return process;
}

bool WaitForExit(const Process& process, DWORD timeoutMs, DWORD* exitCode) {
    if (!process) return false;
    if (WaitForSingleObject(process.handle.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(process.handle.get(), &code)) return false;
    if (exitCode) *exitCode = code;
    return true;
}

std::vector<DWORD> ChildProcessIds(DWORD parentId) {
    std::vector<DWORD> children;
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == parentId && entry.th32ProcessID != parentId)
            children.push_back(entry.th32ProcessID);
    }
    return children;
}

std::vector<DWORD> ChildProcessIds(const Process& parent) {
    FILETIME parentStart, unused1, unused2, unused3;
    if (!GetProcessTimes(parent.handle.get(), &parentStart, &unused1, &unused2, &unused3)) return {};
    std::vector<DWORD> children;
    for (DWORD id : ChildProcessIds(parent.id)) {
        ObjectHandle child(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        FILETIME childStart;
        if (!child || !GetProcessTimes(child.get(), &childStart, &unused1, &unused2, &unused3) ||
            CompareFileTime(&childStart, &parentStart) >= 0)
            children.push_back(id);
    }
    return children;
}

DWORD WaitForChildProcess(DWORD parentId, DWORD timeoutMs) {
    return Poll(timeoutMs, [&]() -> DWORD {
        std::vector<DWORD> children = ChildProcessIds(parentId);
        return children.empty() ? 0 : children.front();
    });
}

namespace {

// The head of RTL_USER_PROCESS_PARAMETERS as the system lays it out; the SDK's declaration hides
// the current folder among reserved fields.
struct ProcessParametersHead {
    ULONG maximumLength;
    ULONG length;
    ULONG flags;
    ULONG debugFlags;
    HANDLE consoleHandle;
    ULONG consoleFlags;
    HANDLE standardInput;
    HANDLE standardOutput;
    HANDLE standardError;
    UNICODE_STRING currentFolder;
    HANDLE currentFolderHandle;
    UNICODE_STRING dllPath;
    UNICODE_STRING imagePathName;
    UNICODE_STRING commandLine;
};
static_assert(offsetof(ProcessParametersHead, commandLine) == offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine),
              "process parameter layout");

enum class ParameterText { commandLine, currentFolder };

// The same head as a 32-bit process keeps it, for a 64-bit driver reading a WoW64 process.
struct UnicodeString32 {
    USHORT length;
    USHORT maximumLength;
    ULONG buffer;
};
struct ProcessParametersHead32 {
    ULONG maximumLength, length, flags, debugFlags;
    ULONG consoleHandle, consoleFlags, standardInput, standardOutput, standardError;
    UnicodeString32 currentFolder;
    ULONG currentFolderHandle;
    UnicodeString32 dllPath, imagePathName, commandLine;
};
static_assert(offsetof(ProcessParametersHead32, currentFolder) == 0x24 &&
                  offsetof(ProcessParametersHead32, commandLine) == 0x40,
              "32-bit process parameter layout");
constexpr ULONG kPeb32ProcessParameters = 0x10;

std::wstring ReadRemoteText(HANDLE process, ULONG64 address, size_t bytes) {
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    SIZE_T read = 0;
    if (text.empty()) return text;
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(static_cast<ULONG_PTR>(address)), &text[0], bytes, &read) ||
        read != bytes)
        return {};
    return text;
}

// A 32-bit process seen from a 64-bit driver keeps its own 32-bit PEB; empty when there is none.
bool ReadWow64Parameter(HANDLE process, ParameterText which,
                        NTSTATUS(NTAPI* query)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG), std::wstring* text) {
    if (sizeof(void*) != 8) return false;
    ULONG_PTR peb32 = 0;
    if (query(process, ProcessWow64Information, &peb32, sizeof(peb32), nullptr) < 0 || !peb32) return false;
    ULONG parametersAddress = 0;
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(peb32 + kPeb32ProcessParameters), &parametersAddress,
                           sizeof(parametersAddress), &read) ||
        read != sizeof(parametersAddress))
        return true;
    ProcessParametersHead32 parameters = {};
    if (!ReadProcessMemory(process, reinterpret_cast<void*>(static_cast<ULONG_PTR>(parametersAddress)), &parameters,
                           sizeof(parameters), &read) ||
        read != sizeof(parameters))
        return true;
    const UnicodeString32& wanted = which == ParameterText::commandLine ? parameters.commandLine
                                                                        : parameters.currentFolder;
    *text = ReadRemoteText(process, wanted.buffer, wanted.length);
    return true;
}

// One text of another process's parameters block, reached through its process environment block.
std::wstring ReadProcessParameter(DWORD processId, ParameterText which) {
    using QueryFunction = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return {};
    auto query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
    if (!query) return {};
    ObjectHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return {};
    std::wstring wow64Text;
    if (ReadWow64Parameter(process.get(), which, query, &wow64Text)) return wow64Text;

    PROCESS_BASIC_INFORMATION basic = {};
    if (query(process.get(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) < 0 || !basic.PebBaseAddress)
        return {};
    PEB peb = {};
    SIZE_T read = 0;
    if (!ReadProcessMemory(process.get(), basic.PebBaseAddress, &peb, sizeof(peb), &read) || read != sizeof(peb))
        return {};
    ProcessParametersHead parameters = {};
    if (!ReadProcessMemory(process.get(), peb.ProcessParameters, &parameters, sizeof(parameters), &read) ||
        read != sizeof(parameters))
        return {};
    const UNICODE_STRING& wanted = which == ParameterText::commandLine ? parameters.commandLine
                                                                       : parameters.currentFolder;
    return ReadRemoteText(process.get(), reinterpret_cast<ULONG_PTR>(wanted.Buffer), wanted.Length);
}

}  // namespace

std::wstring ProcessCommandLine(DWORD processId) { return ReadProcessParameter(processId, ParameterText::commandLine); }

std::wstring ProcessCurrentFolder(DWORD processId) {
    return ReadProcessParameter(processId, ParameterText::currentFolder);
}

std::wstring ArgumentText(const std::wstring& commandLine) {
    size_t position = 0;
    if (!commandLine.empty() && commandLine[0] == L'"') {
        size_t closing = commandLine.find(L'"', 1);
        position = closing == std::wstring::npos ? commandLine.size() : closing + 1;
    } else {
        while (position < commandLine.size() && commandLine[position] > L' ') ++position;
    }
    while (position < commandLine.size() && commandLine[position] <= L' ') ++position;
    return commandLine.substr(position);
}

bool EndProcess(DWORD processId) {
    ObjectHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process) return true;  // already gone (or never was)
    TerminateProcess(process.get(), 1);
    return WaitForSingleObject(process.get(), kDefaultTimeout) == WAIT_OBJECT_0;
}

void ProcessReaper::Add(DWORD processId) {
    ObjectHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (process) processes_.push_back(std::move(process));
}

void ProcessReaper::EndAll() {
    for (ObjectHandle& process : processes_) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), kDefaultTimeout);
    }
    processes_.clear();
}

}  // namespace ui
