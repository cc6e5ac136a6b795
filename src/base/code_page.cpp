#include "base/code_page.h"

#include <vector>

std::string WideToCodePage(UINT codePage, const std::wstring& text, bool* converted) {
    if (converted) *converted = false;
    int needed = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(codePage, 0, text.c_str(), -1, buffer.data(), needed, nullptr, nullptr) == 0) return {};
    if (converted) *converted = true;
    return std::string(buffer.data());
}

std::wstring CodePageToWide(UINT codePage, const std::string& text, bool* converted) {
    if (converted) *converted = false;
    int needed = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(needed), L'\0');
    if (MultiByteToWideChar(codePage, 0, text.c_str(), -1, buffer.data(), needed) == 0) return {};
    if (converted) *converted = true;
    return std::wstring(buffer.data());
}

std::string WideToCodePage932(const std::wstring& text) { return WideToCodePage(kCodePage932, text, nullptr); }

std::wstring CodePage932ToWide(const std::string& text) { return CodePageToWide(kCodePage932, text, nullptr); }

bool ToCodePageExact(UINT codePage, const std::wstring& text, std::string* bytes) {
    bytes->clear();
    if (text.empty()) return true;
    const int length = static_cast<int>(text.size());
    // Plain flags suit every code page (UTF-8 refuses the best-fit ones); the round trip below
    // is what proves the bytes, since some platforms map lookalikes even with best-fit off.
    int needed = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    std::string narrow(static_cast<size_t>(needed), '\0');
    if (WideCharToMultiByte(codePage, 0, text.data(), length, &narrow[0], needed, nullptr, nullptr) != needed)
        return false;
    std::wstring back;
    if (!FromCodePageStrict(codePage, narrow, &back) || back != text) return false;
    *bytes = narrow;
    return true;
}

bool FromCodePageStrict(UINT codePage, const std::string& bytes, std::wstring* text) {
    text->clear();
    if (bytes.empty()) return true;
    const int length = static_cast<int>(bytes.size());
    int needed = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    text->resize(static_cast<size_t>(needed));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), length, &(*text)[0], needed) == needed;
}
