#include "ecma119_tree.h"

namespace {

constexpr uint64_t kDotRecordsBytes = 2 * 34;
constexpr uint8_t kFolderFlag = 0x02, kMoreExtentsFlag = 0x80;

uint64_t PathRecordBytes(size_t identifierBytes) { return 8 + identifierBytes + identifierBytes % 2; }

// The sectors a folder's records take behind "." and "..": a record that would cross into the
// next sector starts it. extra, when given, is placed among them by its key.
template <typename Records>
uint64_t PackedSectors(const Records& records, const std::string* extra, uint32_t extraBytes, uint32_t extraCount) {
    uint64_t sectors = 1, used = kDotRecordsBytes;
    auto place = [&](uint64_t bytes, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            if (used + bytes > kImageSector) ++sectors, used = 0;
            used += bytes;
        }
    };
    for (const auto& [key, record] : records) {
        if (extra && *extra < key) place(extraBytes, extraCount), extra = nullptr;
        place(record.bytes, record.count);
    }
    if (extra) place(extraBytes, extraCount);
    return sectors;
}

// A text field of a volume descriptor: d-characters padded with blanks, or in Joliet's
// descriptor UCS-2 big-endian padded with UCS-2 blanks.
void PutText(std::string* to, size_t at, size_t length, const std::wstring& text, bool wide) {
    std::string bytes = wide ? Ucs2BigEndian(text) : std::string(text.begin(), text.end());
    while (bytes.size() + (wide ? 2 : 1) <= length) bytes += wide ? std::string("\0 ", 2) : std::string(" ");
    bytes.resize(length, '\0');
    to->replace(at, length, bytes);
}

// A directory record's date: years since 1900, month, day, hour, minute, second, offset from
// Greenwich in quarter hours (all times here are UTC).
std::string RecordTime(int64_t unixSeconds) {
    const CalendarTime time = CalendarFrom(unixSeconds);
    const int years = time.year < 1900 ? 0 : (time.year > 2155 ? 255 : time.year - 1900);
    const char bytes[7] = {static_cast<char>(years),
                           static_cast<char>(time.month),
                           static_cast<char>(time.day),
                           static_cast<char>(time.hour),
                           static_cast<char>(time.minute),
                           static_cast<char>(time.second),
                           0};
    return std::string(bytes, 7);
}

std::string VolumeTime(int64_t unixSeconds) {
    const CalendarTime time = CalendarFrom(unixSeconds);
    char digits[32];
    const unsigned values[] = {
        static_cast<unsigned>(time.year), time.month, time.day, time.hour, time.minute, time.second};
    const int widths[] = {4, 2, 2, 2, 2, 2};
    size_t used = 0;
    for (size_t i = 0; i < 6; ++i) {
        unsigned value = values[i];
        for (int d = widths[i] - 1; d >= 0; --d, value /= 10) digits[used + static_cast<size_t>(d)] = '0' + value % 10;
        used += static_cast<size_t>(widths[i]);
    }
    return std::string(digits, used) + std::string("00\0", 3);
}

std::string DirectoryRecord(const std::string& identifier, uint64_t extent, uint64_t length, uint8_t flags,
                            const std::string& time) {
    std::string record(DirectoryRecordBytes(identifier.size()), '\0');
    record[0] = static_cast<char>(record.size());
    PutBoth(&record, 2, extent, 4);
    PutBoth(&record, 10, length, 4);
    record.replace(18, 7, time);
    record[25] = static_cast<char>(flags);
    PutBoth(&record, 28, 1, 2);  // volume sequence number
    record[32] = static_cast<char>(identifier.size());
    record.replace(33, identifier.size(), identifier);
    return record;
}

}  // namespace

std::string Ucs2BigEndian(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) {
        bytes += static_cast<char>((c >> 8) & 0xFF);
        bytes += static_cast<char>(c & 0xFF);
    }
    return bytes;
}

uint32_t DirectoryRecordBytes(size_t identifierBytes) {
    return static_cast<uint32_t>(33 + identifierBytes + (identifierBytes % 2 == 0 ? 1 : 0));
}

uint32_t ExtentRecords(uint64_t size) {
    if (size <= kLargestSingleExtent) return 1;
    return static_cast<uint32_t>((size + kMultiExtentBytes - 1) / kMultiExtentBytes);
}

uint64_t Ecma119Tree::SectorsWith(const ImageTree& tree, const TreeAddition& addition) const {
    if (addition.Empty()) return Sectors();
    uint64_t directorySectors = directorySectors_, pathTableBytes = pathTableBytes_;
    const Folder& parent = folders_[addition.existing];
    const bool fileFirst = addition.newFolders.empty();
    const RecordName first = Name(parent.records, fileFirst ? addition.fileName : addition.newFolders[0], fileFirst);
    const uint32_t firstCount = fileFirst ? ExtentRecords(addition.size) : 1;
    directorySectors += PackedSectors(parent.records, &first.key, DirectoryRecordBytes(first.identifier.size()),
                                      firstCount) -
                        parent.sectors;
    (void)tree;
    for (size_t made = 0; made < addition.newFolders.size(); ++made) {
        const std::string identifier = made == 0 ? first.identifier
                                                 : Name(Records(), addition.newFolders[made], false).identifier;
        pathTableBytes += PathRecordBytes(identifier.size());
        // A new folder holds one entry besides "." and "..": the next folder or the file.
        const bool last = made + 1 == addition.newFolders.size();
        if (last && addition.file) {
            const RecordName file = Name(Records(), addition.fileName, true);
            directorySectors += PackedSectors(Records(), &file.key, DirectoryRecordBytes(file.identifier.size()),
                                              ExtentRecords(addition.size));
        } else {
            directorySectors += 1;
        }
    }
    return 2 * ImageSectorsFor(pathTableBytes) + directorySectors;
}

uint64_t Ecma119Tree::Sectors() const { return 2 * ImageSectorsFor(pathTableBytes_) + directorySectors_; }

void Ecma119Tree::Add(const ImageTree& tree, const TreeAddition& addition) {
    (void)tree;
    if (addition.Empty()) return;
    uint32_t at = addition.existing;
    auto insert = [&](const std::wstring& name, bool file, uint32_t index, uint32_t count) {
        Folder& into = folders_[at];
        const RecordName named = Name(into.records, name, file);
        into.records[named.key] = {!file, index, DirectoryRecordBytes(named.identifier.size()), count};
        directorySectors_ -= into.sectors;
        into.sectors = PackedSectors(into.records, nullptr, 0, 0);
        directorySectors_ += into.sectors;
        return named.identifier;
    };
    for (size_t made = 0; made < addition.newFolders.size(); ++made) {
        const uint32_t index = addition.firstFolder + static_cast<uint32_t>(made);
        const std::string identifier = insert(addition.newFolders[made], false, index, 1);
        folders_.emplace_back();
        folders_.back().identifier = identifier;
        directorySectors_ += 1;
        pathTableBytes_ += PathRecordBytes(identifier.size());
        at = index;
    }
    if (!addition.file) return;
    fileIdentifiers_.push_back(insert(addition.fileName, true, addition.fileIndex, ExtentRecords(addition.size)));
}

uint64_t Ecma119Tree::PlacePathTables(uint64_t next) {
    pathTableStart_ = next;
    return next + 2 * ImageSectorsFor(pathTableBytes_);
}

uint64_t Ecma119Tree::PlaceDirectories(const ImageTree& tree, uint64_t next) {
    order_ = {0};
    for (size_t i = 0; i < order_.size(); ++i)
        for (const auto& [key, record] : folders_[order_[i]].records)
            if (record.folder) order_.push_back(record.index);
    number_.assign(tree.folders().size(), 0);
    for (size_t i = 0; i < order_.size(); ++i) number_[order_[i]] = static_cast<uint32_t>(i + 1);
    extent_.assign(tree.folders().size(), 0);
    for (uint32_t folder : order_) {
        extent_[folder] = next;
        next += folders_[folder].sectors;
    }
    return next;
}

std::string Ecma119Tree::FolderRecord(const ImageData& data, uint32_t folder, const std::string& identifier) const {
    return DirectoryRecord(identifier, extent_[folder], folders_[folder].sectors * kImageSector, kFolderFlag,
                           RecordTime(data.folderTimes[folder]));
}

std::string Ecma119Tree::VolumeDescriptor(const ImageData& data) const {
    const bool wide = WideText();
    std::string d(kImageSector, '\0');
    d[0] = DescriptorType();
    d.replace(1, 6, "CD001\x01");
    PutText(&d, 8, 32, L"", wide);  // system
    PutText(&d, 40, 32, data.label, wide);
    PutBoth(&d, 80, data.volumeSectors, 4);
    if (wide) d.replace(88, 3, "%/E");  // UCS-2 level 3
    PutBoth(&d, 120, 1, 2);             // volume set size
    PutBoth(&d, 124, 1, 2);             // volume sequence number
    PutBoth(&d, 128, kImageSector, 2);
    PutBoth(&d, 132, pathTableBytes_, 4);
    PutLittle(&d, 140, pathTableStart_, 4);
    PutBig(&d, 148, pathTableStart_ + ImageSectorsFor(pathTableBytes_), 4);
    d.replace(156, 34, FolderRecord(data, 0, std::string(1, '\0')));
    PutText(&d, 190, 128, L"", wide);  // volume set
    PutText(&d, 318, 128, L"", wide);  // publisher
    PutText(&d, 446, 128, L"MKDISC", wide);
    PutText(&d, 574, 128, L"", wide);  // application
    for (size_t field = 0; field < 3; ++field) PutText(&d, 702 + 37 * field, 37, L"", wide);
    const std::string now = VolumeTime(data.now);
    d.replace(813, 17, now);                                          // created
    d.replace(830, 17, now);                                          // modified
    d.replace(847, 17, std::string(16, '0') + std::string(1, '\0'));  // never expires
    d.replace(864, 17, std::string(16, '0') + std::string(1, '\0'));  // effective at once
    d[881] = 1;                                                       // file structure version
    return d;
}

std::string Ecma119Tree::PathTable(const ImageTree& tree, bool bigEndian) const {
    std::string table;
    for (uint32_t folder : order_) {
        const std::string id = folder == 0 ? std::string(1, '\0') : folders_[folder].identifier;
        std::string record(PathRecordBytes(id.size()), '\0');
        record[0] = static_cast<char>(id.size());
        (bigEndian ? PutBig : PutLittle)(&record, 2, extent_[folder], 4);
        (bigEndian ? PutBig : PutLittle)(&record, 6, number_[tree.folders()[folder].parent], 2);
        record.replace(8, id.size(), id);
        table += record;
    }
    return table;
}

void Ecma119Tree::WritePathTables(const ImageTree& tree, ImageFile* image) const {
    for (bool bigEndian : {false, true}) {
        image->Put(PathTable(tree, bigEndian));
        image->PadSector();
    }
}

std::string Ecma119Tree::Directory(const ImageTree& tree, const ImageData& data, uint32_t folder) const {
    std::string bytes = FolderRecord(data, folder, std::string(1, '\0')) +
                        FolderRecord(data, tree.folders()[folder].parent, std::string(1, '\1'));
    auto put = [&](const std::string& entry) {
        if (bytes.size() % kImageSector + entry.size() > kImageSector)
            bytes.resize(ImageSectorsFor(bytes.size()) * kImageSector);
        bytes += entry;
    };
    for (const auto& [key, record] : folders_[folder].records) {
        if (record.folder) {
            put(FolderRecord(data, record.index, folders_[record.index].identifier));
            continue;
        }
        const ImageFileEntry& file = tree.files()[record.index];
        const std::string time = RecordTime(data.fileTimes[record.index]);
        uint64_t rest = file.size, sector = data.fileSectors[record.index];
        for (uint32_t piece = 0; piece < record.count; ++piece) {
            const bool last = piece + 1 == record.count;
            const uint64_t length = last ? rest : kMultiExtentBytes;
            put(DirectoryRecord(fileIdentifiers_[record.index], sector, length, last ? 0 : kMoreExtentsFlag, time));
            rest -= length;
            sector += length / kImageSector;
        }
    }
    return bytes;
}

bool Ecma119Tree::WriteDirectories(const ImageTree& tree, const ImageData& data, ImageFile* image) const {
    bool fits = true;
    for (uint32_t folder : order_) {
        std::string bytes = Directory(tree, data, folder);
        if (bytes.size() > folders_[folder].sectors * kImageSector) fits = false;
        bytes.resize(folders_[folder].sectors * kImageSector);
        image->Put(bytes);
    }
    return fits;
}
