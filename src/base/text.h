// Bounded text helpers: every copy into a fixed buffer goes through these.
#pragma once

#include <cstddef>
#include <string>

// Copies source into a buffer of `capacity` characters. Returns false, leaving the buffer
// holding an empty text, when source (plus terminator) does not fit.
bool CopyText(wchar_t* buffer, size_t capacity, const wchar_t* source);
template <size_t N>
bool CopyText(wchar_t (&buffer)[N], const wchar_t* source) {
    return CopyText(buffer, N, source);
}

// Appends source to the text already in buffer; false (buffer unchanged) when it does not fit.
bool AppendText(wchar_t* buffer, size_t capacity, const wchar_t* source);
template <size_t N>
bool AppendText(wchar_t (&buffer)[N], const wchar_t* source) {
    return AppendText(buffer, N, source);
}

// Appends a backslash unless the text is empty or already ends with one; false when full.
bool AddBackslash(wchar_t* buffer, size_t capacity);
template <size_t N>
bool AddBackslash(wchar_t (&buffer)[N]) {
    return AddBackslash(buffer, N);
}

// printf-style formatting into a std::wstring, the same on every Windows (C99 rules: write %ls
// for wide text; %zu, %lld and %llu are understood).
std::wstring FormatText(const wchar_t* format, ...);
// The same formatting into a buffer of capacity characters (at least 1), cut to fit; allocates
// nothing.
void FormatTextInto(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
