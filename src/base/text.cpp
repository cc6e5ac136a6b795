#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

bool CopyText(wchar_t* buffer, size_t capacity, const wchar_t* source) {
    if (capacity == 0) return false;
    size_t length = wcslen(source);
    if (length >= capacity) {
        buffer[0] = L'\0';
        return false;
    }
    wmemcpy(buffer, source, length + 1);
    return true;
}

bool AppendText(wchar_t* buffer, size_t capacity, const wchar_t* source) {
    size_t used = wcsnlen(buffer, capacity);
    if (used >= capacity) return false;
    size_t length = wcslen(source);
    if (used + length >= capacity) return false;
    wmemcpy(buffer + used, source, length + 1);
    return true;
}

bool AddBackslash(wchar_t* buffer, size_t capacity) {
    size_t used = wcsnlen(buffer, capacity);
    if (used == 0 || buffer[used - 1] == L'\\') return true;
    return AppendText(buffer, capacity, L"\\");
}

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    va_list probe;
    va_copy(probe, args);
    // MinGW's own formatter, not msvcrt's: the msvcrt.dll of older Windows lacks %zu and %lld
    // and would then read the following arguments wrongly.
    int needed = __mingw_vsnwprintf(nullptr, 0, format, probe);
    va_end(probe);
    std::wstring result;
    if (needed > 0) {
        result.resize(static_cast<size_t>(needed) + 1);
        __mingw_vsnwprintf(&result[0], result.size(), format, args);
        result.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    return result;
}

void FormatTextInto(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = __mingw_vsnwprintf(buffer, capacity, format, args);
    va_end(args);
    // A text cut short may come back as a failure, with the buffer's end left open.
    if (written < 0 || static_cast<size_t>(written) >= capacity) buffer[capacity - 1] = L'\0';
}
