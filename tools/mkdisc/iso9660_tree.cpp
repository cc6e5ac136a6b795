#include "iso9660_tree.h"

namespace {

constexpr size_t kIsoBaseCharacters = 8;
constexpr size_t kIsoExtensionCharacters = 3;

bool IsDCharacter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_'; }

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

std::string DCharacters(const std::wstring& text, size_t most) {
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < most; ++i) {
        const wchar_t c = AsciiUpper(text[i]);
        out += IsDCharacter(c) ? static_cast<char>(c) : '_';
    }
    return out;
}

struct IsoName {
    std::string base, extension;
    bool file = false;
};

IsoName MapIsoName(const std::wstring& name, bool file) {
    if (!file) return {DCharacters(name, kIsoBaseCharacters), "", false};
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos) return {DCharacters(name, kIsoBaseCharacters), "", true};
    return {DCharacters(name.substr(0, dot), kIsoBaseCharacters),
            DCharacters(name.substr(dot + 1), kIsoExtensionCharacters), true};
}

std::string Identifier(const IsoName& name) { return name.file ? name.base + "." + name.extension + ";1" : name.base; }

// Records are ordered by name, then extension, each padded with blanks.
std::string SortKey(const IsoName& name) {
    return name.base + std::string(kIsoBaseCharacters - name.base.size(), ' ') + name.extension +
           std::string(kIsoExtensionCharacters - name.extension.size(), ' ');
}

}  // namespace

// Clashing names keep their extension and end their name in the lowest number that is free.
Ecma119Tree::RecordName Iso9660Tree::Name(const Records& siblings, const std::wstring& name, bool file) const {
    IsoName iso = MapIsoName(name, file);
    const std::string base = iso.base;
    for (unsigned count = 1; siblings.count(SortKey(iso)); ++count) {
        const std::string digits = std::to_string(count);
        iso.base = base.substr(0, kIsoBaseCharacters - digits.size()) + digits;
    }
    return {Identifier(iso), SortKey(iso)};
}
