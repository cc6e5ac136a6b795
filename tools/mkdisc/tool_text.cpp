#include "tool_text.h"

#include <windows.h>

#include <vector>

#include "base/code_page.h"
#include "base/handles.h"
#include "base/text.h"

bool ToCodePage932Strict(const std::wstring& text, std::string* bytes) {
    return ToCodePageExact(kCodePage932, text, bytes);
}

bool FromCodePage932Strict(const std::string& bytes, std::wstring* text) {
    return FromCodePageStrict(kCodePage932, bytes, text);
}

bool FromUtf8Strict(const std::string& bytes, std::wstring* text) { return FromCodePageStrict(CP_UTF8, bytes, text); }

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string bytes(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                            nullptr);
    return bytes;
}

static void WriteLineTo(DWORD which, const std::wstring& text) {
    HANDLE output = GetStdHandle(which);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    std::wstring line = text + L"\n";
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    std::string bytes = ToUtf8(line);
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void PrintLine(const std::wstring& text) { WriteLineTo(STD_OUTPUT_HANDLE, text); }

void PrintErrorLine(const std::wstring& text) { WriteLineTo(STD_ERROR_HANDLE, text); }

std::wstring SystemErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return L"error " + std::to_wstring(code) + (text.empty() ? L"" : L": " + text);
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes, std::wstring* error) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        *error = L"cannot open \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
        return false;
    }
    bytes->clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            *error = L"cannot read \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
            return false;
        }
        if (got == 0) return true;
        bytes->append(buffer, got);
    }
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, std::wstring* error) {
    FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file &&
        (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                           written == bytes.size())))
        return true;
    *error = L"cannot write \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Megabytes(unsigned long long bytes) {
    return FormatText(L"%.1f", static_cast<double>(bytes) / 1000000.0);
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}
