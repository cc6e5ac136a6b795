#include "records/uninstall_record.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <string>

#include "base/code_page.h"
#include "base/handles.h"
#include "base/interaction.h"
#include "base/module.h"
#include "base/paths.h"
#include "base/text.h"
#include "records/list_format.h"

namespace {

const wchar_t kRecordName[] = L"uninst.dat";
const wchar_t kTemplateUnreadable[] =
    L"アンインストールファイルリストが開けません。\n\nインストールしたゲームデータは手動で削除してください。";
const wchar_t kRecordUnwritable[] =
    L"アンインストールファイルリストを作成できません。\n\nインストールしたゲームデータは手動で削除してください。";
const wchar_t kItemsLeftOut[] =
    L"アンインストールファイルリストに記録できないファイルがありました。\n\nインストールしたゲームデータは手動で削除して"
    L"ください。";

// The writer never produces a longer line and the reader never takes one in part.
constexpr size_t kMaxLineLength = kRecordLineCharacters;

enum class LineStatus { kEnd, kWhole, kTooLong };

// Reads one line without its line end. A line longer than kMaxLineLength is consumed to its end
// and reported as too long, so that no part of it is ever taken for a line of its own.
LineStatus ReadRecordLine(FILE* file, std::wstring* line) {
    line->clear();
    bool tooLong = false;
    wint_t c = fgetwc(file);
    if (c == WEOF) return LineStatus::kEnd;
    for (; c != WEOF && c != L'\n'; c = fgetwc(file)) {
        if (line->size() < kMaxLineLength) {
            line->push_back(static_cast<wchar_t>(c));
        } else {
            tooLong = true;
        }
    }
    return tooLong ? LineStatus::kTooLong : LineStatus::kWhole;
}

// True when code page 932 holds the text exactly, so that the reader gets it back.
bool RoundTripsThroughCodePage932(const std::wstring& text) {
    std::string bytes;
    return ToCodePageExact(kCodePage932, text, &bytes);
}

void ReportLeftOut(const wchar_t* reason, const std::wstring& text) {
    OutputDebugStringW(FormatText(L"uninst.dat: %ls: %ls\n", reason, text.c_str()).c_str());
}

// The line of an item, when the reader will get back exactly this path from it.
bool FormatRecordLine(int32_t kind, const std::wstring& path, std::wstring* line) {
    if (path.empty() || path.find_first_of(L",\r\n") != std::wstring::npos) return false;
    std::wstring text = FormatText(L"%d,%ls", static_cast<int>(kind), path.c_str());
    if (text.size() > kMaxLineLength || !RoundTripsThroughCodePage932(text)) return false;
    *line = text + L"\n";
    return true;
}

// Both paths lead to the same existing item.
bool NameSamePlace(const std::wstring& first, const std::wstring& second) {
    std::wstring firstLong, secondLong;
    if (!LongPathOf(first, &firstLong) || !LongPathOf(second, &secondLong)) return false;
    return CompareStringOrdinal(firstLong.c_str(), -1, secondLong.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// The 8.3 form of an existing item, or of the existing folder of a pattern with the pattern's
// last component kept; only when it verifiably names the same place.
bool ShortFormOf(const std::wstring& path, std::wstring* result) {
    std::wstring shortPath;
    if (ShortPathOf(path, &shortPath) && NameSamePlace(shortPath, path)) {
        *result = shortPath;
        return true;
    }
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash + 1 == path.size()) return false;
    std::wstring folder = path.substr(0, slash + 1);
    std::wstring shortFolder;
    if (!ShortPathOf(folder, &shortFolder) || !NameSamePlace(shortFolder, folder)) return false;
    if (shortFolder.empty() || shortFolder.back() != L'\\') shortFolder.push_back(L'\\');
    *result = shortFolder + path.substr(slash + 1);
    return true;
}

// Reads a file in the record's line format and hands each line that holds a kind and a path to
// take(kind, path). A line too long for the reader is reported with tooLongReason and skipped.
// False when the file does not open.
template <typename Take>
bool ReadRecordFile(const wchar_t* filePath, const wchar_t* tooLongReason, Take take) {
    StdioFile file(_wfopen(filePath, L"rt"));
    if (!file) return false;
    std::wstring line;
    for (;;) {
        LineStatus status = ReadRecordLine(file.get(), &line);
        if (status == LineStatus::kEnd) break;
        if (status == LineStatus::kTooLong) {
            ReportLeftOut(tooLongReason, line);
            continue;
        }
        int32_t kind = 0;
        std::wstring path;
        if (!ParseRecordLine(line, &kind, &path)) continue;
        take(kind, path);
    }
    return true;
}

// Appends the template's items, each under the install folder.
bool AppendTemplateItems(const std::wstring& templatePath, const wchar_t* installPath,
                         std::vector<UninstallItem>* items) {
    return ReadRecordFile(templatePath.c_str(), L"template line too long",
                          [&](int32_t kind, const std::wstring& relative) {
                              if (!StaysInsideInstallFolder(relative)) {
                                  ReportLeftOut(L"template path outside the install folder", relative);
                                  return;
                              }
                              UninstallItem item = {};
                              item.kind = kind;
                              if (!CopyText(item.path, installPath) || !AppendText(item.path, relative.c_str())) {
                                  ReportLeftOut(L"template path too long", relative);
                                  return;
                              }
                              items->push_back(item);
                          });
}

bool Fail(HWND owner, const wchar_t* message) {
    ShowErrorBox(owner, message);
    return false;
}

}  // namespace

bool ParseRecordLine(std::wstring line, int32_t* kind, std::wstring* path) {
    size_t end = line.find_first_of(L"\r\n");
    if (end != std::wstring::npos) line.resize(end);
    size_t position = line.find_first_not_of(L',');
    if (position == std::wstring::npos) return false;
    size_t kindEnd = line.find(L',', position);
    std::wstring kindText = line.substr(position,
                                        kindEnd == std::wstring::npos ? std::wstring::npos : kindEnd - position);
    if (kindEnd == std::wstring::npos) return false;
    position = line.find_first_not_of(L',', kindEnd);
    if (position == std::wstring::npos) return false;
    size_t pathEnd = line.find(L',', position);
    *path = line.substr(position, pathEnd == std::wstring::npos ? std::wstring::npos : pathEnd - position);
    long value = wcstol(kindText.c_str(), nullptr, 10);
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    *kind = static_cast<int32_t>(value);
    return !path->empty();
}

bool StaysInsideInstallFolder(const std::wstring& relative) {
    if (relative.empty() || IsPathSeparator(relative[0])) return false;
    if (relative.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = relative.size();
        std::wstring component = relative.substr(start, end - start);
        bool onlyDotsAndSpaces = !component.empty() && component.find_first_not_of(L". ") == std::wstring::npos;
        size_t dots = static_cast<size_t>(std::count(component.begin(), component.end(), L'.'));
        if (onlyDotsAndSpaces && dots >= 2) return false;
        start = end + 1;
    }
    return true;
}

bool WriteUninstallRecord(const wchar_t* installPath, std::vector<UninstallItem>* items, HWND owner) {
    if (!AppendTemplateItems(GetModuleFolder() + L"\\" + kRecordName, installPath, items))
        return Fail(owner, kTemplateUnreadable);

    std::wstring recordPath = std::wstring(installPath) + kRecordName;
    if (installPath[0] == L'\0') return Fail(owner, kRecordUnwritable);
    StdioFile record(_wfopen(recordPath.c_str(), L"at"));
    if (!record) return Fail(owner, kRecordUnwritable);

    bool written = true;
    bool leftOut = false;
    for (const UninstallItem& item : *items) {
        std::wstring path(item.path, wcsnlen(item.path, kPathCapacity));
        std::wstring line;
        // A path the line cannot carry (too long for the reader, a comma, a character code page
        // 932 lacks) goes in its 8.3 form when that form names the same item and fits. Otherwise
        // the item stays out of the record, and the player is told: a file left behind is better
        // than a wrong line, which could name, and so delete, something else. Volumes without
        // short names (exFAT, recent NTFS) have no 8.3 form; the main dialog refuses folders that
        // no line could carry before anything is installed.
        if (!FormatRecordLine(item.kind, path, &line)) {
            std::wstring shortPath;
            if (!ShortFormOf(path, &shortPath) || !FormatRecordLine(item.kind, shortPath, &line)) {
                ReportLeftOut(L"path cannot be recorded, left out", path);
                leftOut = true;
                continue;
            }
        }
        if (fputws(line.c_str(), record.get()) < 0) written = false;
    }
    if (fflush(record.get()) != 0 || ferror(record.get())) written = false;
    record.reset();
    if (!written) return Fail(owner, kRecordUnwritable);
    if (leftOut) return Fail(owner, kItemsLeftOut);
    return true;
}

RecordFolderFit CheckRecordFolder(const wchar_t* installPath) {
    const std::wstring folder(installPath);
    if (folder.find_first_of(L",\r\n") != std::wstring::npos || !RoundTripsThroughCodePage932(folder))
        return RecordFolderFit::kUnrecordableCharacters;

    size_t longestLine = 0;
    auto consider = [&](int32_t kind, const std::wstring& relative) {
        size_t length = FormatText(L"%d,", static_cast<int>(kind)).size() + folder.size() + relative.size();
        if (length > longestLine) longestLine = length;
    };
    for (const std::wstring& destination : ReadListedDestinations()) consider(0, destination);
    ReadRecordFile((GetModuleFolder() + L"\\" + kRecordName).c_str(), L"template line too long",
                   [&](int32_t kind, const std::wstring& relative) {
                       if (StaysInsideInstallFolder(relative)) consider(kind, relative);
                   });
    return longestLine > kMaxLineLength ? RecordFolderFit::kTooLong : RecordFolderFit::kFits;
}

bool ReadUninstallRecord(const wchar_t* recordPath, std::vector<UninstallItem>* items) {
    items->clear();
    return ReadRecordFile(recordPath, L"line too long, not taken", [items](int32_t kind, const std::wstring& path) {
        UninstallItem item = {};
        item.kind = kind;
        if (!CopyText(item.path, path.c_str())) return;
        items->push_back(item);
    });
}
