#include "disc_verify.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "base/handles.h"
#include "base/interaction.h"
#include "base/paths.h"
#include "disc_author.h"
#include "file_digest.h"
#include "input_checks.h"
#include "iso_reader.h"
#include "records/list_format.h"
#include "tool_text.h"
#include "transfer/crc32.h"
#include "transfer/expand.h"

namespace {

constexpr size_t kMaxLineCharacters = kListLineCapacity - 1;  // the line feed takes one
// drvno.dat and setup.lst read from an image are held whole; setup.lst of 10,000 files is about 1 MB.
constexpr uint64_t kLargestControlFile = 64u << 20;
const wchar_t kChecking[] = L"checking";

// While a set is verified, the boxes the installer's own transfer code would show are
// collected as text: nobody sits at a console tool to answer them.
class CollectedMessages final : public Interaction {
public:
    CollectedMessages() { BindInteraction(this); }
    ~CollectedMessages() override { BindInteraction(nullptr); }
    CollectedMessages(const CollectedMessages&) = delete;
    CollectedMessages& operator=(const CollectedMessages&) = delete;

    int Message(HWND, const wchar_t* text, const wchar_t*, UINT) override {
        std::lock_guard<std::mutex> hold(lock_);
        texts_.push_back(text);
        return IDOK;
    }
    PIDLIST_ABSOLUTE BrowseForFolder(BROWSEINFOW*) override { return nullptr; }
    SHORT AsyncKeyState(int) override { return 0; }

    // Everything shown since the last call, on one line.
    std::wstring Take() {
        std::lock_guard<std::mutex> hold(lock_);
        std::wstring joined;
        for (const std::wstring& text : texts_) joined += (joined.empty() ? L"" : L" / ") + text;
        texts_.clear();
        for (wchar_t& c : joined)
            if (c == L'\n') c = L' ';
        return joined;
    }

private:
    std::mutex lock_;
    std::vector<std::wstring> texts_;
};

// What the installer's own expansion reports while verify reads: the expanded bytes, as progress.
class CountingSink final : public ProgressSink {
public:
    explicit CountingSink(const ByteProgress& progress) : progress_(progress) {}
    void CountSourceBytes(uint64_t) override {}
    void CountWrittenBytes(uint64_t bytes) override {
        if (progress_) progress_(bytes);
    }
    bool ShouldStop() override { return false; }
    HWND Owner() const override { return nullptr; }

private:
    const ByteProgress& progress_;
};

// Expands sourceBytes of compressed data at the open file's position exactly as the installer
// does, measuring what comes out without writing it anywhere.
bool ExpandInPlace(HANDLE source, uint64_t sourceBytes, const std::wstring& name, CollectedMessages* messages,
                   const ByteProgress& progress, FileDigest* digest, std::wstring* error) {
    CMakeCRC32 crc;
    uint64_t size = 0;
    CountingSink sink(progress);
    const bool expanded = ExpandBz2Stream(
        source, sourceBytes, name.c_str(),
        [&](const uint8_t* bytes, size_t count) {
            crc.Update(bytes, count);
            size += count;
            return true;
        },
        sink);
    if (!expanded) {
        const std::wstring shown = messages->Take();
        *error = L"the installer stops at \"" + name + L"\": " + (shown.empty() ? L"expansion failed" : shown);
        return false;
    }
    char text[16] = {};
    crc.HexDigest(text);
    digest->size = size;
    digest->crc = text;
    return true;
}

// The Joliet and the UDF tree name the same folders and files, with the same bytes.
bool SameTrees(const ImageSource& image, const std::vector<ImageEntry>& joliet, const std::vector<ImageEntry>& udf,
               bool hasUdf, std::wstring* error) {
    if (!hasUdf) return true;
    std::map<std::wstring, const ImageEntry*> byPath;
    for (const ImageEntry& entry : udf) byPath[entry.path] = &entry;
    for (const ImageEntry& entry : joliet) {
        auto found = byPath.find(entry.path);
        if (found == byPath.end())
            return image.Fail(L"names \"" + entry.path + L"\" in its Joliet tree but not in its UDF tree", error);
        if (found->second->folder != entry.folder || !SameImageBytes(image, entry, *found->second))
            return image.Fail(L"holds \"" + entry.path + L"\" differently in its Joliet and UDF trees", error);
        byPath.erase(found);
    }
    if (!byPath.empty())
        return image.Fail(L"names \"" + byPath.begin()->first + L"\" in its UDF tree but not in its Joliet tree",
                          error);
    return true;
}

// The ISO 9660 tree, whose names are its own, holds the same files as the Joliet tree: as many
// folders and files at each depth, with the same bytes.
bool SameData(const ImageSource& image, const std::vector<ImageEntry>& joliet, const std::vector<ImageEntry>& iso,
              std::wstring* error) {
    using Key = std::tuple<size_t, bool, uint64_t, uint64_t>;  // depth, folder, size, first byte
    auto keyed = [](const std::vector<ImageEntry>& entries) {
        std::vector<std::pair<Key, const ImageEntry*>> keys;
        for (const ImageEntry& entry : entries)
            keys.push_back({{std::count(entry.path.begin(), entry.path.end(), L'\\'), entry.folder, entry.size,
                             entry.extents.empty() ? 0 : entry.extents[0].offset},
                            &entry});
        std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        return keys;
    };
    const auto a = keyed(joliet), b = keyed(iso);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (i >= a.size() || i >= b.size() || std::get<0>(a[i].first) != std::get<0>(b[i].first) ||
            std::get<1>(a[i].first) != std::get<1>(b[i].first) || !SameImageBytes(image, *a[i].second, *b[i].second))
            return image.Fail(L"holds other files in its ISO 9660 tree than in its Joliet tree (" +
                                  (i < a.size() ? L"\"" + a[i].second->path + L"\"" : std::wstring(L"more")) + L")",
                              error);
    }
    return true;
}

bool IsImage(const std::wstring& path) { return lstrcmpiW(PathFindExtensionW(path.c_str()), L".iso") == 0; }

bool IsHexCrc(const std::wstring& text) {
    if (text.size() != 8) return false;
    for (wchar_t c : text)
        if (!iswxdigit(c)) return false;
    return true;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

void CollectData(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            CollectData(root, child, files);
        else
            files->push_back(child);
    } while (FindNextFileW(find.get(), &data));
}

// A disc as verify reads it: a folder, or an image read in place through its Joliet tree, as
// Windows reads the disc.
class DiscReader {
public:
    // For an image, its ISO 9660 and UDF trees must hold what its Joliet tree holds.
    bool Open(const std::wstring& disc, std::vector<std::wstring>* notes, std::wstring* error) {
        name_ = disc;
        if (!IsImage(disc)) {
            while (name_.size() > 3 && IsPathSeparator(name_.back())) name_.pop_back();
            return true;
        }
        image_ = std::make_unique<ImageSource>();
        std::vector<ImageEntry> joliet, iso, udf;
        bool hasUdf = false;
        if (!image_->Open(disc, error) || !ReadEcma119Tree(*image_, true, &joliet, error) ||
            !ReadEcma119Tree(*image_, false, &iso, error) || !ReadUdfTree(*image_, &hasUdf, &udf, error))
            return false;
        if (!hasUdf)
            notes->push_back(L"\"" + disc + L"\" has no UDF tree: Windows reads its Joliet tree, files up to 4 GiB");
        if (!SameTrees(*image_, joliet, udf, hasUdf, error) || !SameData(*image_, joliet, iso, error)) return false;
        for (ImageEntry& entry : joliet)
            if (!entry.folder) files_.emplace(UpperCase(entry.path), std::move(entry));
        return true;
    }

    // The folder, or the image's path.
    const std::wstring& name() const { return name_; }
    std::wstring PathOf(const std::wstring& path) const { return name_ + L"\\" + path; }
    bool FromImage() const { return image_ != nullptr; }

    // path: relative to the disc's root, '\' between its parts; a file, not a folder.
    bool Has(const std::wstring& path) const {
        if (image_) return files_.count(UpperCase(path)) != 0;
        const DWORD attributes = GetFileAttributesW(PathOf(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    bool ReadSmall(const std::wstring& path, std::string* bytes, std::wstring* error) const {
        if (!image_) return ReadWholeFile(PathOf(path), bytes, error);
        const auto found = files_.find(UpperCase(path));
        if (found == files_.end() || found->second.size > kLargestControlFile || found->second.extents.size() != 1) {
            *error = L"\"" + PathOf(path) + L"\" cannot be read";
            return false;
        }
        bytes->resize(static_cast<size_t>(found->second.size));
        return image_->Read(found->second.extents[0].offset, bytes->data(), bytes->size()) ||
               image_->Fail(L"cannot be read (" + SystemErrorText(GetLastError()) + L")", error);
    }

    // The size and CRC-32 of a file as the installer writes it: expanded by the installer's own
    // code when it is compressed. progress hears of the bytes as they come.
    bool Digest(const std::wstring& path, bool compressed, CollectedMessages* messages, const ByteProgress& progress,
                FileDigest* digest, std::wstring* error) const {
        if (!image_) {
            if (!compressed) return CopyWithDigest(PathOf(path), std::wstring(), digest, error, progress);
            FileHandle file(CreateFileW(PathOf(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            LARGE_INTEGER size{};
            if (!file || !GetFileSizeEx(file.get(), &size)) return CannotRead(path, error);
            return ExpandInPlace(file.get(), static_cast<uint64_t>(size.QuadPart), PathOf(path), messages, progress,
                                 digest, error);
        }
        const ImageEntry& entry = files_.at(UpperCase(path));
        if (!compressed) return DigestEntry(*image_, entry, progress, digest) || CannotRead(path, error);
        for (size_t i = 1; i < entry.extents.size(); ++i)
            if (entry.extents[i].offset != entry.extents[i - 1].offset + entry.extents[i - 1].bytes) {
                *error = L"\"" + PathOf(path) + L"\" lies in pieces that do not follow each other";
                return false;
            }
        FileHandle file(CreateFileW(name_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER start{};
        start.QuadPart = static_cast<LONGLONG>(entry.extents.empty() ? 0 : entry.extents[0].offset);
        if (!file || !SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) return CannotRead(path, error);
        return ExpandInPlace(file.get(), entry.size, PathOf(path), messages, progress, digest, error);
    }

    // The files in the data folder, relative to it.
    std::vector<std::wstring> DataFiles() const {
        std::vector<std::wstring> files;
        if (!image_) {
            CollectData(PathOf(L"data"), L"", &files);
            return files;
        }
        for (const auto& [key, entry] : files_)
            if (key.compare(0, 5, L"DATA\\") == 0) files.push_back(entry.path.substr(5));
        return files;
    }

private:
    bool CannotRead(const std::wstring& path, std::wstring* error) const {
        *error = L"\"" + PathOf(path) + L"\" cannot be read (" + SystemErrorText(GetLastError()) + L")";
        return false;
    }

    std::wstring name_;
    std::unique_ptr<ImageSource> image_;        // none for a folder
    std::map<std::wstring, ImageEntry> files_;  // an image's, by upper-cased path
};

int ParseDiscNumber(const std::string& bytes) {
    size_t start = bytes.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string::npos) return -1;
    const std::string word = bytes.substr(start, bytes.find_first_of(" \t\r\n\v\f", start) - start);
    if (word.size() < 7 || word.compare(0, 6, "drvno:") != 0 || word[6] < '0' || word[6] > '9') return -1;
    return word[6] - '0';
}

}  // namespace

int ReadDiscNumber(const std::wstring& discFolder) {
    std::string bytes;
    std::wstring error;
    return ReadWholeFile(discFolder + L"\\drvno.dat", &bytes, &error) ? ParseDiscNumber(bytes) : -1;
}

namespace {

// The sum of the sizes setup.lst lists: what checking reads, in installed bytes.
uint64_t ListedBytes(const std::vector<std::wstring>& lines) {
    uint64_t total = 0;
    for (const std::wstring& line : lines) {
        FileEntry entry = {};
        if (line.size() <= kMaxLineCharacters && ParseFileListLine(line.c_str(), L"C:\\", &entry) && entry.size > 0)
            total += static_cast<uint64_t>(entry.size);
    }
    return total;
}

// The first disc's setup.ini held against what the installer accepts. The installer reads it as
// a file, so from an image it is checked through a small copy in the temporary folder; where none
// can be made, a note says it went unchecked.
void CheckFirstSetupIni(const DiscReader& disc, const std::vector<std::wstring>& installed, VerifyReport* report) {
    const std::wstring shown = disc.PathOf(L"setup.ini");
    if (!disc.FromImage()) {
        CheckSetupIni(shown, installed, kDefaultInstallRoom, &report->problems);
        return;
    }
    std::string bytes;
    std::wstring error;
    if (!disc.ReadSmall(L"setup.ini", &bytes, &error)) {
        report->problems.push_back(error);
        return;
    }
    wchar_t folder[MAX_PATH], copy[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH || !GetTempFileNameW(folder, L"ini", 0, copy) ||
        !WriteWholeFile(copy, bytes, &error)) {
        report->notes.push_back(L"\"" + shown + L"\" was not checked: no copy of it could be made in the temporary folder");
        return;
    }
    std::vector<std::wstring> problems;
    CheckSetupIni(copy, installed, kDefaultInstallRoom, &problems);
    DeleteFileW(copy);
    for (std::wstring& problem : problems) {
        for (size_t at = problem.find(copy); at != std::wstring::npos; at = problem.find(copy, at + shown.size()))
            problem.replace(at, wcslen(copy), shown);
        report->problems.push_back(problem);
    }
}

bool VerifyDiscs(const std::vector<DiscReader>& readers, ProgressReport* progress, VerifyReport* report) {
    auto problem = [&](const std::wstring& text) { report->problems.push_back(text); };

    std::map<int, const DiscReader*> discs;
    for (const DiscReader& reader : readers) {
        std::string marker;
        std::wstring ignored;
        const int number = reader.ReadSmall(L"drvno.dat", &marker, &ignored) ? ParseDiscNumber(marker) : -1;
        if (number < 0) {
            problem(L"\"" + reader.name() + L"\" has no drvno.dat naming a disc (drvno:0 to drvno:9)");
            continue;
        }
        if (!discs.emplace(number, &reader).second)
            problem(L"\"" + reader.name() + L"\" and \"" + discs[number]->name() + L"\" both say they are disc " +
                    std::to_wstring(number + 1));
    }
    auto first = discs.find(0);
    if (first == discs.end()) {
        problem(L"the first disc (drvno:0) is not among the folders given");
        return false;
    }
    for (const wchar_t* control : {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"}) {
        if (!first->second->Has(control))
            problem(std::wstring(control) + L" is missing from the first disc; the installer cannot start without it");
    }
    std::string bytes;
    std::wstring readError;
    if (!first->second->ReadSmall(L"setup.lst", &bytes, &readError)) {
        problem(readError);
        return false;
    }
    std::wstring text;
    if (!FromCodePage932Strict(bytes, &text)) {
        problem(L"setup.lst is not code page 932 (Shift_JIS) text");
        return false;
    }

    const std::vector<std::wstring> lines = SplitLines(text);
    CollectedMessages messages;
    progress->Begin(kChecking, ListedBytes(lines));
    const ByteProgress checked = [&](uint64_t bytes) { progress->Add(kChecking, bytes); };

    std::map<int, std::set<std::wstring>> listed;  // upper-cased source paths per disc
    std::set<int> missingDiscs;
    std::vector<std::wstring> installed;  // as the installer names them inside the install folder
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        const std::wstring where = L"setup.lst line " + std::to_wstring(i + 1) + L": ";
        if (line.empty()) continue;  // the installer passes over blank lines too
        if (line.size() > kMaxLineCharacters) {
            problem(where + L"longer than the " + std::to_wstring(kMaxLineCharacters) +
                    L" characters the installer reads in one piece");
            continue;
        }
        FileEntry entry = {};
        if (!ParseFileListLine(line.c_str(), L"C:\\", &entry)) {
            problem(where + L"not a line of the form disc,path,size,crc that the installer accepts: \"" + line + L"\"");
            continue;
        }
        if (!IsSafeListPath(std::wstring(entry.sourcePath).substr(5))) {
            problem(where + L"the path leads outside the game folder");
            continue;
        }
        installed.push_back(entry.destinationPath + 3);  // behind "C:\\"
        if (!IsHexCrc(entry.crcText))
            problem(where + L"the CRC-32 \"" + std::wstring(entry.crcText) + L"\" is not eight hexadecimal digits");
        if (entry.disc > 9) {
            problem(where + L"disc number " + std::to_wstring(entry.disc) + L" cannot be marked by drvno.dat");
            continue;
        }
        auto disc = discs.find(entry.disc);
        if (disc == discs.end()) {
            if (missingDiscs.insert(entry.disc).second)
                problem(L"disc " + std::to_wstring(entry.disc + 1) + L" (drvno:" + std::to_wstring(entry.disc) +
                        L") is listed in setup.lst but was not given");
            continue;
        }
        listed[entry.disc].insert(UpperCase(entry.sourcePath));
        const std::wstring path = disc->second->PathOf(entry.sourcePath);
        if (!disc->second->Has(entry.sourcePath)) {
            problem(where + L"\"" + path + L"\" is missing");
            continue;
        }
        FileDigest digest;
        std::wstring error;
        const bool compressed = wcscmp(PathFindExtensionW(entry.sourcePath), L".bz2") == 0;
        const bool read = disc->second->Digest(entry.sourcePath, compressed, &messages, checked, &digest, &error);
        ++report->filesChecked;
        if (!read) {
            problem(where + error);
            continue;
        }
        if (digest.size != static_cast<uint64_t>(entry.size))
            problem(where + L"\"" + path + L"\" " + (compressed ? L"expands to " : L"holds ") +
                    std::to_wstring(digest.size) + L" bytes, the list says " + std::to_wstring(entry.size));
        const std::wstring crc(digest.crc.begin(), digest.crc.end());
        if (Lower(entry.crcText) != crc)
            problem(where + L"\"" + path + L"\" has the CRC-32 " + crc + L", the list says " + entry.crcText);
    }

    progress->End(kChecking);
    if (first->second->Has(L"setup.ini")) CheckFirstSetupIni(*first->second, installed, report);
    for (const auto& [number, disc] : discs)
        for (const std::wstring& file : disc->DataFiles())
            if (!listed[number].count(UpperCase(L"data\\" + file)))
                report->notes.push_back(L"\"" + disc->PathOf(L"data\\" + file) + L"\" is not in setup.lst");
    return report->problems.empty();
}

}  // namespace

bool VerifyDiscSet(const std::vector<std::wstring>& discs, ProgressReport* progress, VerifyReport* report) {
    *report = VerifyReport();
    std::vector<DiscReader> readers(discs.size());
    for (size_t i = 0; i < discs.size(); ++i) {
        std::wstring error;
        if (!readers[i].Open(discs[i], &report->notes, &error)) {
            report->problems.push_back(error);
            return false;
        }
    }
    ProgressReport silent(true);
    return VerifyDiscs(readers, progress ? progress : &silent, report);
}
