// Code page 932, in which setup.ini, setup.lst and uninst.dat are written, and conversions for
// the other code pages the system decodes narrow paths with.
#pragma once

#include <windows.h>

#include <string>

constexpr UINT kCodePage932 = 932;

// UTF-16 to code page 932 and back. A failed conversion yields an empty result instead of
// ending the process.
std::string WideToCodePage932(const std::wstring& text);
std::wstring CodePage932ToWide(const std::string& text);

// The same conversions for any code page; *converted (when given) tells a failed conversion
// from an empty text. Characters the code page cannot hold become its replacement character.
std::string WideToCodePage(UINT codePage, const std::wstring& text, bool* converted);
std::wstring CodePageToWide(UINT codePage, const std::string& text, bool* converted);

// The bytes of text in codePage, only when they decode back to exactly the same text: no
// best-fit letter (U+00A5 would come back as a backslash), no replacement character.
bool ToCodePageExact(UINT codePage, const std::wstring& text, std::string* bytes);

// Bytes in codePage to UTF-16; false on bytes that are not valid in that code page.
bool FromCodePageStrict(UINT codePage, const std::string& bytes, std::wstring* text);
