#include "disc_author.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwctype>
#include <set>

#include "base/handles.h"
#include "base/text.h"
#include "disc_image.h"
#include "file_digest.h"
#include "image_layout.h"
#include "input_checks.h"
#include "records/list_format.h"
#include "tool_text.h"

namespace {

constexpr size_t kMaxLineCharacters = kListLineCapacity - 1;  // the line feed takes one
const char kMarkerLineEnd[] = "\r\n";
const wchar_t* const kControlFileNames[] = {L"installer.exe", L"setup.ini", L"uninst.dat"};
const wchar_t kFallbackLabel[] = L"GAME";
// The phases of making discs as progress lines name them.
const wchar_t kScanning[] = L"scanning";
const wchar_t kCompressing[] = L"compressing";
const wchar_t kCopying[] = L"copying";
const wchar_t kWritingImages[] = L"writing images";
const wchar_t kWritingImage[] = L"writing the image";

struct PlannedFile {
    std::wstring relative;  // inside the game folder
    std::wstring listPath;  // relative, plus ".bz2" when stored compressed
    uint64_t size = 0;
    bool compress = false;
    uint64_t stored = 0;  // known once compressed
    FileDigest digest;    // of a compressed file once compressed, of a plain one once copied
    int disc = 0;         // 0-based, once placed
};

// Thrown from the progress of a copy or compression when the run is to stop; everything on the
// way is released by its owner.
struct Stopped {};

bool Fail(std::wstring* error, const std::wstring& text) {
    *error = text;
    return false;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

bool FullPath(const std::wstring& path, std::wstring* full) {
    wchar_t buffer[32768];
    DWORD length = GetFullPathNameW(path.c_str(), 32768, buffer, nullptr);
    if (length == 0 || length >= 32768) return false;
    *full = buffer;
    while (full->size() > 3 && full->back() == L'\\') full->pop_back();
    return true;
}

std::wstring LastComponent(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool CollectFolder(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files,
                   std::vector<std::wstring>* problems) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) return true;
        problems->push_back(L"cannot list " + Quoted(folder) + L" (" + SystemErrorText(code) + L")");
        return false;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            problems->push_back(Quoted(child) +
                                L" is a link: it may lead outside the game folder; copy what it "
                                L"points to into the game folder instead");
        else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!CollectFolder(root, child, files, problems)) return false;
        } else {
            files->push_back(child);
        }
    } while (FindNextFileW(find.get(), &data));
    return true;
}

bool CreateFolderTree(const std::wstring& folder, std::wstring* error) {
    int result = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) return true;
    return Fail(error, L"cannot create the folder " + Quoted(folder) + L" (" + SystemErrorText(result) + L")");
}

std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

bool CreateParentOf(const std::wstring& path, std::wstring* error) {
    return CreateFolderTree(ParentOf(path), error);
}

// The publisher's order file: one list path per line, UTF-8 or code page 932, blank lines and
// lines starting with '#' skipped, '/' taken as '\'.
bool ReadOrderFile(const std::wstring& orderFile, const std::wstring& gameFolder, std::vector<std::wstring>* files,
                   std::vector<std::wstring>* problems) {
    std::string bytes;
    std::wstring error;
    if (!ReadWholeFile(orderFile, &bytes, &error)) return problems->push_back(error), false;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    std::wstring text;
    if (!FromUtf8Strict(bytes, &text) && !FromCodePage932Strict(bytes, &text))
        return problems->push_back(Quoted(orderFile) + L" is neither UTF-8 nor code page 932 text"), false;
    const std::vector<std::wstring> lines = SplitLines(text);
    for (size_t index = 0; index < lines.size(); ++index) {
        std::wstring line = lines[index];
        const size_t lineNumber = index + 1;
        if (line.empty() || line[0] == L'#') continue;
        std::replace(line.begin(), line.end(), L'/', L'\\');
        const std::wstring where = Quoted(orderFile) + L" line " + std::to_wstring(lineNumber) + L": ";
        const DWORD attributes = IsSafeListPath(line) ? GetFileAttributesW((gameFolder + L"\\" + line).c_str())
                                                      : INVALID_FILE_ATTRIBUTES;
        if (!IsSafeListPath(line))
            problems->push_back(
                where + Quoted(line) +
                L" is refused: paths must stay inside the game folder (no drive, no leading \\, no . or .. parts)");
        else if (attributes == INVALID_FILE_ATTRIBUTES)
            problems->push_back(where + Quoted(line) + L" does not exist in the game folder");
        else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            problems->push_back(where + Quoted(line) + L" is a folder; list its files one by one");
        else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            problems->push_back(where + Quoted(line) + L" is a link: it may lead outside the game folder");
        else
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

// Windows reads a disc through its Joliet names; burners cut or drop what Joliet cannot hold,
// and the installer would then not find the file.
bool CheckJolietLimits(const PlannedFile& file, std::wstring* error) {
    const std::wstring onDisc = L"data\\" + file.listPath;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(onDisc.find(L'\\', start), onDisc.size());
        const size_t characters = end - start;
        if (characters > kJolietNameCharacters)
            return Fail(error, Quoted(file.relative) + L": the name " + Quoted(onDisc.substr(start, characters)) +
                                   L" has " + std::to_wstring(characters) +
                                   L" characters; a disc's Joliet names hold at most " +
                                   std::to_wstring(kJolietNameCharacters) + L", and burners cut longer ones");
        if (end == onDisc.size()) break;
        start = end + 1;
    }
    const size_t pathBytes = JolietPathBytes(onDisc);
    if (pathBytes > kJolietPathBytes)
        return Fail(error, Quoted(file.relative) + L": its path on the disc takes " + std::to_wstring(pathBytes) +
                               L" bytes in Joliet, which holds paths of at most " + std::to_wstring(kJolietPathBytes) +
                               L" (two bytes a character); shorten the names of its folders or of the file");
    return true;
}

// What a disc's file systems cannot hold: for a disc folder, which another burner writes without
// UDF, a file of 4 GiB or more; for mkdisc's own images, what ImageRefusal says.
bool CheckImageLimits(const PlannedFile& file, bool images, std::wstring* error) {
    const std::wstring why = images ? ImageRefusal(L"data\\" + file.listPath)
                                    : (file.size > kLargestFolderFile ? FolderFileRefusal(file.size) : L"");
    return why.empty() || Fail(error, Quoted(file.relative) + L": " + why);
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
    if (!CheckJolietLimits(file, error)) return false;
    const std::wstring line = ListLine(kMaxDiscs - 1, file.listPath, file.size, "00000000");
    if (line.size() > kMaxLineCharacters)
        return Fail(error, what + L": the setup.lst line would be " + std::to_wstring(line.size()) +
                               L" characters; the installer reads at most " + std::to_wstring(kMaxLineCharacters));
    std::wstring installPath = L"C:\\" + std::wstring(installRoom > 4 ? installRoom - 4 : 0, L'x') + L"\\";
    FileEntry entry = {};
    if (!ParseFileListLine(line.c_str(), installPath.c_str(), &entry))
        return Fail(error, what +
                               L": the path is too long for the installer (259 characters) once it stands "
                               L"behind an install folder of " +
                               std::to_wstring(installRoom) +
                               L" characters and \"data\\\"; shorten it or lower --install-room");
    if (std::wstring(entry.sourcePath) != L"data\\" + file.listPath || entry.size != static_cast<int64_t>(file.size) ||
        entry.disc != kMaxDiscs - 1 || std::wstring(entry.crcText) != L"00000000")
        return Fail(error, what +
                               L": the installer would not read its setup.lst line back as written "
                               L"(blanks or commas at the ends of a name?)");
    return true;
}

}  // namespace

std::wstring DiscFolderName(int disc) { return L"disc" + std::to_wstring(disc + 1); }

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
    if (lower == L"bd25") return *capacity = 12219392ULL * 2048, true;
    if (lower == L"bd50") return *capacity = 24438784ULL * 2048, true;
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
    if (suffix == L"k" || suffix == L"kib")
        unit = 1ULL << 10;
    else if (suffix == L"m" || suffix == L"mib")
        unit = 1ULL << 20;
    else if (suffix == L"g" || suffix == L"gib")
        unit = 1ULL << 30;
    else if (!suffix.empty())
        return false;
    if (value == 0 || value > UINT64_MAX / unit) return false;
    *capacity = value * unit;
    return true;
}

namespace {

// A disc's plan: exactly the image mkdisc writes itself, or the bound of the image a burner
// writes of its folder.
class DiscPlan {
public:
    explicit DiscPlan(bool exact) : exact_(exact) {}
    void AddFile(const std::wstring& path, uint64_t size) {
        exact_ ? image_.AddFile(path, size) : bound_.AddFile(path, size);
    }
    void AddFolder(const std::wstring& path) { exact_ ? image_.AddFolder(path) : bound_.AddFolder(path); }
    uint64_t BytesWith(const std::wstring& path, uint64_t size) const {
        return exact_ ? image_.BytesWith(path, size) : bound_.BytesWith(path, size);
    }
    uint64_t Bytes() const { return exact_ ? image_.Bytes() : bound_.Bytes(); }
    const ImageLayout& image() const { return image_; }

private:
    bool exact_;
    ImageLayout image_;
    DiscImagePlan bound_;
};

// What planning finds out, and filling and the control files build on.
struct DiscSet {
    std::wstring game, out, installer, ini, templ, order;  // full paths; templ and order may be empty
    std::wstring work;                                     // where the disc folders are made
    std::wstring packed;                                   // where compressed files wait for their disc
    uint64_t capacity = 0;
    bool images = false, imagesOnly = false;
    ImageStamp stamp;
    std::vector<PlannedFile> files;
    uint64_t totalBytes = 0;      // of the game files, as read
    uint64_t listBytes = 0;       // of setup.lst
    uint64_t cluster = 4096;      // of the output's volume: every file takes whole ones
    std::vector<DiscPlan> plans;  // one per disc begun
    const std::atomic<bool>* stop = nullptr;
    ProgressReport* progress = nullptr;
};

std::wstring DiscFolder(const DiscSet& set, int disc) { return set.work + L"\\" + DiscFolderName(disc); }

std::string MarkerText(int disc) { return "drvno:" + std::to_string(disc) + kMarkerLineEnd; }

void ThrowIfStopped(const DiscSet& set) {
    if (set.stop && set.stop->load()) throw Stopped();
}

// A disc holding nothing but what it always holds: its marker, its data folder and, on the
// first, the installer with its control files.
DiscPlan EmptyDisc(const DiscSet& set, int disc) {
    DiscPlan image(set.images);
    image.AddFolder(L"data");
    image.AddFile(L"drvno.dat", MarkerText(disc).size());
    if (disc > 0) return image;
    const std::wstring* sources[] = {&set.installer, &set.ini, &set.templ};
    for (size_t i = 0; i < 3; ++i) {
        uint64_t size = 0;
        if (!sources[i]->empty()) QueryFileSize(*sources[i], &size);
        image.AddFile(kControlFileNames[i], size);
    }
    image.AddFile(L"setup.lst", set.listBytes);
    return image;
}

const wchar_t kScratchSuffix[] = L".mkdisc-partial";
const wchar_t kScratchMarker[] = L"mkdisc-partial.txt";
const char kScratchMarkerText[] =
    "mkdisc makes the discs in this folder and moves them into the output folder when all is done.\r\n"
    "A run that was stopped leaves this folder behind; the next run removes it.\r\n";

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes a folder with everything in it; links inside are removed, never followed.
void RemoveFolderTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName, child = folder + L"\\" + name;
            if (name == L"." || name == L"..") continue;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveFolderTree(child);
            else if (!DeleteFileW(child.c_str()))
                RemoveDirectoryW(child.c_str());
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    RemoveDirectoryW(folder.c_str());
}

// The names in a folder that is not empty, a few of them, for the message that refuses it.
std::wstring SomeNamesIn(const std::wstring& folder) {
    std::wstring names;
    size_t count = 0;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (++count <= 3) names += (names.empty() ? L"" : L", ") + Quoted(name);
    } while (FindNextFileW(find.get(), &data));
    return count > 3 ? names + L" and " + std::to_wstring(count - 3) + L" more" : names;
}

// A scratch folder left by an earlier run is removed when its marker can go: a run still at work
// holds its marker open.
std::wstring ScratchRefusal(const std::wstring& out) {
    const std::wstring scratch = ScratchFolderOf(out);
    if (GetFileAttributesW(scratch.c_str()) == INVALID_FILE_ATTRIBUTES) return L"";
    if (!IsFile(scratch + L"\\" + kScratchMarker))
        return Quoted(scratch) +
               L" is in the way: mkdisc makes the discs under this name beside the output folder; "
               L"move it away";
    FileHandle marker(CreateFileW((scratch + L"\\" + kScratchMarker).c_str(), DELETE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!marker && GetLastError() == ERROR_SHARING_VIOLATION)
        return L"another mkdisc is making the discs for " + Quoted(out) + L" now (in " + Quoted(scratch) + L")";
    return L"";
}

// The output folder: a new folder in an existing one, or an empty folder; never a drive's root.
void CheckOutFolder(const DiscSet& set, std::vector<std::wstring>* problems) {
    const std::wstring& out = set.out;
    if (UpperCase(out + L"\\").rfind(UpperCase(set.game + L"\\"), 0) == 0)
        problems->push_back(L"the output folder " + Quoted(out) +
                            L" lies inside the game folder; the discs would end up on the next discs");
    const DWORD attributes = GetFileAttributesW(out.c_str());
    if (PathIsRootW(out.c_str()))
        problems->push_back(L"the output folder " + Quoted(out) + L" is a drive's root; give a folder on it");
    else if (attributes == INVALID_FILE_ATTRIBUTES && !PathIsDirectoryW(ParentOf(out).c_str()))
        problems->push_back(L"the folder " + Quoted(ParentOf(out)) +
                            L", in which the output folder is to be made, does not exist");
    else if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        problems->push_back(L"the output folder " + Quoted(out) + L" is a file");
    else if (attributes != INVALID_FILE_ATTRIBUTES && !PathIsDirectoryEmptyW(out.c_str()))
        problems->push_back(L"the output folder " + Quoted(out) + L" is not empty (it holds " + SomeNamesIn(out) +
                            L"); give a new or an empty folder, or empty this one");
    const std::wstring why = ScratchRefusal(out);
    if (!why.empty()) problems->push_back(why);
}

// False when the game folder cannot be read at all; every other problem is listed and the
// checks go on.
bool ResolvePaths(const DiscSetOptions& options, DiscSet* set, std::vector<std::wstring>* problems) {
    if (!FullPath(options.gameFolder, &set->game) || !FullPath(options.outFolder, &set->out) ||
        !FullPath(options.installerPath, &set->installer) || !FullPath(options.iniPath, &set->ini) ||
        (!options.templatePath.empty() && !FullPath(options.templatePath, &set->templ)) ||
        (!options.orderFile.empty() && !FullPath(options.orderFile, &set->order))) {
        problems->push_back(L"a path given on the command line cannot be resolved");
        return false;
    }
    const std::pair<const wchar_t*, const std::wstring*> inputs[] = {{L"--installer", &set->installer},
                                                                     {L"--ini", &set->ini},
                                                                     {L"--template", &set->templ},
                                                                     {L"--order", &set->order}};
    for (const auto& [option, path] : inputs) {
        if (path->empty()) continue;
        const DWORD attributes = GetFileAttributesW(path->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            problems->push_back(Quoted(*path) + L" (" + option + L") does not exist");
        else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            problems->push_back(Quoted(*path) + L" (" + option + L") is a folder, not a file");
    }
    CheckOutFolder(*set, problems);
    if (PathIsDirectoryW(set->game.c_str())) return true;
    problems->push_back(L"the game folder " + Quoted(set->game) + L" does not exist");
    return false;
}

bool CollectGameFiles(const DiscSetOptions& options, DiscSet* set, std::vector<std::wstring>* problems) {
    std::vector<std::wstring> relatives;
    if (!set->order.empty()) {
        if (IsFile(set->order) && !ReadOrderFile(set->order, set->game, &relatives, problems)) return false;
    } else {
        if (!CollectFolder(set->game, L"", &relatives, problems)) return false;
        std::sort(relatives.begin(), relatives.end(), [](const std::wstring& a, const std::wstring& b) {
            return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
        });
    }
    std::set<std::wstring> seen;
    std::set<std::wstring> folders = {L"", L"DATA"};
    for (const std::wstring& relative : relatives) {
        if (!seen.insert(UpperCase(relative)).second) {
            problems->push_back(Quoted(relative) + L" appears twice (names differing only in case count as one)");
            continue;
        }
        PlannedFile file;
        file.relative = relative;
        file.compress = WantsCompression(relative, options.compressPatterns);
        file.listPath = relative + (file.compress ? L".bz2" : L"");
        std::wstring why;
        if (!QueryFileSize(set->game + L"\\" + relative, &file.size))
            why = L"cannot read the size of " + Quoted(relative);
        if (why.empty() && CheckListPath(file, options.installRoom, &why)) CheckImageLimits(file, options.images, &why);
        if (!why.empty()) {
            problems->push_back(why);
            continue;
        }
        for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1))
            folders.insert(L"DATA\\" + UpperCase(relative.substr(0, slash)));
        if (folders.size() > kMostImageFolders) {
            problems->push_back(L"the game has more than " + std::to_wstring(kMostImageFolders - 2) +
                                L" folders, and a disc holds at most " + std::to_wstring(kMostImageFolders) +
                                L" with its root and data folder (ISO 9660 numbers them in 16 bits)");
            return false;
        }
        std::string lineBytes;
        ToCodePage932Strict(ListLine(0, file.listPath, file.size, "00000000"), &lineBytes);
        set->listBytes += lineBytes.size() + 2;  // CR LF
        set->totalBytes += file.size;
        set->files.push_back(file);
        set->progress->Add(kScanning, file.size);
    }
    return true;
}

// The control files against the game: setup.ini's AppExe must be one of the files installed.
void CheckControlFiles(const DiscSetOptions& options, const DiscSet& set, std::vector<std::wstring>* problems) {
    std::vector<std::wstring> installed;
    for (const PlannedFile& file : set.files) installed.push_back(file.relative);
    if (IsFile(set.ini)) CheckSetupIni(set.ini, installed, options.installRoom, problems);
    if (IsFile(set.installer)) CheckInstallerProgram(set.installer, problems);
    if (!set.templ.empty() && IsFile(set.templ)) CheckUninstallTemplate(set.templ, options.installRoom, problems);
}

std::wstring RefuseTooLarge(const PlannedFile& file, uint64_t stored) {
    return Quoted(file.relative) + L" takes " + std::to_wstring(stored) +
           L" bytes on a disc, more than one disc of this capacity holds";
}

// The disc a file of the given stored size goes on: the last one begun while its image still
// fits the capacity, otherwise a new one. Decides only; nothing is written.
bool ChooseDisc(const DiscSet& set, const PlannedFile& file, uint64_t stored, int* disc, std::wstring* error) {
    const std::wstring onDisc = L"data\\" + file.listPath;
    const int last = static_cast<int>(set.plans.size()) - 1;
    if (set.plans[static_cast<size_t>(last)].BytesWith(onDisc, stored) <= set.capacity) {
        *disc = last;
        return true;
    }
    if (EmptyDisc(set, last + 1).BytesWith(onDisc, stored) > set.capacity)
        return Fail(error, RefuseTooLarge(file, stored));
    if (last + 1 >= kMaxDiscs)
        return Fail(error, L"the game needs more than " + std::to_wstring(kMaxDiscs) +
                               L" discs of this capacity; drvno.dat can only mark discs 1 to 10");
    *disc = last + 1;
    return true;
}

// Every check that needs no compressed size, before anything is written: the paths given, the
// control files, every game file's name and size against what the installer and the disc's file
// system accept, and the room the first disc needs for the installer and its control files.
bool PlanDiscSet(const DiscSetOptions& options, DiscSet* set, std::vector<std::wstring>* problems) {
    if (options.installRoom < 4 || options.installRoom > 200)
        problems->push_back(L"the install room must lie between 4 and 200 characters");
    set->capacity = options.capacity;
    set->images = options.images || options.imagesOnly;
    set->imagesOnly = options.imagesOnly;
    set->stop = options.stop;
    if (ResolvePaths(options, set, problems) && CollectGameFiles(options, set, problems))
        CheckControlFiles(options, *set, problems);
    set->stamp.label = options.label.empty() ? DefaultVolumeLabel(set->ini, kFallbackLabel) : options.label;
    set->stamp.reproducible = options.reproducible;
    set->stamp.time = options.sourceDate;
    const uint64_t firstDisc = EmptyDisc(*set, 0).Bytes();
    if (firstDisc > set->capacity)
        problems->push_back(L"the installer and its control files alone need " + std::to_wstring(firstDisc) +
                            L" bytes on the disc, more than the capacity of " + std::to_wstring(set->capacity));
    // A plain file's size is known now; a compressed one's only once it is compressed.
    for (const PlannedFile& file : set->files)
        if (!file.compress && EmptyDisc(*set, 1).BytesWith(L"data\\" + file.listPath, file.size) > set->capacity)
            problems->push_back(RefuseTooLarge(file, file.size));
    return problems->empty();
}

// A game file's copy on a disc carries the file's own time, which the image records.
void CopyWriteTime(const std::wstring& source, const std::wstring& target) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data)) return;
    FileHandle file(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file) SetFileTime(file.get(), nullptr, nullptr, &data.ftLastWriteTime);
}

// The folder in which the scratch folder is made, and which volume it lies on.
struct Volume {
    std::wstring root;
    uint64_t freeBytes = 0;
    uint64_t cluster = 4096;
};

bool QueryVolume(const std::wstring& folder, Volume* volume, std::wstring* error) {
    wchar_t root[MAX_PATH + 1];
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1) ||
        !GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free))
        return Fail(error, L"cannot learn the free space of the volume of " + Quoted(folder) + L" (" +
                               SystemErrorText(GetLastError()) + L")");
    volume->root = root;
    volume->freeBytes = available.QuadPart;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
        sectorsPerCluster * bytesPerSector > 0)
        volume->cluster = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    return true;
}


uint64_t Clusters(const DiscSet& set, uint64_t bytes) { return (bytes + set.cluster - 1) / set.cluster * set.cluster; }

// The free space the rest of the run needs on the output's volume against what it has.
bool CheckFreeSpace(DiscSet* set, uint64_t (*needOf)(const DiscSet&), const wchar_t* what, std::wstring* error) {
    Volume volume;
    if (!QueryVolume(ParentOf(set->out), &volume, error)) return false;
    set->cluster = volume.cluster;
    const uint64_t need = needOf(*set);
    if (need <= volume.freeBytes) return true;
    return Fail(error,
                FormatText(L"not enough free space on %ls (the volume of \"%ls\"): %ls need %llu bytes (%ls MB), "
                           L"%llu bytes (%ls MB) are free",
                           volume.root.c_str(), ParentOf(set->out).c_str(), what, static_cast<unsigned long long>(need),
                           Megabytes(need).c_str(), static_cast<unsigned long long>(volume.freeBytes),
                           Megabytes(volume.freeBytes).c_str()));
}

// What the control files and markers take on the first disc's folder, in whole clusters.
uint64_t ControlBytes(const DiscSet& set, size_t discs) {
    uint64_t bytes = Clusters(set, set.listBytes) + discs * Clusters(set, MarkerText(0).size());
    for (const std::wstring* source : {&set.installer, &set.ini, &set.templ}) {
        uint64_t size = 0;
        if (!source->empty() && QueryFileSize(*source, &size)) bytes += Clusters(set, size);
    }
    return bytes;
}

// Before anything is compressed: the need with every compressed file at the most bzip2 can make
// of it (a little over its size for data that does not compress), as many discs as that fills
// twice over, and each file's image taking a sector more for its records than its data.
uint64_t NeedAtMost(const DiscSet& set) {
    uint64_t compressed = 0, plain = 0, imageBytes = 0;
    for (const PlannedFile& file : set.files) {
        const uint64_t stored = file.compress ? file.size + file.size / 32 + 4096 : file.size;
        (file.compress ? compressed : plain) += Clusters(set, stored);
        imageBytes += (stored + 2 * kSectorBytes - 1) / kSectorBytes * kSectorBytes;
    }
    const uint64_t discs = std::min<uint64_t>(kMaxDiscs, 1 + 2 * (compressed + plain) / set.capacity);
    imageBytes += discs * EmptyDisc(set, 0).Bytes();
    const uint64_t folders = compressed + plain + ControlBytes(set, static_cast<size_t>(discs));
    if (!set.images) return folders;
    if (!set.imagesOnly) return folders + imageBytes;
    return imageBytes + std::min(folders, set.capacity);  // each disc folder goes once its image is made
}

// Once compressed and placed: what is still to be written. Compressed files, already in the
// scratch folder, only move; with imagesOnly a disc's folder goes once its image is made, so
// the need is the highest point the discs reach, written last to first.
uint64_t NeedExactly(const DiscSet& set) {
    const size_t discs = set.plans.size();
    std::vector<uint64_t> plain(discs, 0), compressed(discs, 0);
    for (const PlannedFile& file : set.files)
        (file.compress ? compressed : plain)[static_cast<size_t>(file.disc)] += Clusters(set, file.stored);
    plain[0] += ControlBytes(set, discs);
    uint64_t need = 0, written = 0, freed = 0;
    for (size_t d = discs; d-- > 0;) {
        const uint64_t image = set.images ? set.plans[d].Bytes() : 0;
        if (!set.imagesOnly) {
            need += plain[d] + image;
            continue;
        }
        need = std::max(need, written + plain[d] + image > freed ? written + plain[d] + image - freed : 0);
        written += image;
        freed += compressed[d];
    }
    return need;
}

// The folder beside the output folder in which a run makes everything. A run that fails or is
// stopped removes it; one that is killed leaves it, with its marker, to the next run, which
// removes it and says so. Its marker stays open while the run works, which tells other runs.
class ScratchFolder {
public:
    ScratchFolder() = default;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() { Remove(); }

    bool Begin(const std::wstring& out, std::vector<std::wstring>* notes, std::wstring* error) {
        const std::wstring path = ScratchFolderOf(out);
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            RemoveFolderTree(path);
            notes->push_back(L"removed " + Quoted(path) + L", left by an earlier run of mkdisc that did not finish");
        }
        if (!CreateDirectoryW(path.c_str(), nullptr))
            return Fail(error, L"cannot create the scratch folder " + Quoted(path) + L" (" +
                                   SystemErrorText(GetLastError()) + L")");
        path_ = path;
        marker_.reset(CreateFileW((path + L"\\" + kScratchMarker).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!marker_ || !WriteFile(marker_.get(), kScratchMarkerText, sizeof kScratchMarkerText - 1, &written, nullptr))
            return Fail(error, L"cannot write in the scratch folder " + Quoted(path) + L" (" +
                                   SystemErrorText(GetLastError()) + L")");
        return CreateFolderTree(Discs(), error) && CreateFolderTree(Packed(), error);
    }
    std::wstring Discs() const { return path_ + L"\\discs"; }
    std::wstring Packed() const { return path_ + L"\\packed"; }

    // Moves the discs into the output folder: the whole folder when the output folder is new,
    // else each disc folder and image, moved back when one cannot move.
    bool Deliver(const std::wstring& out, std::wstring* error) {
        if (GetFileAttributesW(out.c_str()) == INVALID_FILE_ATTRIBUTES) {
            if (MoveFileW(Discs().c_str(), out.c_str())) return true;
            return Fail(error,
                        L"cannot move the discs into " + Quoted(out) + L" (" + SystemErrorText(GetLastError()) + L")");
        }
        std::vector<std::wstring> names, moved;
        WIN32_FIND_DATAW data;
        FindHandle find(FindFirstFileW((Discs() + L"\\*").c_str(), &data));
        if (find) {
            do {
                if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) names.push_back(data.cFileName);
            } while (FindNextFileW(find.get(), &data));
        }
        find.reset();
        for (const std::wstring& name : names) {
            if (MoveFileW((Discs() + L"\\" + name).c_str(), (out + L"\\" + name).c_str())) {
                moved.push_back(name);
                continue;
            }
            const DWORD code = GetLastError();
            for (const std::wstring& back : moved)
                MoveFileW((out + L"\\" + back).c_str(), (Discs() + L"\\" + back).c_str());
            return Fail(
                error, L"cannot move " + Quoted(name) + L" into " + Quoted(out) + L" (" + SystemErrorText(code) + L")");
        }
        return true;
    }

private:
    void Remove() {
        marker_.reset();
        if (!path_.empty()) RemoveFolderTree(path_);
        path_.clear();
    }
    std::wstring path_;
    FileHandle marker_;
};

// The bytes of the game files to be compressed, or of those to be copied as they are.
uint64_t BytesOf(const DiscSet& set, bool compressed) {
    uint64_t bytes = 0;
    for (const PlannedFile& file : set.files) bytes += file.compress == compressed ? file.size : 0;
    return bytes;
}

// Compresses every file to be compressed into the scratch folder, where it waits for its disc.
// Sizes that a disc cannot hold are listed.
bool CompressFiles(DiscSet* set, std::vector<std::wstring>* problems, std::wstring* error) {
    const uint64_t total = BytesOf(*set, true);
    if (total > 0) set->progress->Begin(kCompressing, total);
    const ByteProgress step = [&](uint64_t bytes) {
        ThrowIfStopped(*set);
        set->progress->Add(kCompressing, bytes);
    };
    for (PlannedFile& file : set->files) {
        if (!file.compress) continue;
        ThrowIfStopped(*set);
        const std::wstring source = set->game + L"\\" + file.relative;
        const std::wstring target = set->packed + L"\\" + file.listPath;
        if (!CreateParentOf(target, error)) return false;
        if (!CompressWithDigest(source, target, &file.digest, error, step)) return false;
        if (file.digest.size != file.size)
            return Fail(error, Quoted(file.relative) + L" changed its size while it was being written; try again");
        CopyWriteTime(source, target);
        if (!QueryFileSize(target, &file.stored)) return Fail(error, L"cannot read the size of " + Quoted(target));
        if (!set->images && file.stored > kLargestFolderFile)
            problems->push_back(Quoted(file.relative) + L": compressed, " + FolderFileRefusal(file.stored));
    }
    set->progress->End(kCompressing);
    return true;
}

// Puts every file on its disc in list order, now that every stored size is known.
bool PlaceFiles(DiscSet* set, std::vector<std::wstring>* problems) {
    set->plans.assign(1, EmptyDisc(*set, 0));
    for (PlannedFile& file : set->files) {
        if (!file.compress) file.stored = file.size;
        if (EmptyDisc(*set, 1).BytesWith(L"data\\" + file.listPath, file.stored) > set->capacity) {
            problems->push_back(RefuseTooLarge(file, file.stored));
            continue;
        }
        std::wstring why;
        if (!ChooseDisc(*set, file, file.stored, &file.disc, &why)) {
            problems->push_back(why);  // out of discs: the rest cannot be placed
            return false;
        }
        if (file.disc == static_cast<int>(set->plans.size())) set->plans.push_back(EmptyDisc(*set, file.disc));
        set->plans[static_cast<size_t>(file.disc)].AddFile(L"data\\" + file.listPath, file.stored);
    }
    return problems->empty();
}

// The files of one disc into its folder: plain ones copied from the game, compressed ones moved
// from where they wait.
bool FillDisc(DiscSet* set, int disc, std::wstring* error) {
    const ByteProgress step = [&](uint64_t bytes) {
        ThrowIfStopped(*set);
        set->progress->Add(kCopying, bytes);
    };
    if (!CreateFolderTree(DiscFolder(*set, disc) + L"\\data", error)) return false;
    for (PlannedFile& file : set->files) {
        if (file.disc != disc) continue;
        ThrowIfStopped(*set);
        const std::wstring target = DiscFolder(*set, disc) + L"\\data\\" + file.listPath;
        if (!CreateParentOf(target, error)) return false;
        if (file.compress) {
            if (!MoveFileW((set->packed + L"\\" + file.listPath).c_str(), target.c_str()))
                return Fail(error, L"cannot move " + Quoted(file.listPath) + L" onto its disc (" +
                                       SystemErrorText(GetLastError()) + L")");
            continue;
        }
        const std::wstring source = set->game + L"\\" + file.relative;
        if (!CopyWithDigest(source, target, &file.digest, error, step)) return false;
        if (file.digest.size != file.size)
            return Fail(error, Quoted(file.relative) + L" changed its size while it was being written; try again");
        CopyWriteTime(source, target);
    }
    return WriteWholeFile(DiscFolder(*set, disc) + L"\\drvno.dat", MarkerText(disc), error);
}

void ListFiles(const DiscSet& set, DiscSetResult* result) {
    result->files.clear();
    for (const PlannedFile& file : set.files) {
        AuthoredFile authored;
        authored.listPath = file.listPath;
        authored.disc = file.disc;
        authored.size = file.digest.size;
        authored.storedSize = file.stored;
        authored.crc = file.digest.crc;
        authored.compressed = file.compress;
        result->files.push_back(authored);
    }
}

// setup.lst, the installer and its other control files on the first disc.
bool WriteControlFiles(const DiscSet& set, const DiscSetResult& result, std::wstring* error) {
    std::string list;
    for (const AuthoredFile& file : result.files) {
        std::string line;
        ToCodePage932Strict(ListLine(file.disc, file.listPath, file.size, file.crc), &line);
        list += line + "\r\n";
    }
    if (list.size() != set.listBytes) return Fail(error, L"internal error: setup.lst came out at an unexpected size");
    const std::wstring first = DiscFolder(set, 0);
    if (!WriteWholeFile(first + L"\\setup.lst", list, error)) return false;
    const std::wstring* sources[] = {&set.installer, &set.ini, &set.templ};
    for (size_t i = 0; i < 3; ++i) {
        const std::wstring& source = *sources[i];
        const std::wstring target = first + L"\\" + kControlFileNames[i];
        if (source.empty()) {
            if (!WriteWholeFile(target, std::string(), error)) return false;
        } else if (!CopyFileW(source.c_str(), target.c_str(), FALSE) ||
                   !SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL)) {
            return Fail(error, L"cannot copy " + Quoted(source) + L" to " + Quoted(target) + L" (" +
                                   SystemErrorText(GetLastError()) + L")");
        }
    }
    return true;
}

// Writes the discs last to first, so that the first, whose setup.lst names every file's CRC-32,
// comes when all are known; each image follows its folder, which goes with imagesOnly.
bool WriteDiscs(DiscSet* set, DiscSetResult* result, std::wstring* error) {
    const uint64_t copied = BytesOf(*set, false);
    if (copied > 0) set->progress->Begin(kCopying, copied);
    uint64_t imageBytes = 0;
    for (const DiscPlan& plan : set->plans) imageBytes += plan.Bytes();
    if (set->images) set->progress->Begin(kWritingImages, imageBytes);
    const ByteProgress written = [&](uint64_t bytes) {
        ThrowIfStopped(*set);
        set->progress->Add(kWritingImages, bytes);
    };
    for (int disc = static_cast<int>(set->plans.size()) - 1; disc >= 0; --disc) {
        if (!FillDisc(set, disc, error)) return false;
        if (disc == 0) {
            ListFiles(*set, result);
            if (!WriteControlFiles(*set, *result, error)) return false;
        }
        ThrowIfStopped(*set);
        if (set->images && !set->plans[static_cast<size_t>(disc)].image().Write(
                               DiscFolder(*set, disc), set->stamp, DiscFolder(*set, disc) + L".iso", error, written))
            return false;
        if (set->imagesOnly) RemoveFolderTree(DiscFolder(*set, disc));
    }
    set->progress->End(kCopying);
    set->progress->End(kWritingImages);
    return true;
}

std::wstring Joined(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += (text.empty() ? L"" : L"\n") + line;
    return text;
}

bool MakeInScratch(DiscSet* set, ScratchFolder* scratch, DiscSetResult* result, std::wstring* error) {
    set->work = scratch->Discs();
    set->packed = scratch->Packed();
    std::vector<std::wstring> problems;
    if (!CompressFiles(set, &problems, error)) return false;
    if (!problems.empty() || !PlaceFiles(set, &problems)) return Fail(error, Joined(problems));
    return CheckFreeSpace(set, NeedExactly, L"the discs", error) && WriteDiscs(set, result, error);
}

}  // namespace

std::wstring ScratchFolderOf(const std::wstring& outFolder) { return outFolder + kScratchSuffix; }

bool MakeDiscSet(const DiscSetOptions& options, ProgressReport* progress, DiscSetResult* result, std::wstring* error) {
    *result = DiscSetResult();
    DiscSet set;
    ProgressReport silent(true);
    set.progress = progress ? progress : &silent;
    std::vector<std::wstring> problems;
    set.progress->Begin(kScanning, 0);
    if (!PlanDiscSet(options, &set, &problems)) return Fail(error, Joined(problems));
    set.progress->End(kScanning);
    if (!CheckFreeSpace(&set, NeedAtMost, L"the discs, compressed files counted at their largest,", error))
        return false;
    ScratchFolder scratch;
    try {
        if (!scratch.Begin(set.out, &result->notes, error) || !MakeInScratch(&set, &scratch, result, error))
            return false;
    } catch (const Stopped&) {
        return Fail(error, L"stopped; nothing was written to " + Quoted(set.out));
    }
    if (!scratch.Deliver(set.out, error)) return false;
    set.work = set.out;
    for (int disc = 0; disc < static_cast<int>(set.plans.size()); ++disc) {
        result->discBytes.push_back(set.plans[static_cast<size_t>(disc)].Bytes());
        if (!set.imagesOnly) result->discFolders.push_back(DiscFolder(set, disc));
        if (set.images) result->discImages.push_back(DiscFolder(set, disc) + L".iso");
    }
    return true;
}

bool MakeFolderImage(const std::wstring& folder, const std::wstring& imagePath, const ImageStamp& stamp,
                     uint64_t* bytes, std::wstring* error, ProgressReport* progress) {
    std::wstring root, image;
    if (!FullPath(folder, &root) || !FullPath(imagePath, &image))
        return Fail(error, L"a path given on the command line cannot be resolved");
    if (!PathIsDirectoryW(root.c_str())) return Fail(error, L"the disc folder " + Quoted(root) + L" does not exist");
    if (UpperCase(image).rfind(UpperCase(root + L"\\"), 0) == 0)
        return Fail(error, L"the image " + Quoted(image) + L" would lie inside the folder it is made of");
    std::vector<std::wstring> files, problems;
    if (!CollectFolder(root, L"", &files, &problems) || !problems.empty()) return Fail(error, problems[0]);
    std::sort(files.begin(), files.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    ImageLayout layout;
    for (const std::wstring& file : files) {
        uint64_t size = 0;
        if (!QueryFileSize(root + L"\\" + file, &size)) return Fail(error, L"cannot read the size of " + Quoted(file));
        const std::wstring why = ImageRefusal(file);
        if (!why.empty()) return Fail(error, Quoted(file) + L": " + why);
        layout.AddFile(file, size);
    }
    if (layout.Folders() > kMostImageFolders)
        return Fail(error, L"the folder holds more than the " + std::to_wstring(kMostImageFolders) +
                               L" folders an image can number (in 16 bits)");
    const std::wstring fallback = VolumeLabelFrom(LastComponent(root));
    ImageStamp named = stamp;
    if (named.label.empty())
        named.label = DefaultVolumeLabel(root + L"\\setup.ini", fallback.empty() ? kFallbackLabel : fallback);
    *bytes = layout.Bytes();
    ProgressReport silent(true);
    if (!progress) progress = &silent;
    progress->Begin(kWritingImage, *bytes);
    if (!layout.Write(root, named, image, error, [&](uint64_t written) { progress->Add(kWritingImage, written); }))
        return false;
    progress->End(kWritingImage);
    return true;
}

std::wstring DefaultVolumeLabel(const std::wstring& iniPath, const std::wstring& otherwise) {
    std::string bytes;
    std::wstring text, ignored;
    if (!ReadWholeFile(iniPath, &bytes, &ignored) || !FromCodePage932Strict(bytes, &text)) return otherwise;
    bool inSection = false;
    for (const std::wstring& line : SplitLines(text)) {
        if (!line.empty() && line[0] == L'[') {
            inSection = lstrcmpiW(line.c_str(), L"[INSTALLER]") == 0;
            continue;
        }
        const size_t equals = line.find(L'=');
        if (!inSection || equals == std::wstring::npos || lstrcmpiW(line.substr(0, equals).c_str(), L"AppName") != 0)
            continue;
        const std::wstring label = VolumeLabelFrom(line.substr(equals + 1));
        return label.empty() ? otherwise : label;
    }
    return otherwise;
}
