// Text for the tool: strict code page conversions (a name the discs cannot hold must be
// refused, not replaced by '?') and console output that reads right under Wine and Windows.
#pragma once

#include <string>
#include <vector>

// UTF-16 to code page 932; false when a character has no code page 932 form.
bool ToCodePage932Strict(const std::wstring& text, std::string* bytes);
// Code page 932 to UTF-16; false on bytes that are not valid code page 932.
bool FromCodePage932Strict(const std::string& bytes, std::wstring* text);
// UTF-8 to UTF-16; false on invalid UTF-8.
bool FromUtf8Strict(const std::string& bytes, std::wstring* text);
std::string ToUtf8(const std::wstring& text);

// Writes a line to standard output or standard error: wide text on a console, UTF-8 bytes
// into a pipe or file.
void PrintLine(const std::wstring& text);
void PrintErrorLine(const std::wstring& text);

// The system's text for an error code, without the final line break.
std::wstring SystemErrorText(unsigned long code);

// Whole files: false with a message in *error naming the file and the system's reason.
bool ReadWholeFile(const std::wstring& path, std::string* bytes, std::wstring* error);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes, std::wstring* error);

// The text in capitals, as Windows compares names that differ only in case.
std::wstring UpperCase(std::wstring text);

// A byte count in decimal megabytes with one decimal, without the unit: "655.6".
std::wstring Megabytes(unsigned long long bytes);

// The lines of a text without their line ends (LF or CR LF); a final line end starts no line.
std::vector<std::wstring> SplitLines(const std::wstring& text);
