#include "iso_image.h"

#include <windows.h>

#include "base/handles.h"
#include "disc_image.h"
#include "tool_text.h"

namespace {

constexpr uint64_t kSector = 2048;
constexpr uint64_t kSystemAreaSectors = 16;
constexpr uint64_t kDescriptorSectors = 3;  // primary, Joliet, terminator
constexpr uint64_t kDotRecordsBytes = 2 * 34;
constexpr uint64_t kRootPathRecordBytes = 10;
// Level 1 names: eight characters, a dot, three more.
constexpr size_t kIsoBaseCharacters = 8;
constexpr size_t kIsoExtensionCharacters = 3;
constexpr size_t kCopyChunk = 1 << 20;

uint64_t SectorsFor(uint64_t bytes) { return (bytes + kSector - 1) / kSector; }

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

// Clashing names keep their extension and end their name in the lowest number that is free.
template <typename Records>
void MakeUnique(const Records& records, IsoName* name) {
    const std::string base = name->base;
    for (unsigned count = 1; records.count(SortKey(*name)); ++count) {
        const std::string digits = std::to_string(count);
        name->base = base.substr(0, kIsoBaseCharacters - digits.size()) + digits;
    }
}

uint32_t RecordBytes(size_t identifierBytes) {
    return static_cast<uint32_t>(33 + identifierBytes + (identifierBytes % 2 == 0 ? 1 : 0));
}
uint32_t IsoRecordBytes(const std::string& identifier) { return RecordBytes(identifier.size()); }
uint32_t JolietRecordBytes(const std::wstring& name) { return RecordBytes(2 * name.size()); }
uint64_t PathRecordBytes(size_t identifierBytes) { return 8 + identifierBytes + identifierBytes % 2; }

// The sectors a folder's records take behind "." and "..": a record that would cross into the
// next sector starts it. extra, when given, is placed among them by its key.
template <typename Records, typename Key>
uint64_t PackedSectors(const Records& records, const Key* extra, uint32_t extraBytes) {
    uint64_t sectors = 1, used = kDotRecordsBytes;
    auto place = [&](uint64_t bytes) {
        if (used + bytes > kSector) ++sectors, used = 0;
        used += bytes;
    };
    for (const auto& [key, record] : records) {
        if (extra && *extra < key) place(extraBytes), extra = nullptr;
        place(record.bytes);
    }
    if (extra) place(extraBytes);
    return sectors;
}

std::string Ucs2BigEndian(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes += static_cast<char>((c >> 8) & 0xFF);
        bytes += static_cast<char>(c & 0xFF);
    }
    return bytes;
}

void PutLittle(std::string* to, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) (*to)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
void PutBig(std::string* to, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) (*to)[at + i] = static_cast<char>((value >> (8 * (bytes - 1 - i))) & 0xFF);
}
void PutBoth(std::string* to, size_t at, uint64_t value, size_t bytes) {
    PutLittle(to, at, value, bytes);
    PutBig(to, at + bytes, value, bytes);
}

// A text field of a volume descriptor: d-characters padded with blanks, or in Joliet's
// descriptor UCS-2 big-endian padded with UCS-2 blanks.
void PutText(std::string* to, size_t at, size_t length, const std::wstring& text, bool joliet) {
    std::string bytes = joliet ? Ucs2BigEndian(text) : std::string(text.begin(), text.end());
    while (bytes.size() + (joliet ? 2 : 1) <= length) bytes += joliet ? std::string("\0 ", 2) : std::string(" ");
    bytes.resize(length, '\0');
    to->replace(at, length, bytes);
}

SYSTEMTIME UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return now;
}

SYSTEMTIME LastWriteTime(const std::wstring& path, const SYSTEMTIME& otherwise) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    SYSTEMTIME time;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        FileTimeToSystemTime(&data.ftLastWriteTime, &time))
        return time;
    return otherwise;
}

// A directory record's date: years since 1900, month, day, hour, minute, second, offset from
// Greenwich in quarter hours (all times here are UTC).
std::string RecordTime(const SYSTEMTIME& time) {
    const int years = time.wYear < 1900 ? 0 : (time.wYear > 2155 ? 255 : time.wYear - 1900);
    const char bytes[7] = {static_cast<char>(years),
                           static_cast<char>(time.wMonth),
                           static_cast<char>(time.wDay),
                           static_cast<char>(time.wHour),
                           static_cast<char>(time.wMinute),
                           static_cast<char>(time.wSecond),
                           0};
    return std::string(bytes, 7);
}

std::string VolumeTime(const SYSTEMTIME& time) {
    char digits[32];
    const unsigned values[] = {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond};
    const int widths[] = {4, 2, 2, 2, 2, 2};
    size_t used = 0;
    for (size_t i = 0; i < 6; ++i) {
        unsigned value = values[i];
        for (int d = widths[i] - 1; d >= 0; --d, value /= 10) digits[used + static_cast<size_t>(d)] = '0' + value % 10;
        used += static_cast<size_t>(widths[i]);
    }
    return std::string(digits, used) + std::string("00\0", 3);
}

std::string DirectoryRecord(const std::string& identifier, uint64_t extent, uint64_t length, bool folder,
                            const std::string& time) {
    std::string record(RecordBytes(identifier.size()), '\0');
    record[0] = static_cast<char>(record.size());
    PutBoth(&record, 2, extent, 4);
    PutBoth(&record, 10, length, 4);
    record.replace(18, 7, time);
    record[25] = folder ? 2 : 0;
    PutBoth(&record, 28, 1, 2);  // volume sequence number
    record[32] = static_cast<char>(identifier.size());
    record.replace(33, identifier.size(), identifier);
    return record;
}

// The image file, written in sectors through a buffer.
class ImageFile {
public:
    bool Open(const std::wstring& path, std::wstring* error) {
        file_.reset(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file_) return true;
        *error = L"cannot create \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
        return false;
    }
    void Put(const char* data, size_t length) {
        buffer_.append(data, length);
        written_ += length;
        if (buffer_.size() >= kCopyChunk) Flush();
    }
    void Put(const std::string& bytes) { Put(bytes.data(), bytes.size()); }
    void PadSector() { Put(std::string(static_cast<size_t>((kSector - written_ % kSector) % kSector), '\0')); }
    uint64_t Written() const { return written_; }
    // False when any write failed.
    bool Finish(const std::wstring& path, std::wstring* error) {
        Flush();
        if (!failed_ && CloseHandle(file_.release())) return true;
        *error = L"cannot write \"" + path + L"\" (" + SystemErrorText(failure_ ? failure_ : GetLastError()) + L")";
        return false;
    }

private:
    void Flush() {
        DWORD done = 0;
        if (!failed_ && !buffer_.empty() &&
            (!WriteFile(file_.get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), &done, nullptr) ||
             done != buffer_.size()))
            failed_ = true, failure_ = GetLastError();
        buffer_.clear();
    }
    FileHandle file_;
    std::string buffer_;
    uint64_t written_ = 0;
    bool failed_ = false;
    DWORD failure_ = 0;
};

}  // namespace

std::wstring ImageRefusal(const std::wstring& path, uint64_t size) {
    if (size > kLargestImageFile)
        return L"it takes " + std::to_wstring(size) +
               L" bytes, and a file on a disc image is one piece of at most 4,294,967,295 bytes (4 GiB less "
               L"one byte); it must be split into smaller files";
    const std::vector<std::wstring> parts = SplitDiscPath(path);
    if (parts.size() > kDeepestImageLevel)
        return L"it lies " + std::to_wstring(parts.size() - 1) + L" folders deep, and ISO 9660 holds at most " +
               std::to_wstring(kDeepestImageLevel - 1) + L" folders below a disc's root (data counts as one)";
    for (const std::wstring& part : parts) {
        if (part.size() > kJolietNameCharacters)
            return L"the name \"" + part + L"\" has more than the " + std::to_wstring(kJolietNameCharacters) +
                   L" characters Joliet holds";
        if (part.find(L';') != std::wstring::npos)
            return L"the name \"" + part + L"\" holds a ';', which ISO 9660 and Joliet keep for version numbers";
    }
    if (JolietPathBytes(path) > kJolietPathBytes)
        return L"its path takes more than the " + std::to_wstring(kJolietPathBytes) + L" bytes Joliet holds";
    return std::wstring();
}

bool ReadVolumeLabel(const std::wstring& text, std::wstring* label) {
    if (text.empty() || text.size() > kVolumeLabelCharacters) return false;
    label->clear();
    for (wchar_t c : text) {
        c = AsciiUpper(c);
        if (!IsDCharacter(c)) return false;
        *label += c;
    }
    return true;
}

std::wstring VolumeLabelFrom(const std::wstring& name) {
    std::wstring label;
    bool gap = false;
    for (wchar_t c : name) {
        c = AsciiUpper(c);
        if (!IsDCharacter(c) || c == L'_') {
            gap = !label.empty();
            continue;
        }
        if (gap) label += L'_';
        label += c;
        gap = false;
    }
    label.resize(std::min(label.size(), kVolumeLabelCharacters));
    while (!label.empty() && label.back() == L'_') label.pop_back();
    return label;
}

IsoLayout::IsoLayout() { folders_.emplace_back(); }

uint64_t IsoLayout::ImageBytes(const Totals& totals) {
    return (kSystemAreaSectors + kDescriptorSectors + 2 * SectorsFor(totals.isoPathTableBytes) +
            2 * SectorsFor(totals.jolietPathTableBytes) + totals.directorySectors + totals.fileSectors) *
           kSector;
}

IsoLayout::Growth IsoLayout::Grow(const std::vector<std::wstring>& parts, bool folder, uint64_t size) const {
    Growth growth;
    growth.totals = totals_;
    const size_t folderParts = folder ? parts.size() : parts.size() - 1;
    size_t part = 0;
    for (; part < folderParts; ++part) {
        auto child = folders_[growth.existing].children.find(DiscNameKey(parts[part]));
        if (child == folders_[growth.existing].children.end()) break;
        growth.existing = child->second;
    }
    growth.firstNew = part;
    if (part == parts.size()) return growth;  // a folder that is there already

    Totals& totals = growth.totals;
    const Folder& parent = folders_[growth.existing];
    IsoName iso = MapIsoName(parts[part], part == folderParts);
    MakeUnique(parent.isoRecords, &iso);
    growth.isoName = Identifier(iso);
    growth.isoKey = SortKey(iso);
    totals.directorySectors += PackedSectors(parent.isoRecords, &growth.isoKey, IsoRecordBytes(growth.isoName)) -
                               parent.isoSectors;
    totals.directorySectors += PackedSectors(parent.jolietRecords, &parts[part], JolietRecordBytes(parts[part])) -
                               parent.jolietSectors;
    // A new folder holds one record besides "." and "..": one sector in each tree.
    for (size_t made = part; made < folderParts; ++made) {
        const std::string name = made == part ? growth.isoName : Identifier(MapIsoName(parts[made], false));
        totals.directorySectors += 2;
        totals.isoPathTableBytes += PathRecordBytes(name.size());
        totals.jolietPathTableBytes += PathRecordBytes(2 * parts[made].size());
    }
    if (!folder) totals.fileSectors += SectorsFor(size);
    return growth;
}

void IsoLayout::NewRecord(uint32_t parent, const std::wstring& name, const std::string& isoName, const std::string& key,
                          bool folder, uint32_t index) {
    Folder& into = folders_[parent];
    into.isoRecords[key] = {folder, index, IsoRecordBytes(isoName)};
    into.jolietRecords[name] = {folder, index, JolietRecordBytes(name)};
    if (folder) into.children[DiscNameKey(name)] = index;
    into.isoSectors = PackedSectors(into.isoRecords, static_cast<const std::string*>(nullptr), 0);
    into.jolietSectors = PackedSectors(into.jolietRecords, static_cast<const std::wstring*>(nullptr), 0);
}

void IsoLayout::Apply(const std::vector<std::wstring>& parts, bool folder, uint64_t size) {
    const Growth growth = Grow(parts, folder, size);
    const size_t folderParts = folder ? parts.size() : parts.size() - 1;
    uint32_t at = growth.existing;
    for (size_t part = growth.firstNew; part < parts.size(); ++part) {
        const bool first = part == growth.firstNew;
        const IsoName iso = MapIsoName(parts[part], part == folderParts);
        const std::string isoName = first ? growth.isoName : Identifier(iso);
        const std::string key = first ? growth.isoKey : SortKey(iso);
        const std::wstring path = folders_[at].path.empty() ? parts[part] : folders_[at].path + L"\\" + parts[part];
        if (part == folderParts) {
            files_.push_back({path, parts[part], isoName, size});
            NewRecord(at, parts[part], isoName, key, false, static_cast<uint32_t>(files_.size() - 1));
            break;
        }
        Folder made;
        made.parent = at;
        made.path = path;
        made.name = parts[part];
        made.isoName = isoName;
        made.level = folders_[at].level + 1;
        folders_.push_back(made);
        const uint32_t index = static_cast<uint32_t>(folders_.size() - 1);
        NewRecord(at, parts[part], isoName, key, true, index);
        at = index;
    }
    totals_ = growth.totals;
}

void IsoLayout::AddFile(const std::wstring& path, uint64_t size) { Apply(SplitDiscPath(path), false, size); }

void IsoLayout::AddFolder(const std::wstring& path) { Apply(SplitDiscPath(path), true, 0); }

uint64_t IsoLayout::BytesWith(const std::wstring& path, uint64_t size) const {
    return ImageBytes(Grow(SplitDiscPath(path), false, size).totals);
}

uint64_t IsoLayout::Bytes() const { return ImageBytes(totals_); }

// Places a layout's folders and files on sectors, then writes the image in sector order.
class ImageWriter {
public:
    ImageWriter(const IsoLayout& layout, const std::wstring& root, const std::wstring& label)
        : layout_(layout), root_(root), label_(label), now_(UtcNow()) {
        Place();
    }

    bool Write(const std::wstring& imagePath, std::wstring* error) {
        ImageFile image;
        if (!image.Open(imagePath, error)) return false;
        image.Put(std::string(kSystemAreaSectors * kSector, '\0'));
        image.Put(Descriptor(false));
        image.Put(Descriptor(true));
        std::string terminator(kSector, '\0');
        terminator.replace(0, 7,
                           "\xFF"
                           "CD001\x01");
        image.Put(terminator);
        for (const Tree* tree : {&iso_, &joliet_}) {
            for (bool bigEndian : {false, true}) {
                image.Put(PathTable(*tree, bigEndian));
                image.PadSector();
            }
        }
        for (const Tree* tree : {&iso_, &joliet_})
            for (uint32_t folder : tree->order) image.Put(Directory(*tree, folder));
        bool copied = true;
        for (size_t file = 0; file < layout_.files_.size() && copied; ++file) copied = CopyData(file, &image, error);
        std::wstring closing;
        const bool finished = image.Finish(imagePath, &closing);
        const bool sound = copied && finished && image.Written() == layout_.Bytes() && !overflow_;
        if (copied && !finished)
            *error = closing;
        else if (copied && !sound)
            *error = L"internal error: the image did not come out as it was planned";
        if (!sound) DeleteFileW(imagePath.c_str());
        return sound;
    }

private:
    struct Tree {
        bool joliet = false;
        std::vector<uint32_t> order;   // folders in path table order: by level, parent, name
        std::vector<uint32_t> number;  // by folder: its place in that order, from 1
        std::vector<uint64_t> extent;  // by folder
        uint64_t pathTableStart = 0, pathTableSectors = 0, pathTableBytes = 0;
    };

    template <typename Records>
    static void AppendFolders(const Records& records, std::vector<uint32_t>* order) {
        for (const auto& [key, record] : records)
            if (record.folder) order->push_back(record.index);
    }

    void Order(Tree* tree) {
        tree->order = {0};
        for (size_t i = 0; i < tree->order.size(); ++i) {
            const IsoLayout::Folder& folder = layout_.folders_[tree->order[i]];
            if (tree->joliet)
                AppendFolders(folder.jolietRecords, &tree->order);
            else
                AppendFolders(folder.isoRecords, &tree->order);
        }
        tree->number.assign(layout_.folders_.size(), 0);
        for (size_t i = 0; i < tree->order.size(); ++i) tree->number[tree->order[i]] = static_cast<uint32_t>(i + 1);
        tree->extent.assign(layout_.folders_.size(), 0);
    }

    void Place() {
        iso_.joliet = false;
        joliet_.joliet = true;
        iso_.pathTableBytes = layout_.totals_.isoPathTableBytes;
        joliet_.pathTableBytes = layout_.totals_.jolietPathTableBytes;
        uint64_t next = kSystemAreaSectors + kDescriptorSectors;
        for (Tree* tree : {&iso_, &joliet_}) {
            Order(tree);
            tree->pathTableSectors = SectorsFor(tree->pathTableBytes);
            tree->pathTableStart = next;
            next += 2 * tree->pathTableSectors;
        }
        for (Tree* tree : {&iso_, &joliet_}) {
            for (uint32_t folder : tree->order) {
                tree->extent[folder] = next;
                next += Sectors(*tree, folder);
            }
        }
        for (const IsoLayout::File& file : layout_.files_) {
            fileExtents_.push_back(file.size == 0 ? 0 : next);  // an empty file needs no sector
            next += SectorsFor(file.size);
            fileTimes_.push_back(RecordTime(LastWriteTime(root_ + L"\\" + file.path, now_)));
        }
        for (const IsoLayout::Folder& folder : layout_.folders_)
            folderTimes_.push_back(
                RecordTime(LastWriteTime(folder.path.empty() ? root_ : root_ + L"\\" + folder.path, now_)));
        volumeSectors_ = next;
    }

    uint64_t Sectors(const Tree& tree, uint32_t folder) const {
        const IsoLayout::Folder& f = layout_.folders_[folder];
        return tree.joliet ? f.jolietSectors : f.isoSectors;
    }

    std::string FolderRecord(const Tree& tree, uint32_t folder, const std::string& identifier) const {
        return DirectoryRecord(identifier, tree.extent[folder], Sectors(tree, folder) * kSector, true,
                               folderTimes_[folder]);
    }

    std::string Descriptor(bool joliet) const {
        const Tree& tree = joliet ? joliet_ : iso_;
        std::string d(kSector, '\0');
        d.replace(0, 7,
                  joliet ? "\x02"
                           "CD001\x01"
                         : "\x01"
                           "CD001\x01");
        PutText(&d, 8, 32, L"", joliet);  // system
        PutText(&d, 40, 32, label_, joliet);
        PutBoth(&d, 80, volumeSectors_, 4);
        if (joliet) d.replace(88, 3, "%/E");  // UCS-2 level 3
        PutBoth(&d, 120, 1, 2);               // volume set size
        PutBoth(&d, 124, 1, 2);               // volume sequence number
        PutBoth(&d, 128, kSector, 2);
        PutBoth(&d, 132, tree.pathTableBytes, 4);
        PutLittle(&d, 140, tree.pathTableStart, 4);
        PutBig(&d, 148, tree.pathTableStart + tree.pathTableSectors, 4);
        d.replace(156, 34, FolderRecord(tree, 0, std::string(1, '\0')));
        PutText(&d, 190, 128, L"", joliet);  // volume set
        PutText(&d, 318, 128, L"", joliet);  // publisher
        PutText(&d, 446, 128, L"MKDISC", joliet);
        PutText(&d, 574, 128, L"", joliet);  // application
        for (size_t field = 0; field < 3; ++field) PutText(&d, 702 + 37 * field, 37, L"", joliet);
        const std::string now = VolumeTime(now_);
        d.replace(813, 17, now);                                          // created
        d.replace(830, 17, now);                                          // modified
        d.replace(847, 17, std::string(16, '0') + std::string(1, '\0'));  // never expires
        d.replace(864, 17, std::string(16, '0') + std::string(1, '\0'));  // effective at once
        d[881] = 1;                                                       // file structure version
        return d;
    }

    std::string Identifier(const Tree& tree, const std::wstring& name, const std::string& isoName) const {
        return tree.joliet ? Ucs2BigEndian(name) : isoName;
    }

    std::string PathTable(const Tree& tree, bool bigEndian) const {
        std::string table;
        for (uint32_t folder : tree.order) {
            const IsoLayout::Folder& f = layout_.folders_[folder];
            const std::string id = folder == 0 ? std::string(1, '\0') : Identifier(tree, f.name, f.isoName);
            std::string record(PathRecordBytes(id.size()), '\0');
            record[0] = static_cast<char>(id.size());
            (bigEndian ? PutBig : PutLittle)(&record, 2, tree.extent[folder], 4);
            (bigEndian ? PutBig : PutLittle)(&record, 6, tree.number[f.parent], 2);
            record.replace(8, id.size(), id);
            table += record;
        }
        return table;
    }

    template <typename Records>
    void PutRecords(const Tree& tree, const Records& records, std::string* bytes) const {
        for (const auto& [key, record] : records) {
            std::string entry;
            if (record.folder) {
                const IsoLayout::Folder& f = layout_.folders_[record.index];
                entry = FolderRecord(tree, record.index, Identifier(tree, f.name, f.isoName));
            } else {
                const IsoLayout::File& file = layout_.files_[record.index];
                entry = DirectoryRecord(Identifier(tree, file.name, file.isoName), fileExtents_[record.index],
                                        file.size, false, fileTimes_[record.index]);
            }
            if (bytes->size() % kSector + entry.size() > kSector) bytes->resize(SectorsFor(bytes->size()) * kSector);
            *bytes += entry;
        }
    }

    std::string Directory(const Tree& tree, uint32_t folder) const {
        const IsoLayout::Folder& f = layout_.folders_[folder];
        std::string bytes = FolderRecord(tree, folder, std::string(1, '\0')) +
                            FolderRecord(tree, f.parent, std::string(1, '\1'));
        if (tree.joliet)
            PutRecords(tree, f.jolietRecords, &bytes);
        else
            PutRecords(tree, f.isoRecords, &bytes);
        if (bytes.size() > Sectors(tree, folder) * kSector) overflow_ = true;
        bytes.resize(Sectors(tree, folder) * kSector);
        return bytes;
    }

    bool CopyData(size_t index, ImageFile* image, std::wstring* error) const {
        const IsoLayout::File& file = layout_.files_[index];
        const std::wstring path = root_ + L"\\" + file.path;
        FileHandle input(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!input) {
            *error = L"cannot open \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
            return false;
        }
        std::vector<char> buffer(kCopyChunk);
        uint64_t copied = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(input.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                *error = L"cannot read \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
                return false;
            }
            if (got == 0) break;
            copied += got;
            if (copied > file.size) break;
            image->Put(buffer.data(), got);
        }
        if (copied != file.size) {
            *error = L"\"" + path + L"\" no longer has the " + std::to_wstring(file.size) +
                     L" bytes it was planned with; make the discs again";
            return false;
        }
        image->PadSector();
        return true;
    }

    const IsoLayout& layout_;
    std::wstring root_, label_;
    SYSTEMTIME now_;
    Tree iso_, joliet_;
    std::vector<uint64_t> fileExtents_;
    std::vector<std::string> fileTimes_, folderTimes_;
    uint64_t volumeSectors_ = 0;
    mutable bool overflow_ = false;  // a folder's records took more sectors than the layout counted
};

bool IsoLayout::Write(const std::wstring& root, const std::wstring& label, const std::wstring& imagePath,
                      std::wstring* error) const {
    ImageWriter writer(*this, root, label);
    return writer.Write(imagePath, error);
}
