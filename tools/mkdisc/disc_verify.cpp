#include "disc_verify.h"

#include <windows.h>
#include <shellapi.h>
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
#include "install/progress_state.h"
#include "iso_reader.h"
#include "records/list_format.h"
#include "tool_text.h"
#include "transfer/expand.h"

namespace {

constexpr size_t kMaxLineCharacters = kListLineCapacity - 1;  // the line feed takes one

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

// A file in the temporary folder, removed when the object goes.
class TemporaryFile {
public:
    TemporaryFile() {
        wchar_t folder[MAX_PATH + 1], name[MAX_PATH + 1];
        DWORD length = GetTempPathW(MAX_PATH + 1, folder);
        if (length > 0 && length <= MAX_PATH && GetTempFileNameW(folder, L"mkd", 0, name)) path_ = name;
    }
    ~TemporaryFile() {
        if (!path_.empty()) DeleteFileW(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// Expands a .bz2 file of the disc exactly as the installer does, then measures what came out.
bool ExpandAsInstaller(const std::wstring& path, CollectedMessages* messages, FileDigest* digest, std::wstring* error) {
    TemporaryFile expanded;
    if (expanded.path().empty()) {
        *error = L"no temporary file to expand into (" + SystemErrorText(GetLastError()) + L")";
        return false;
    }
    ProgressState progress;  // an installation's record, on which nobody presses cancel
    if (!ExpandBz2File(path.c_str(), expanded.path().c_str(), progress)) {
        const std::wstring shown = messages->Take();
        *error = L"the installer stops at \"" + path + L"\": " + (shown.empty() ? L"expansion failed" : shown);
        return false;
    }
    return CopyWithDigest(expanded.path(), std::wstring(), digest, error, nullptr);
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

// An image's Joliet tree copied into a temporary folder, which goes with the object.
class ExtractedImage {
public:
    ExtractedImage() = default;
    ExtractedImage(const ExtractedImage&) = delete;
    ExtractedImage& operator=(const ExtractedImage&) = delete;
    ~ExtractedImage() {
        if (folder_.empty()) return;
        std::wstring from = folder_ + L'\0';  // the list of paths ends in two nulls
        SHFILEOPSTRUCTW remove = {};
        remove.wFunc = FO_DELETE;
        remove.pFrom = from.c_str();
        remove.fFlags = FOF_NO_UI;
        SHFileOperationW(&remove);
    }

    // Copies the image's Joliet tree, once its ISO 9660 and UDF trees are found to hold the same.
    bool Extract(const std::wstring& image, std::vector<std::wstring>* notes, std::wstring* error) {
        TemporaryFile name;
        if (name.path().empty() || !DeleteFileW(name.path().c_str()) ||
            !CreateDirectoryW(name.path().c_str(), nullptr)) {
            *error = L"no temporary folder to read \"" + image + L"\" into (" + SystemErrorText(GetLastError()) + L")";
            return false;
        }
        folder_ = name.path();
        ImageSource source;
        std::vector<ImageEntry> joliet, iso, udf;
        bool hasUdf = false;
        if (!source.Open(image, error) || !ReadEcma119Tree(source, true, &joliet, error) ||
            !ReadEcma119Tree(source, false, &iso, error) || !ReadUdfTree(source, &hasUdf, &udf, error))
            return false;
        if (!hasUdf)
            notes->push_back(L"\"" + image + L"\" has no UDF tree: Windows reads its Joliet tree, files up to 4 GiB");
        if (!SameTrees(source, joliet, udf, hasUdf, error) || !SameData(source, joliet, iso, error)) return false;
        return ExtractEntries(source, joliet, folder_, error);
    }
    const std::wstring& folder() const { return folder_; }

private:
    std::wstring folder_;
};

bool IsImage(const std::wstring& path) { return lstrcmpiW(PathFindExtensionW(path.c_str()), L".iso") == 0; }

void Replace(std::wstring* text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text->find(from); at != std::wstring::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

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

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
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

}  // namespace

int ReadDiscNumber(const std::wstring& discFolder) {
    std::string bytes;
    std::wstring error;
    if (!ReadWholeFile(discFolder + L"\\drvno.dat", &bytes, &error)) return -1;
    size_t start = bytes.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string::npos) return -1;
    const std::string word = bytes.substr(start, bytes.find_first_of(" \t\r\n\v\f", start) - start);
    if (word.size() < 7 || word.compare(0, 6, "drvno:") != 0 || word[6] < '0' || word[6] > '9') return -1;
    return word[6] - '0';
}

namespace {

bool VerifyDiscFolders(const std::vector<std::wstring>& discFolders, const VerifyProgress& progress,
                       VerifyReport* report) {
    auto problem = [&](const std::wstring& text) { report->problems.push_back(text); };

    std::map<int, std::wstring> discs;
    for (const std::wstring& given : discFolders) {
        std::wstring folder = given;
        while (folder.size() > 3 && IsPathSeparator(folder.back())) folder.pop_back();
        const int number = ReadDiscNumber(folder);
        if (number < 0) {
            problem(L"\"" + folder + L"\" has no drvno.dat naming a disc (drvno:0 to drvno:9)");
            continue;
        }
        if (!discs.emplace(number, folder).second)
            problem(L"\"" + folder + L"\" and \"" + discs[number] + L"\" both say they are disc " +
                    std::to_wstring(number + 1));
    }
    auto first = discs.find(0);
    if (first == discs.end()) {
        problem(L"the first disc (drvno:0) is not among the folders given");
        return false;
    }
    for (const wchar_t* control : {L"installer.exe", L"setup.ini", L"setup.lst", L"uninst.dat"}) {
        DWORD attributes = GetFileAttributesW((first->second + L"\\" + control).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            problem(std::wstring(control) + L" is missing from the first disc; the installer cannot start without it");
    }
    std::string bytes;
    std::wstring readError;
    if (!ReadWholeFile(first->second + L"\\setup.lst", &bytes, &readError)) {
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

    std::map<int, std::set<std::wstring>> listed;  // upper-cased source paths per disc
    std::set<int> missingDiscs;
    std::vector<std::wstring> installed;  // as the installer names them inside the install folder
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        const std::wstring where = L"setup.lst line " + std::to_wstring(i + 1) + L": ";
        if (progress) progress(i, lines.size(), line);
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
        const std::wstring path = disc->second + L"\\" + entry.sourcePath;
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            problem(where + L"\"" + path + L"\" is missing");
            continue;
        }
        FileDigest digest;
        std::wstring error;
        const bool compressed = wcscmp(PathFindExtensionW(entry.sourcePath), L".bz2") == 0;
        const bool read = compressed ? ExpandAsInstaller(path, &messages, &digest, &error)
                                     : CopyWithDigest(path, std::wstring(), &digest, &error, nullptr);
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

    if (GetFileAttributesW((first->second + L"\\setup.ini").c_str()) != INVALID_FILE_ATTRIBUTES)
        CheckSetupIni(first->second + L"\\setup.ini", installed, kDefaultInstallRoom, &report->problems);
    for (const auto& [number, folder] : discs) {
        std::vector<std::wstring> files;
        CollectData(folder + L"\\data", L"", &files);
        for (const std::wstring& file : files)
            if (!listed[number].count(UpperCase(L"data\\" + file)))
                report->notes.push_back(L"\"" + folder + L"\\data\\" + file + L"\" is not in setup.lst");
    }
    return report->problems.empty();
}

}  // namespace

bool VerifyDiscSet(const std::vector<std::wstring>& discs, const VerifyProgress& progress, VerifyReport* report) {
    *report = VerifyReport();
    std::vector<std::unique_ptr<ExtractedImage>> images;
    std::vector<std::wstring> folders;
    for (const std::wstring& disc : discs) {
        if (!IsImage(disc)) {
            folders.push_back(disc);
            continue;
        }
        images.push_back(std::make_unique<ExtractedImage>());
        std::wstring error;
        if (!images.back()->Extract(disc, &report->notes, &error)) {
            report->problems.push_back(error);
            return false;
        }
        folders.push_back(images.back()->folder());
    }
    const bool sound = VerifyDiscFolders(folders, progress, report);
    // What was found inside an image is named by the image.
    for (size_t i = 0, image = 0; i < discs.size(); ++i) {
        if (!IsImage(discs[i])) continue;
        for (std::vector<std::wstring>* texts : {&report->problems, &report->notes})
            for (std::wstring& text : *texts) Replace(&text, images[image]->folder(), discs[i]);
        ++image;
    }
    return sound;
}
