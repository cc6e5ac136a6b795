#include "disc_author.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "base/handles.h"
#include "base/text.h"
#include "file_digest.h"
#include "install/file_list.h"
#include "tool_text.h"

namespace {

constexpr size_t kMaxLineCharacters = 257;  // the installer reads 258 characters with the line feed
const char kMarkerLineEnd[] = "\r\n";

struct PlannedFile {
    std::wstring relative;  // inside the game folder
    std::wstring listPath;  // relative, plus ".bz2" when stored compressed
    uint64_t size = 0;
    bool compress = false;
};

bool Fail(std::wstring* error, const std::wstring& text) {
    *error = text;
    return false;
}

std::wstring Quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

bool FullPath(const std::wstring& path, std::wstring* full) {
    wchar_t buffer[32768];
    DWORD length = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
    if (length == 0 || length >= 32768) return false;
    *full = buffer;
    while (full->size() > 3 && full->back() == L'\\') full->pop_back();
    return true;
}

std::wstring UpperCase(const std::wstring& text) {
    std::wstring upper = text;
    if (!upper.empty()) CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

std::wstring LastComponent(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool CollectFolder(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files,
                   std::wstring* error) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) return true;
        return Fail(error, L"cannot list " + Quoted(folder) + L" (" + SystemErrorText(code) + L")");
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return Fail(error, Quoted(child) + L" is a link: it may lead outside the game folder; copy what it "
                               L"points to into the game folder instead");
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!CollectFolder(root, child, files, error)) return false;
        } else {
            files->push_back(child);
        }
    } while (FindNextFileW(find.get(), &data));
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes, std::wstring* error) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return Fail(error, L"cannot open " + Quoted(path) + L" (" + SystemErrorText(GetLastError()) + L")");
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) bytes->append(buffer, got);
    return true;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, std::wstring* error) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                nullptr) ||
                                     written != bytes.size())))
        return Fail(error, L"cannot write " + Quoted(path) + L" (" + SystemErrorText(GetLastError()) + L")");
    return true;
}

bool CreateFolderTree(const std::wstring& folder, std::wstring* error) {
    int result = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) return true;
    return Fail(error, L"cannot create the folder " + Quoted(folder) + L" (" + SystemErrorText(result) + L")");
}

bool CreateParentOf(const std::wstring& path, std::wstring* error) {
    return CreateFolderTree(path.substr(0, path.find_last_of(L'\\')), error);
}

// The publisher's order file: one list path per line, UTF-8 or code page 932, blank lines and
// lines starting with '#' skipped, '/' taken as '\'.
bool ReadOrderFile(const std::wstring& orderFile, const std::wstring& gameFolder, std::vector<std::wstring>* files,
                   std::wstring* error) {
    std::string bytes;
    if (!ReadWholeFile(orderFile, &bytes, error)) return false;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    std::wstring text;
    if (!FromUtf8Strict(bytes, &text) && !FromCodePage932Strict(bytes, &text))
        return Fail(error, Quoted(orderFile) + L" is neither UTF-8 nor code page 932 text");
    size_t start = 0;
    int lineNumber = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.empty() || line[0] == L'#') continue;
        std::replace(line.begin(), line.end(), L'/', L'\\');
        const std::wstring where = Quoted(orderFile) + L" line " + std::to_wstring(lineNumber) + L": ";
        if (!IsSafeListPath(line))
            return Fail(error, where + Quoted(line) +
                                   L" is refused: paths must stay inside the game folder (no drive, no leading \\, no . or .. parts)");
        DWORD attributes = GetFileAttributesW((gameFolder + L"\\" + line).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return Fail(error, where + Quoted(line) + L" does not exist in the game folder");
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            return Fail(error, where + Quoted(line) + L" is a folder; list its files one by one");
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return Fail(error, where + Quoted(line) + L" is a link: it may lead outside the game folder");
        files->push_back(line);
    }
    return true;
}

bool WantsCompression(const std::wstring& relative, const std::vector<std::wstring>& patterns) {
    const std::wstring name = LastComponent(relative);
    // A game file that itself ends in ".bz2" would be expanded by the installer; compressing it
    // once more makes it arrive under its own name.
    if (EndsWith(name, L".bz2")) return true;
    for (const std::wstring& pattern : patterns) {
        const bool byPath = pattern.find(L'\\') != std::wstring::npos;
        if (PathMatchSpecW((byPath ? relative : name).c_str(), pattern.c_str())) return true;
    }
    return false;
}

std::wstring ListLine(int disc, const std::wstring& listPath, uint64_t size, const std::string& crc) {
    return std::to_wstring(disc) + L"," + listPath + L"," + std::to_wstring(size) + L"," +
           std::wstring(crc.begin(), crc.end());
}

// Refuses what the installer would refuse or misread: every check goes through the installer's
// own line parser, behind an install folder of the room the publisher allows for.
bool CheckListPath(const PlannedFile& file, size_t installRoom, std::wstring* error) {
    const std::wstring what = Quoted(file.relative);
    if (file.relative.find(L',') != std::wstring::npos)
        return Fail(error, what + L": the name holds a comma, which setup.lst uses between fields; rename it");
    std::string bytes;
    if (!ToCodePage932Strict(file.listPath, &bytes))
        return Fail(error, what + L": the name holds a character that code page 932 (Shift_JIS) cannot store");
    if (!IsSafeListPath(file.listPath))
        return Fail(error, what + L": the path would lead outside the game folder or holds an empty, . or .. part");
    for (wchar_t c : file.listPath)
        if (c < 0x20) return Fail(error, what + L": the name holds a control character");
    const std::wstring line = ListLine(kMaxDiscs - 1, file.listPath, file.size, "00000000");
    if (line.size() > kMaxLineCharacters)
        return Fail(error, what + L": the setup.lst line would be " + std::to_wstring(line.size()) +
                               L" characters; the installer reads at most " + std::to_wstring(kMaxLineCharacters));
    std::wstring installPath = L"C:\\" + std::wstring(installRoom > 4 ? installRoom - 4 : 0, L'x') + L"\\";
    FileEntry entry = {};
    if (!ParseFileListLine(line.c_str(), installPath.c_str(), &entry))
        return Fail(error, what + L": the path is too long for the installer (259 characters) once it stands "
                                  L"behind an install folder of " + std::to_wstring(installRoom) +
                               L" characters and \"data\\\"; shorten it or lower --install-room");
    if (std::wstring(entry.sourcePath) != L"data\\" + file.listPath || entry.size != static_cast<int64_t>(file.size) ||
        entry.disc != kMaxDiscs - 1 || std::wstring(entry.crcText) != L"00000000")
        return Fail(error, what + L": the installer would not read its setup.lst line back as written "
                                  L"(blanks or commas at the ends of a name?)");
    return true;
}

}  // namespace

std::wstring DiscFolderName(int disc) {
    return L"disc" + std::to_wstring(disc + 1);
}

bool ParseCapacity(const std::wstring& text, uint64_t* capacity) {
    const std::wstring lower = [&] {
        std::wstring l = text;
        for (wchar_t& c : l) c = static_cast<wchar_t>(std::towlower(c));
        return l;
    }();
    if (lower == L"cd650") return *capacity = 681984000, true;
    if (lower == L"cd700") return *capacity = kCd700Capacity, true;
    if (lower == L"dvd5") return *capacity = 4700372992ULL, true;
    if (lower == L"dvd9") return *capacity = 8543666176ULL, true;
    if (lower.empty() || !std::iswdigit(lower[0])) return false;
    size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(lower, &used, 10);
    } catch (...) {
        return false;
    }
    const std::wstring suffix = lower.substr(used);
    uint64_t unit = 1;
    if (suffix == L"k" || suffix == L"kib") unit = 1ULL << 10;
    else if (suffix == L"m" || suffix == L"mib") unit = 1ULL << 20;
    else if (suffix == L"g" || suffix == L"gib") unit = 1ULL << 30;
    else if (!suffix.empty()) return false;
    if (value == 0 || value > UINT64_MAX / unit) return false;
    *capacity = value * unit;
    return true;
}

bool MakeDiscSet(const DiscSetOptions& options, const AuthorProgress& progress, DiscSetResult* result,
                 std::wstring* error) {
    *result = DiscSetResult();
    std::wstring game, out, installer, ini, templ, order;
    if (!FullPath(options.gameFolder, &game) || !FullPath(options.outFolder, &out) ||
        !FullPath(options.installerPath, &installer) || !FullPath(options.iniPath, &ini) ||
        (!options.templatePath.empty() && !FullPath(options.templatePath, &templ)) ||
        (!options.orderFile.empty() && !FullPath(options.orderFile, &order)))
        return Fail(error, L"a path given on the command line cannot be resolved");
    if (!PathIsDirectoryW(game.c_str())) return Fail(error, L"the game folder " + Quoted(game) + L" does not exist");
    for (const std::wstring* control : {&installer, &ini, &templ}) {
        if (control->empty()) continue;
        DWORD attributes = GetFileAttributesW(control->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Fail(error, Quoted(*control) + L" is not a file");
    }
    if (UpperCase(out + L"\\").rfind(UpperCase(game + L"\\"), 0) == 0)
        return Fail(error, L"the output folder " + Quoted(out) + L" lies inside the game folder; the discs would "
                               L"end up on the next discs");
    if (PathFileExistsW(out.c_str()) && !PathIsDirectoryEmptyW(out.c_str()))
        return Fail(error, L"the output folder " + Quoted(out) + L" is not empty; give a new or an empty folder");
    if (options.installRoom < 4 || options.installRoom > 200)
        return Fail(error, L"the install room must lie between 4 and 200 characters");

    // Everything is checked before anything is written.
    std::vector<std::wstring> relatives;
    if (!order.empty()) {
        if (!ReadOrderFile(order, game, &relatives, error)) return false;
    } else {
        if (!CollectFolder(game, L"", &relatives, error)) return false;
        std::sort(relatives.begin(), relatives.end(), [](const std::wstring& a, const std::wstring& b) {
            return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
        });
    }
    std::vector<PlannedFile> plan;
    std::set<std::wstring> seen;
    uint64_t totalBytes = 0, listBytes = 0;
    for (const std::wstring& relative : relatives) {
        if (!seen.insert(UpperCase(relative)).second)
            return Fail(error, Quoted(relative) + L" appears twice (names differing only in case count as one)");
        PlannedFile file;
        file.relative = relative;
        file.compress = WantsCompression(relative, options.compressPatterns);
        file.listPath = relative + (file.compress ? L".bz2" : L"");
        if (!QueryFileSize(game + L"\\" + relative, &file.size))
            return Fail(error, L"cannot read the size of " + Quoted(relative));
        if (!CheckListPath(file, options.installRoom, error)) return false;
        std::string lineBytes;
        ToCodePage932Strict(ListLine(0, file.listPath, file.size, "00000000"), &lineBytes);
        listBytes += lineBytes.size() + 2;  // CR LF
        totalBytes += file.size;
        plan.push_back(file);
    }

    uint64_t controlBytes = 0;
    for (const std::wstring* control : {&installer, &ini, &templ}) {
        uint64_t size = 0;
        if (!control->empty() && QueryFileSize(*control, &size)) controlBytes += size;
    }
    const uint64_t markerBytes = std::string("drvno:0").size() + 2;
    const uint64_t firstDiscBase = controlBytes + listBytes + markerBytes;
    if (firstDiscBase > options.capacity)
        return Fail(error, L"the installer and its control files alone need " + std::to_wstring(firstDiscBase) +
                               L" bytes, more than the capacity of " + std::to_wstring(options.capacity));
    auto discBase = [&](int disc) { return disc == 0 ? firstDiscBase : markerBytes; };
    auto discFolder = [&](int disc) { return out + L"\\" + DiscFolderName(disc); };

    if (!CreateFolderTree(discFolder(0) + L"\\data", error)) return false;
    result->discBytes.push_back(firstDiscBase);
    result->discFolders.push_back(discFolder(0));
    int disc = 0;
    uint64_t doneBytes = 0;
    auto nextDisc = [&]() {
        ++disc;
        if (disc >= kMaxDiscs)
            return Fail(error, L"the game needs more than " + std::to_wstring(kMaxDiscs) +
                                   L" discs of this capacity; drvno.dat can only mark discs 1 to 10");
        if (!CreateFolderTree(discFolder(disc) + L"\\data", error)) return false;
        result->discBytes.push_back(discBase(disc));
        result->discFolders.push_back(discFolder(disc));
        return true;
    };
    auto tooLarge = [&](const PlannedFile& file, uint64_t stored) {
        return Fail(error, Quoted(file.relative) + L" takes " + std::to_wstring(stored) +
                               L" bytes on a disc, more than one disc of this capacity holds");
    };
    // A disc is full for a file when the file does not fit behind what it holds; an empty
    // disc other than the first (whose control files take room) cannot do better by moving on.
    auto mustMoveOn = [&](uint64_t stored) {
        return result->discBytes[disc] + stored > options.capacity;
    };
    auto discIsEmpty = [&]() { return disc > 0 && result->discBytes[disc] == discBase(disc); };
    for (const PlannedFile& file : plan) {
        // A plain file's size is known beforehand: refuse it or start a new disc before writing.
        if (!file.compress) {
            if (markerBytes + file.size > options.capacity) return tooLarge(file, file.size);
            if (mustMoveOn(file.size) && !nextDisc()) return false;
        }
        std::wstring target = discFolder(disc) + L"\\data\\" + file.listPath;
        if (!CreateParentOf(target, error)) return false;
        if (progress) progress(doneBytes, totalBytes, file.listPath);
        FileDigest digest;
        const std::wstring source = game + L"\\" + file.relative;
        ByteProgress step = [&](uint64_t bytes) {
            doneBytes += bytes;
            if (progress) progress(doneBytes, totalBytes, file.listPath);
        };
        if (!(file.compress ? CompressWithDigest(source, target, &digest, error, step)
                            : CopyWithDigest(source, target, &digest, error, step)))
            return false;
        if (digest.size != file.size)
            return Fail(error, Quoted(file.relative) + L" changed its size while it was being written; try again");
        uint64_t stored = digest.size;
        if (file.compress && !QueryFileSize(target, &stored))
            return Fail(error, L"cannot read the size of " + Quoted(target));
        if (mustMoveOn(stored)) {
            if (discIsEmpty() || markerBytes + stored > options.capacity) return tooLarge(file, stored);
            if (!nextDisc()) return false;
            const std::wstring moved = discFolder(disc) + L"\\data\\" + file.listPath;
            if (!CreateParentOf(moved, error)) return false;
            if (!MoveFileExW(target.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
                return Fail(error, L"cannot move " + Quoted(target) + L" to the next disc (" +
                                       SystemErrorText(GetLastError()) + L")");
            // Folders left empty on the previous disc would only confuse whoever burns it.
            std::wstring parent = target.substr(0, target.find_last_of(L'\\'));
            const std::wstring previousData = discFolder(disc - 1) + L"\\data";
            while (parent.size() > previousData.size() && RemoveDirectoryW(parent.c_str()))
                parent = parent.substr(0, parent.find_last_of(L'\\'));
        }
        result->discBytes[disc] += stored;
        AuthoredFile authored;
        authored.listPath = file.listPath;
        authored.disc = disc;
        authored.size = digest.size;
        authored.storedSize = stored;
        authored.crc = digest.crc;
        authored.compressed = file.compress;
        result->files.push_back(authored);
    }

    std::string list;
    for (const AuthoredFile& file : result->files) {
        std::string line;
        ToCodePage932Strict(ListLine(file.disc, file.listPath, file.size, file.crc), &line);
        list += line + "\r\n";
    }
    if (list.size() != listBytes) return Fail(error, L"internal error: setup.lst came out at an unexpected size");
    const std::wstring first = discFolder(0);
    if (!WriteWholeFile(first + L"\\setup.lst", list, error)) return false;
    const std::pair<const std::wstring*, const wchar_t*> copies[] = {
        {&installer, L"installer.exe"}, {&ini, L"setup.ini"}, {&templ, L"uninst.dat"}};
    for (const auto& [source, name] : copies) {
        const std::wstring target = first + L"\\" + name;
        if (source->empty()) {
            if (!WriteWholeFile(target, std::string(), error)) return false;
        } else if (!CopyFileW(source->c_str(), target.c_str(), FALSE) ||
                   !SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL)) {
            return Fail(error, L"cannot copy " + Quoted(*source) + L" to " + Quoted(target) + L" (" +
                                   SystemErrorText(GetLastError()) + L")");
        }
    }
    for (int d = 0; d <= disc; ++d) {
        const std::string marker = "drvno:" + std::to_string(d) + kMarkerLineEnd;
        if (!WriteWholeFile(discFolder(d) + L"\\drvno.dat", marker, error)) return false;
    }
    return true;
}
