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
};

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
            return Fail(error, Quoted(child) +
                                   L" is a link: it may lead outside the game folder; copy what it "
                                   L"points to into the game folder instead");
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!CollectFolder(root, child, files, error)) return false;
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
    const std::vector<std::wstring> lines = SplitLines(text);
    for (size_t index = 0; index < lines.size(); ++index) {
        std::wstring line = lines[index];
        const size_t lineNumber = index + 1;
        if (line.empty() || line[0] == L'#') continue;
        std::replace(line.begin(), line.end(), L'/', L'\\');
        const std::wstring where = Quoted(orderFile) + L" line " + std::to_wstring(lineNumber) + L": ";
        if (!IsSafeListPath(line))
            return Fail(
                error,
                where + Quoted(line) +
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
    uint64_t capacity = 0;
    bool images = false;
    ImageStamp stamp;
    std::vector<PlannedFile> files;
    uint64_t totalBytes = 0;      // of the game files, as read
    uint64_t listBytes = 0;       // of setup.lst
    std::vector<DiscPlan> plans;  // one per disc begun
    ProgressReport* progress = nullptr;
};

std::wstring DiscFolder(const DiscSet& set, int disc) { return set.out + L"\\" + DiscFolderName(disc); }

std::string MarkerText(int disc) { return "drvno:" + std::to_string(disc) + kMarkerLineEnd; }

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

bool ResolvePaths(const DiscSetOptions& options, DiscSet* set, std::wstring* error) {
    if (!FullPath(options.gameFolder, &set->game) || !FullPath(options.outFolder, &set->out) ||
        !FullPath(options.installerPath, &set->installer) || !FullPath(options.iniPath, &set->ini) ||
        (!options.templatePath.empty() && !FullPath(options.templatePath, &set->templ)) ||
        (!options.orderFile.empty() && !FullPath(options.orderFile, &set->order)))
        return Fail(error, L"a path given on the command line cannot be resolved");
    if (!PathIsDirectoryW(set->game.c_str()))
        return Fail(error, L"the game folder " + Quoted(set->game) + L" does not exist");
    for (const std::wstring* control : {&set->installer, &set->ini, &set->templ}) {
        if (control->empty()) continue;
        DWORD attributes = GetFileAttributesW(control->c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Fail(error, Quoted(*control) + L" is not a file");
    }
    if (UpperCase(set->out + L"\\").rfind(UpperCase(set->game + L"\\"), 0) == 0)
        return Fail(error, L"the output folder " + Quoted(set->out) +
                               L" lies inside the game folder; the discs would "
                               L"end up on the next discs");
    if (PathFileExistsW(set->out.c_str()) && !PathIsDirectoryEmptyW(set->out.c_str()))
        return Fail(error, L"the output folder " + Quoted(set->out) + L" is not empty; give a new or an empty folder");
    return true;
}

bool CollectGameFiles(const DiscSetOptions& options, DiscSet* set, std::wstring* error) {
    std::vector<std::wstring> relatives;
    if (!set->order.empty()) {
        if (!ReadOrderFile(set->order, set->game, &relatives, error)) return false;
    } else {
        if (!CollectFolder(set->game, L"", &relatives, error)) return false;
        std::sort(relatives.begin(), relatives.end(), [](const std::wstring& a, const std::wstring& b) {
            return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
        });
    }
    std::set<std::wstring> seen;
    std::set<std::wstring> folders = {L"", L"DATA"};
    for (const std::wstring& relative : relatives) {
        if (!seen.insert(UpperCase(relative)).second)
            return Fail(error, Quoted(relative) + L" appears twice (names differing only in case count as one)");
        PlannedFile file;
        file.relative = relative;
        file.compress = WantsCompression(relative, options.compressPatterns);
        file.listPath = relative + (file.compress ? L".bz2" : L"");
        if (!QueryFileSize(set->game + L"\\" + relative, &file.size))
            return Fail(error, L"cannot read the size of " + Quoted(relative));
        if (!CheckListPath(file, options.installRoom, error) || !CheckImageLimits(file, options.images, error))
            return false;
        for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1))
            folders.insert(L"DATA\\" + UpperCase(relative.substr(0, slash)));
        if (folders.size() > kMostImageFolders)
            return Fail(error, L"the game has more than " + std::to_wstring(kMostImageFolders - 2) +
                                   L" folders, and a disc holds at most " + std::to_wstring(kMostImageFolders) +
                                   L" with its root and data folder (ISO 9660 numbers them in 16 bits)");
        std::string lineBytes;
        ToCodePage932Strict(ListLine(0, file.listPath, file.size, "00000000"), &lineBytes);
        set->listBytes += lineBytes.size() + 2;  // CR LF
        set->totalBytes += file.size;
        set->files.push_back(file);
        set->progress->Add(kScanning, file.size);
    }
    return true;
}

bool RefuseTooLarge(const PlannedFile& file, uint64_t stored, std::wstring* error) {
    return Fail(error, Quoted(file.relative) + L" takes " + std::to_wstring(stored) +
                           L" bytes on a disc, more than one disc of this capacity holds");
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
    if (EmptyDisc(set, last + 1).BytesWith(onDisc, stored) > set.capacity) return RefuseTooLarge(file, stored, error);
    if (last + 1 >= kMaxDiscs)
        return Fail(error, L"the game needs more than " + std::to_wstring(kMaxDiscs) +
                               L" discs of this capacity; drvno.dat can only mark discs 1 to 10");
    *disc = last + 1;
    return true;
}

// Every check before anything is written: the paths given, every game file's name and size
// against what the installer and the disc's file system accept, and the room the first disc
// needs for the installer and its control files.
bool PlanDiscSet(const DiscSetOptions& options, DiscSet* set, std::wstring* error) {
    if (options.installRoom < 4 || options.installRoom > 200)
        return Fail(error, L"the install room must lie between 4 and 200 characters");
    set->capacity = options.capacity;
    set->images = options.images;
    if (!ResolvePaths(options, set, error) || !CollectGameFiles(options, set, error)) return false;
    set->stamp.label = options.label.empty() ? DefaultVolumeLabel(set->ini, kFallbackLabel) : options.label;
    set->stamp.reproducible = options.reproducible;
    set->stamp.time = options.sourceDate;
    set->plans.push_back(EmptyDisc(*set, 0));
    const uint64_t firstDisc = set->plans[0].Bytes();
    if (firstDisc > set->capacity)
        return Fail(error, L"the installer and its control files alone need " + std::to_wstring(firstDisc) +
                               L" bytes on the disc, more than the capacity of " + std::to_wstring(set->capacity));
    // A plain file's size is known now; a compressed one's only once it is compressed.
    for (const PlannedFile& file : set->files)
        if (!file.compress && EmptyDisc(*set, 1).BytesWith(L"data\\" + file.listPath, file.size) > set->capacity)
            return RefuseTooLarge(file, file.size, error);
    return true;
}

// A game file's copy on a disc carries the file's own time, which the image records.
void CopyWriteTime(const std::wstring& source, const std::wstring& target) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data)) return;
    FileHandle file(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file) SetFileTime(file.get(), nullptr, nullptr, &data.ftLastWriteTime);
}

// Moves a file just stored on the disc before onto the given one.
bool MoveToDisc(const DiscSet& set, int disc, const std::wstring& listPath, std::wstring* error) {
    const std::wstring from = DiscFolder(set, disc - 1) + L"\\data\\" + listPath;
    const std::wstring to = DiscFolder(set, disc) + L"\\data\\" + listPath;
    if (!CreateParentOf(to, error)) return false;
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return Fail(error,
                    L"cannot move " + Quoted(from) + L" to the next disc (" + SystemErrorText(GetLastError()) + L")");
    // Folders left empty on the previous disc would only confuse whoever burns it.
    std::wstring parent = from.substr(0, from.find_last_of(L'\\'));
    const std::wstring previousData = DiscFolder(set, disc - 1) + L"\\data";
    while (parent.size() > previousData.size() && RemoveDirectoryW(parent.c_str()))
        parent = parent.substr(0, parent.find_last_of(L'\\'));
    return true;
}

bool BeginDisc(DiscSet* set, int disc, std::wstring* error) {
    if (!CreateFolderTree(DiscFolder(*set, disc) + L"\\data", error)) return false;
    set->plans.push_back(EmptyDisc(*set, disc));
    return true;
}

// Compressing and copying take turns file by file, each a phase of its own bytes that ends with
// its last file; *lastCompressed and *lastCopied are those files (null: none).
void BeginFilling(const DiscSet& set, const PlannedFile** lastCompressed, const PlannedFile** lastCopied) {
    uint64_t compressed = 0, copied = 0;
    *lastCompressed = *lastCopied = nullptr;
    for (const PlannedFile& file : set.files) {
        (file.compress ? compressed : copied) += file.size;
        *(file.compress ? lastCompressed : lastCopied) = &file;
    }
    if (*lastCompressed) set.progress->Begin(kCompressing, compressed);
    if (*lastCopied) set.progress->Begin(kCopying, copied);
}

// Stores every game file in list order, each on the disc the plan chooses once its stored size
// is known: plain files before they are copied, compressed ones after (moved on when needed).
bool FillDiscs(DiscSet* set, DiscSetResult* result, std::wstring* error) {
    if (!CreateFolderTree(DiscFolder(*set, 0) + L"\\data", error)) return false;
    const PlannedFile *lastCompressed, *lastCopied;
    BeginFilling(*set, &lastCompressed, &lastCopied);
    for (const PlannedFile& file : set->files) {
        int disc = static_cast<int>(set->plans.size()) - 1;
        if (!file.compress) {
            if (!ChooseDisc(*set, file, file.size, &disc, error)) return false;
            if (disc == static_cast<int>(set->plans.size()) && !BeginDisc(set, disc, error)) return false;
        }
        const std::wstring target = DiscFolder(*set, disc) + L"\\data\\" + file.listPath;
        if (!CreateParentOf(target, error)) return false;
        ByteProgress step = [&](uint64_t bytes) { set->progress->Add(file.compress ? kCompressing : kCopying, bytes); };
        FileDigest digest;
        const std::wstring source = set->game + L"\\" + file.relative;
        if (!(file.compress ? CompressWithDigest(source, target, &digest, error, step)
                            : CopyWithDigest(source, target, &digest, error, step)))
            return false;
        if (digest.size != file.size)
            return Fail(error, Quoted(file.relative) + L" changed its size while it was being written; try again");
        CopyWriteTime(source, target);
        uint64_t stored = digest.size;
        if (file.compress) {
            if (!QueryFileSize(target, &stored)) return Fail(error, L"cannot read the size of " + Quoted(target));
            if (!set->images && stored > kLargestFolderFile)
                return Fail(error, Quoted(file.relative) + L": compressed, " + FolderFileRefusal(stored));
            if (!ChooseDisc(*set, file, stored, &disc, error)) return false;
            if (disc == static_cast<int>(set->plans.size())) {
                if (!BeginDisc(set, disc, error) || !MoveToDisc(*set, disc, file.listPath, error)) return false;
            }
        }
        set->plans[static_cast<size_t>(disc)].AddFile(L"data\\" + file.listPath, stored);
        AuthoredFile authored;
        authored.listPath = file.listPath;
        authored.disc = disc;
        authored.size = digest.size;
        authored.storedSize = stored;
        authored.crc = digest.crc;
        authored.compressed = file.compress;
        result->files.push_back(authored);
        if (&file == lastCompressed || &file == lastCopied) set->progress->End(file.compress ? kCompressing : kCopying);
    }
    return true;
}

// setup.lst, the installer and its other control files on the first disc, a marker on each.
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
    for (int disc = 0; disc < static_cast<int>(set.plans.size()); ++disc)
        if (!WriteWholeFile(DiscFolder(set, disc) + L"\\drvno.dat", MarkerText(disc), error)) return false;
    return true;
}

}  // namespace

bool MakeDiscSet(const DiscSetOptions& options, ProgressReport* progress, DiscSetResult* result, std::wstring* error) {
    *result = DiscSetResult();
    DiscSet set;
    ProgressReport silent(true);
    set.progress = progress ? progress : &silent;
    set.progress->Begin(kScanning, 0);
    if (!PlanDiscSet(options, &set, error)) return false;
    set.progress->End(kScanning);
    if (!FillDiscs(&set, result, error) || !WriteControlFiles(set, *result, error)) return false;
    uint64_t imageBytes = 0;
    for (const DiscPlan& plan : set.plans) imageBytes += set.images ? plan.Bytes() : 0;
    if (set.images) set.progress->Begin(kWritingImages, imageBytes);
    const ByteProgress written = [&](uint64_t bytes) { set.progress->Add(kWritingImages, bytes); };
    for (int disc = 0; disc < static_cast<int>(set.plans.size()); ++disc) {
        const DiscPlan& plan = set.plans[static_cast<size_t>(disc)];
        result->discFolders.push_back(DiscFolder(set, disc));
        result->discBytes.push_back(plan.Bytes());
        if (!set.images) continue;
        result->discImages.push_back(DiscFolder(set, disc) + L".iso");
        if (!plan.image().Write(DiscFolder(set, disc), set.stamp, result->discImages.back(), error, written))
            return false;
    }
    set.progress->End(kWritingImages);
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
    std::vector<std::wstring> files;
    if (!CollectFolder(root, L"", &files, error)) return false;
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
