#include "input_checks.h"

#include <windows.h>

#include <cstdint>

#include "base/capacity.h"
#include "base/code_page.h"
#include "base/handles.h"
#include "base/text.h"
#include "records/settings.h"
#include "records/uninstall_record.h"
#include "resources/resource_ids.h"
#include "tool_text.h"

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kSubsystemGui = 2;
constexpr size_t kHeaderBytes = 4096;
// What an absent key reads as: no setup.ini value can hold it.
const wchar_t kAbsent[] = L"\x01";
const wchar_t kNameForbidden[] = L"\\/:*?\"<>|";

std::wstring Where(const std::wstring& path, size_t line) {
    return L"\"" + path + L"\"" + (line ? L" line " + std::to_wstring(line) : L"") + L": ";
}

// 1-based number of the first line of bytes that holds a byte the check rejects; 0 for none.
template <typename Reject>
size_t FirstLineWhere(const std::string& bytes, Reject reject) {
    size_t line = 1, start = 0;
    for (size_t end = 0; end <= bytes.size(); ++end) {
        if (end < bytes.size() && bytes[end] != '\n') continue;
        if (reject(bytes.substr(start, end - start))) return line;
        ++line;
        start = end + 1;
    }
    return 0;
}

bool IsAscii(const std::string& bytes) {
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// The text of a file that must be code page 932. UTF-8 is told apart first: much of it is also
// valid code page 932, which the installer would show as other characters.
bool ReadCodePage932Text(const std::wstring& path, std::wstring* text, std::vector<std::wstring>* problems) {
    std::string bytes;
    std::wstring error, ignored;
    if (!ReadWholeFile(path, &bytes, &error)) {
        problems->push_back(error);
        return false;
    }
    if (!IsAscii(bytes) && (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 || FromUtf8Strict(bytes, &ignored))) {
        problems->push_back(Where(path, FirstLineWhere(bytes, [](const std::string& line) { return !IsAscii(line); })) +
                            L"the file is UTF-8, but the installer reads it as code page 932 (Shift_JIS) and would "
                            L"show garbled text; save it as Shift_JIS");
        return false;
    }
    if (FromCodePage932Strict(bytes, text)) return true;
    problems->push_back(Where(path, FirstLineWhere(bytes,
                                                   [](const std::string& line) {
                                                       std::wstring decoded;
                                                       return !FromCodePage932Strict(line, &decoded);
                                                   })) +
                        L"not code page 932 (Shift_JIS) text");
    return false;
}

std::wstring Trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return L"";
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// Where setup.ini says what: the line of section [INSTALLER] and of each key in it (the first,
// which the profile functions read), 0 when absent.
struct IniLines {
    size_t section = 0;
    size_t Company = 0, AppName = 0, InstFolder = 0, AppExe = 0;
};

IniLines LocateIniLines(const std::wstring& text) {
    IniLines found;
    const std::vector<std::wstring> lines = SplitLines(text);
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring line = Trimmed(lines[i]);
        if (!line.empty() && line[0] == L'[') {
            inSection = lstrcmpiW(Trimmed(line.substr(1, line.find(L']') - 1)).c_str(), L"INSTALLER") == 0;
            if (inSection && !found.section) found.section = i + 1;
            continue;
        }
        const size_t equals = line.find(L'=');
        if (!inSection || equals == std::wstring::npos) continue;
        const std::wstring key = Trimmed(line.substr(0, equals));
        for (auto [name, where] : {std::pair<const wchar_t*, size_t*>{L"Company", &found.Company},
                                   {L"AppName", &found.AppName},
                                   {L"InstFolder", &found.InstFolder},
                                   {L"AppExe", &found.AppExe}})
            if (lstrcmpiW(key.c_str(), name) == 0 && !*where) *where = i + 1;
    }
    return found;
}

// Why a value cannot name a folder or a shortcut; empty when it can.
std::wstring NameRefusal(const std::wstring& value) {
    if (value.empty()) return L"is empty";
    for (wchar_t c : value)
        if (c < 0x20 || wcschr(kNameForbidden, c))
            return L"holds \"" + std::wstring(1, c) + L"\", which a folder or file name cannot hold";
    return L"";
}

std::wstring InstFolderRefusal(const std::wstring& value, size_t installRoom) {
    std::wstring why = NameRefusal(value);
    if (!why.empty()) return why;
    if (value.back() == L'.' || value.back() == L' ') return L"ends in a dot or a blank, which Windows drops";
    if (value.find(L',') != std::wstring::npos) return L"holds a comma, which uninst.dat cannot record";
    // The shortest place the player can pick: a drive's root, then the folder and its backslash.
    if (3 + value.size() + 1 > installRoom)
        return L"takes " + std::to_wstring(value.size()) +
               L" characters; behind a drive's root it needs more than the " + std::to_wstring(installRoom) +
               L" characters of --install-room";
    return L"";
}

bool NamesInstalledFile(std::wstring appExe, const std::vector<std::wstring>& installedFiles) {
    for (wchar_t& c : appExe)
        if (c == L'/') c = L'\\';
    for (const std::wstring& file : installedFiles)
        if (CompareStringOrdinal(file.c_str(), -1, appExe.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
    return false;
}

// Whether the whole value arrives: the profile functions read 255 bytes of it.
bool ValueFits(const std::wstring& value) { return WideToCodePage932(value).size() < kValueCapacity; }

uint16_t Word(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1])
                                                                             << 8);
}

struct ModuleTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Close(Type module) { FreeLibrary(module); }
};

bool ReadHeaders(const std::wstring& path, std::string* bytes, std::wstring* error) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD got = 0;
    bytes->assign(kHeaderBytes, '\0');
    if (file && ReadFile(file.get(), bytes->data(), static_cast<DWORD>(kHeaderBytes), &got, nullptr)) {
        bytes->resize(got);
        return true;
    }
    *error = L"cannot read \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

std::wstring MachineName(uint16_t machine) {
    if (machine == 0x8664) return L"x86_64";
    if (machine == 0xAA64) return L"ARM64";
    return FormatText(L"0x%04x", machine);
}

}  // namespace

void CheckSetupIni(const std::wstring& iniPath, const std::vector<std::wstring>& installedFiles, size_t installRoom,
                   std::vector<std::wstring>* problems) {
    std::wstring text;
    if (!ReadCodePage932Text(iniPath, &text, problems)) return;
    const IniLines lines = LocateIniLines(text);
    if (!lines.section) {
        problems->push_back(Where(iniPath, 0) +
                            L"has no section [INSTALLER]; the installer would show the title \"ゲーム\" and "
                            L"install into a folder \"ゲーム\" of a company \"Company\"");
        return;
    }
    struct Key {
        const wchar_t* name;
        size_t line;
    };
    for (const Key key : {Key{L"Company", lines.Company}, Key{L"AppName", lines.AppName},
                          Key{L"InstFolder", lines.InstFolder}, Key{L"AppExe", lines.AppExe}}) {
        wchar_t value[kValueCapacity];
        ReadInstallerValue(key.name, kAbsent, value, iniPath.c_str());
        const std::wstring where = Where(iniPath, key.line ? key.line : lines.section);
        if (!key.line || wcscmp(value, kAbsent) == 0) {
            problems->push_back(where + L"[INSTALLER] has no " + key.name + L"=");
            continue;
        }
        std::wstring written = SplitLines(text)[key.line - 1];
        written = Trimmed(written.substr(written.find(L'=') + 1));
        if (!ValueFits(written)) {
            problems->push_back(where + key.name + L" takes more than the " + std::to_wstring(kValueCapacity - 1) +
                                L" bytes the installer reads");
            continue;
        }
        const std::wstring name = key.name;
        std::wstring why;
        if (name == L"InstFolder")
            why = InstFolderRefusal(value, installRoom);
        else if (name == L"AppExe")
            why = !value[0] ? L"is empty"
                            : (NamesInstalledFile(value, installedFiles) ? L"" : L"names no file of the game");
        else
            why = NameRefusal(value);
        if (!why.empty()) problems->push_back(where + name + L" \"" + value + L"\" " + why);
    }
}

void CheckInstallerProgram(const std::wstring& path, std::vector<std::wstring>* problems) {
    const std::wstring where = Where(path, 0);
    std::string bytes;
    std::wstring error;
    if (!ReadHeaders(path, &bytes, &error)) {
        problems->push_back(error);
        return;
    }
    const size_t pe = bytes.size() >= 64 ? Word(bytes, 0x3C) | static_cast<size_t>(Word(bytes, 0x3E)) << 16 : 0;
    if (bytes.compare(0, 2, "MZ") != 0 || pe == 0 || pe + 24 + 70 > bytes.size() ||
        bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        problems->push_back(where + L"is not a Windows program; give the i686 build of installer.exe");
        return;
    }
    const uint16_t machine = Word(bytes, pe + 4);
    if (machine != kMachineI386) {
        problems->push_back(where + L"is a program for " + MachineName(machine) +
                            L", not a 32-bit (i386) one; give the i686 build of installer.exe");
        return;
    }
    const uint16_t subsystem = Word(bytes, pe + 24 + 68);
    if (subsystem != kSubsystemGui) {
        problems->push_back(where + L"is not a GUI program (subsystem " + std::to_wstring(subsystem) +
                            L"); give installer.exe, not a console program");
        return;
    }
    UniqueHandle<ModuleTraits> module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    std::wstring missing;
    for (int dialog : {IDD_MAIN, IDD_PROGRESS, IDD_UNINSTALL})
        if (!module || !FindResourceW(module.get(), MAKEINTRESOURCEW(dialog), MAKEINTRESOURCEW(5)))  // RT_DIALOG
            missing += (missing.empty() ? L"" : L", ") + std::to_wstring(dialog);
    if (!missing.empty())
        problems->push_back(where + L"lacks the installer's dialogs (" + missing + L"); it is not installer.exe");
}

void CheckUninstallTemplate(const std::wstring& path, size_t installRoom, std::vector<std::wstring>* problems) {
    std::wstring text;
    if (!ReadCodePage932Text(path, &text, problems)) return;
    const std::vector<std::wstring> lines = SplitLines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        const std::wstring where = Where(path, i + 1);
        int32_t kind = 0;
        std::wstring relative;
        const size_t comma = line.find(L',');
        const std::wstring kindText = line.substr(0, comma);
        wchar_t* end = nullptr;
        const long long number = wcstoll(kindText.c_str(), &end, 10);
        if (!ParseRecordLine(line, &kind, &relative) || comma == 0 || kindText.empty() || *end ||
            number != static_cast<int32_t>(number) || line.find(L',', comma + 1) != std::wstring::npos)
            problems->push_back(where + L"\"" + line + L"\" is not a line kind,path (a whole number, a comma, a path)");
        else if (!StaysInsideInstallFolder(relative))
            problems->push_back(where + L"\"" + relative + L"\" leads outside the install folder");
        else if (kindText.size() + 1 + installRoom + relative.size() > kRecordLineCharacters)
            problems->push_back(where + L"behind an install folder of " + std::to_wstring(installRoom) +
                                L" characters the line would be longer than the " +
                                std::to_wstring(kRecordLineCharacters) + L" characters uninst.dat can hold");
    }
}
