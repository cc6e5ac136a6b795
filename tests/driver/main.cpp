// driver.exe: the person at the screen for shell scripts, one action per call. Texts print as
// UTF-8. Exit code 0 on success, 1 when the window, control or process was not found in time,
// 2 on a usage error; "run" exits with the program's own exit code.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "ui_driver.h"

namespace {

const char kUsage[] =
    "usage: driver <command> ...\n"
    "  wait   \"<title>\" [seconds]          wait for a visible top-level window\n"
    "  gone   \"<title>\" [seconds]          wait until no such window is left\n"
    "  msgbox \"<title>\" [seconds]          wait for a message box and print its text\n"
    "  timed  \"<title>\" <id> \"<box title>\" [seconds]\n"
    "                                      press a button, wait until that window has gone and a\n"
    "                                      message box appears; print the seconds between, then its text\n"
    "  click  \"<title>\" <id> [seconds]     press a button of the window\n"
    "  text   \"<title>\" <id> [seconds]     print a control's text\n"
    "  type   \"<title>\" <id> <text>        replace a control's text\n"
    "  state  \"<title>\" <id> [seconds]     print enabled=0|1 visible=0|1 checked=0|1\n"
    "  run    [--timeout seconds] <program> [argument text]\n"
    "                                      start, wait, print and return the exit code\n"
    "  cmdline <process id>                 print a process's command line\n";

void Print(const std::wstring& text) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string bytes(static_cast<size_t>(needed), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], needed, nullptr,
                            nullptr);
    bytes += '\n';
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

int Usage() {
    fputs(kUsage, stderr);
    return 2;
}

DWORD Seconds(int argc, wchar_t** argv, int index) {
    if (index >= argc) return ui::kDefaultTimeout;
    return static_cast<DWORD>(wcstoul(argv[index], nullptr, 10) * 1000);
}

bool ParseId(const wchar_t* text, int* id) {
    wchar_t* end = nullptr;
    long value = wcstol(text, &end, 0);
    if (end == text || *end != L'\0') return false;
    *id = static_cast<int>(value);
    return true;
}

int NotFound(const std::wstring& what) {
    fputs("driver: not found: ", stderr);
    fflush(stderr);
    int needed = WideCharToMultiByte(CP_UTF8, 0, what.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed > 0 ? needed : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, what.c_str(), -1, &bytes[0], needed, nullptr, nullptr);
    fprintf(stderr, "%s\n", bytes.c_str());
    return 1;
}

// The seconds from pressing a button to the message box that answers it, measured here so that
// neither this program's start nor its exit counts. The box may carry the title of the window
// pressed (a confirmation answered by an outcome): that window has to be gone first. The box is
// looked for more often than the other commands look, since the poll sets the clock's resolution.
int TimedClick(int argc, wchar_t** argv) {
    int id = 0;
    if (argc < 5 || !ParseId(argv[3], &id)) return Usage();
    std::wstring title = argv[2], boxTitle = argv[4];
    DWORD timeout = Seconds(argc, argv, 5);
    HWND window = ui::WaitForWindow(title);
    if (!window) return NotFound(title);
    LARGE_INTEGER frequency = {}, start = {}, end = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!ui::ClickButton(window, id)) return NotFound(L"control " + std::to_wstring(id));
    DWORD begun = GetTickCount();
    while (IsWindow(window)) {
        if (GetTickCount() - begun >= timeout) return NotFound(L"end of " + title);
        Sleep(10);
    }
    HWND box = nullptr;
    while (!(box = ui::WaitForMessageBox(boxTitle, 0))) {
        if (GetTickCount() - begun >= timeout) return NotFound(boxTitle);
        Sleep(10);
    }
    QueryPerformanceCounter(&end);
    wchar_t seconds[32];
    swprintf(seconds, 32, L"%.3f", static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    Print(seconds);
    Print(ui::MessageBoxText(box));
    return 0;
}

int RunProgram(int argc, wchar_t** argv) {
    int index = 2;
    DWORD timeout = INFINITE;
    if (index + 1 < argc && wcscmp(argv[index], L"--timeout") == 0) {
        timeout = static_cast<DWORD>(wcstoul(argv[index + 1], nullptr, 10) * 1000);
        index += 2;
    }
    if (index >= argc) return Usage();
    std::wstring program = argv[index++];
    std::wstring arguments;
    for (; index < argc; ++index) {
        if (!arguments.empty()) arguments += L' ';
        arguments += argv[index];
    }
    ui::Process process = ui::StartProgram(program, arguments);
    if (!process) return NotFound(program);
    DWORD code = 0;
    if (!ui::WaitForExit(process, timeout, &code)) return NotFound(L"exit of " + program);
    Print(std::to_wstring(code));
    return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Line breaks stay "\n" for the shell scripts that read the output.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 3) return Usage();
    std::wstring command = argv[1];
    if (command == L"run") return RunProgram(argc, argv);
    if (command == L"cmdline") {
        std::wstring line = ui::ProcessCommandLine(static_cast<DWORD>(wcstoul(argv[2], nullptr, 0)));
        if (line.empty()) return NotFound(argv[2]);
        Print(line);
        return 0;
    }

    if (command == L"timed") return TimedClick(argc, argv);
    std::wstring title = argv[2];
    if (command == L"wait") return ui::WaitForWindow(title, Seconds(argc, argv, 3)) ? 0 : NotFound(title);
    if (command == L"gone") {
        DWORD start = GetTickCount(), timeout = Seconds(argc, argv, 3);
        while (ui::FindWindowByTitle(title)) {
            if (GetTickCount() - start >= timeout) return NotFound(L"end of " + title);
            Sleep(50);
        }
        return 0;
    }
    if (command == L"msgbox") {
        HWND box = ui::WaitForMessageBox(title, Seconds(argc, argv, 3));
        if (!box) return NotFound(title);
        Print(ui::MessageBoxText(box));
        return 0;
    }

    int id = 0;
    if (argc < 4 || !ParseId(argv[3], &id)) return Usage();
    if (command == L"type") {
        if (argc < 5) return Usage();
        HWND window = ui::WaitForWindow(title);
        return window && ui::TypeText(window, id, argv[4]) ? 0 : NotFound(title);
    }
    HWND window = ui::WaitForWindow(title, Seconds(argc, argv, 4));
    if (!window) return NotFound(title);
    if (command == L"click") return ui::ClickButton(window, id) ? 0 : NotFound(L"control " + std::to_wstring(id));
    if (command == L"text") {
        if (!ui::GetControlState(window, id).exists) return NotFound(L"control " + std::to_wstring(id));
        Print(ui::ControlText(window, id));
        return 0;
    }
    if (command == L"state") {
        ui::ControlState state = ui::GetControlState(window, id);
        if (!state.exists) return NotFound(L"control " + std::to_wstring(id));
        Print(L"enabled=" + std::to_wstring(state.enabled) + L" visible=" + std::to_wstring(state.visible) +
              L" checked=" + std::to_wstring(state.checked));
        return 0;
    }
    return Usage();
}
