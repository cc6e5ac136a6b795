#include "disc_image.h"

#include <algorithm>
#include <cwctype>

namespace {

constexpr uint64_t kSystemAreaSectors = 16;
constexpr uint64_t kDescriptorSectors = 3;  // primary, Joliet, set terminator
// File data never starts before sector 32; one zeroed sector stands for every empty file.
constexpr uint64_t kFirstDataSector = 32;
constexpr uint64_t kEmptyFileSectors = 1;
constexpr uint64_t kPaddingSectors = 150;  // xorriso's default 300 KiB
// One extent holds at most 4 GiB less one sector; a larger file gets a record per extent.
constexpr uint64_t kExtentBytes = 0xFFFFF800ULL;

// ISO 9660 directory records with Rock Ridge (RRIP 1.10: PX 36 bytes, TF 26, NM 5 + name).
constexpr uint64_t kRecordFixedBytes = 33;
constexpr uint64_t kRecordLimit = 254;
constexpr uint64_t kRockRidgeFixedBytes = 36 + 26;
constexpr uint64_t kNameEntryBytes = 5;
constexpr uint64_t kContinuationEntryBytes = 28;
constexpr uint64_t kDotRecordBytes = 34 + kRockRidgeFixedBytes;
// The root's "." also carries SP and CE, and its continuation area the ER entry.
constexpr uint64_t kRootDotExtraBytes = 7 + 28;
constexpr uint64_t kExtensionsReferenceBytes = 237;
// Level-1 names are at most 8 characters, a dot and 3 more; clashing names are shortened
// to make room for digits but never grow beyond that.
constexpr uint64_t kIsoBaseCharacters = 8;
constexpr uint64_t kIsoExtensionCharacters = 3;
constexpr uint64_t kVersionBytes = 2;  // ";1"

constexpr uint64_t kJolietDotRecordBytes = 34;

uint64_t Even(uint64_t value) { return value + (value % 2); }

uint64_t SectorsFor(uint64_t bytes) { return (bytes + kSectorBytes - 1) / kSectorBytes; }

// Records never straddle a sector: a sector holds all but less than the longest record.
uint64_t RecordSectors(uint64_t bytes, uint64_t longest) {
    if (bytes == 0) return 0;
    if (bytes <= kSectorBytes) return 1;
    return (bytes + (kSectorBytes - longest)) / (kSectorBytes - longest + 1);
}

// Rock Ridge names are stored in the file system's own encoding, UTF-8 where xorriso runs.
uint64_t Utf8Bytes(const std::wstring& name) {
    uint64_t bytes = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned c = static_cast<unsigned>(name[i]);
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size())
            bytes += 4, ++i;
        else
            bytes += 3;
    }
    return bytes;
}

uint64_t IsoNameBytes(const std::wstring& name, bool directory) {
    if (directory) return std::min<uint64_t>(name.size(), kIsoBaseCharacters);
    // The extension is what follows the last dot, unless that dot starts a longer name.
    size_t dot = name.rfind(L'.');
    if (dot == 0 && name.size() > 4) dot = std::wstring::npos;
    const uint64_t extension = dot == std::wstring::npos ? 0 : name.size() - dot - 1;
    return kIsoBaseCharacters + 1 + std::min(extension, kIsoExtensionCharacters) + kVersionBytes;
}

struct Record {
    uint64_t bytes = 0;
    uint64_t continuation = 0;  // bytes of its name that go to the continuation area
};

Record IsoRecord(const std::wstring& name, bool directory) {
    const uint64_t fixed = Even(kRecordFixedBytes + IsoNameBytes(name, directory));
    const uint64_t systemUse = kRockRidgeFixedBytes + kNameEntryBytes + Utf8Bytes(name);
    if (fixed + Even(systemUse) <= kRecordLimit) return {fixed + Even(systemUse), 0};
    // The name is split: what fits stays behind a CE entry, the rest goes to the area.
    const uint64_t room = kRecordLimit - fixed;
    const uint64_t inRecord = room - kRockRidgeFixedBytes - kContinuationEntryBytes - kNameEntryBytes;
    return {kRecordLimit, kNameEntryBytes + Utf8Bytes(name) - inRecord};
}

uint64_t JolietRecordBytes(const std::wstring& name) { return 34 + 2 * name.size(); }

}  // namespace

std::wstring FolderFileRefusal(uint64_t size) {
    return L"it takes " + std::to_wstring(size) +
           L" bytes, and a burner's image of a disc folder (ISO 9660 and Joliet, without UDF) holds files of at "
           L"most 4,294,967,295 bytes (4 GiB less one byte), all Windows reads of such a disc; use --iso, whose "
           L"images hold it in several extents (UDF and ISO 9660 level 3), or split it into smaller files";
}

std::wstring DiscNameKey(const std::wstring& text) {
    std::wstring key = text;
    for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(c));
    return key;
}

std::vector<std::wstring> SplitDiscPath(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(L'\\', start);
        parts.push_back(path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

size_t JolietPathBytes(const std::wstring& path) {
    size_t bytes = 1;
    for (const std::wstring& part : SplitDiscPath(path)) bytes += 1 + 2 * part.size();
    return bytes;
}

DiscImagePlan::DiscImagePlan() {
    Directory root;
    root.isoBytes = root.isoLongest = kDotRecordBytes + kRootDotExtraBytes;
    root.isoBytes += kDotRecordBytes;
    root.continuationBytes = root.continuationLongest = kExtensionsReferenceBytes;
    root.jolietBytes = 2 * kJolietDotRecordBytes;
    root.jolietLongest = kJolietDotRecordBytes;
    directories_[L""] = root;
    totals_.directorySectors = RecordSectors(root.isoBytes, root.isoLongest) +
                               RecordSectors(root.continuationBytes, root.continuationLongest) +
                               RecordSectors(root.jolietBytes, root.jolietLongest);
    totals_.isoPathTableBytes = 10;
    totals_.jolietPathTableBytes = 10;
}

const DiscImagePlan::Directory* DiscImagePlan::Find(const Changes& changes, const std::wstring& key) const {
    auto changed = changes.find(key);
    if (changed != changes.end()) return &changed->second;
    auto known = directories_.find(key);
    return known == directories_.end() ? nullptr : &known->second;
}

void DiscImagePlan::Plan(const std::wstring& path, bool folder, uint64_t size, Changes* changes, Totals* totals) const {
    *totals = totals_;
    const std::vector<std::wstring> parts = SplitDiscPath(path);
    std::wstring parentKey;
    auto addRecord = [&](const std::wstring& name, bool directory, uint64_t count) {
        const Directory* before = Find(*changes, parentKey);
        Directory after = *before;
        const Record iso = IsoRecord(name, directory);
        after.isoBytes += count * iso.bytes;
        after.isoLongest = std::max(after.isoLongest, iso.bytes);
        after.continuationBytes += count * iso.continuation;
        after.continuationLongest = std::max(after.continuationLongest, iso.continuation);
        after.jolietBytes += count * JolietRecordBytes(name);
        after.jolietLongest = std::max(after.jolietLongest, JolietRecordBytes(name));
        totals->directorySectors += RecordSectors(after.isoBytes, after.isoLongest) +
                                    RecordSectors(after.continuationBytes, after.continuationLongest) +
                                    RecordSectors(after.jolietBytes, after.jolietLongest);
        totals->directorySectors -= RecordSectors(before->isoBytes, before->isoLongest) +
                                    RecordSectors(before->continuationBytes, before->continuationLongest) +
                                    RecordSectors(before->jolietBytes, before->jolietLongest);
        (*changes)[parentKey] = after;
    };
    const size_t folders = folder ? parts.size() : parts.size() - 1;
    for (size_t i = 0; i < folders; ++i) {
        const std::wstring key = parentKey + (parentKey.empty() ? L"" : L"\\") + DiscNameKey(parts[i]);
        if (!Find(*changes, key)) {
            addRecord(parts[i], true, 1);
            Directory created;
            created.isoBytes = 2 * kDotRecordBytes;
            created.isoLongest = kDotRecordBytes;
            created.jolietBytes = 2 * kJolietDotRecordBytes;
            created.jolietLongest = kJolietDotRecordBytes;
            (*changes)[key] = created;
            totals->directorySectors += 2;
            totals->isoPathTableBytes += 8 + kIsoBaseCharacters;
            totals->jolietPathTableBytes += 8 + 2 * parts[i].size();
        }
        parentKey = key;
    }
    if (folder) return;
    const uint64_t extents = size <= kExtentBytes ? 1 : (size + kExtentBytes - 1) / kExtentBytes;
    addRecord(parts.back(), false, extents);
    totals->fileSectors += SectorsFor(size);
}

uint64_t DiscImagePlan::ImageBytes(const Totals& totals) {
    const uint64_t metadata = kSystemAreaSectors + kDescriptorSectors + totals.directorySectors +
                              2 * SectorsFor(totals.isoPathTableBytes) + 2 * SectorsFor(totals.jolietPathTableBytes);
    const uint64_t sectors = std::max(metadata, kFirstDataSector) + kEmptyFileSectors + totals.fileSectors +
                             kPaddingSectors;
    return sectors * kSectorBytes;
}

void DiscImagePlan::AddFile(const std::wstring& path, uint64_t size) {
    Changes changes;
    Plan(path, false, size, &changes, &totals_);
    for (auto& [key, directory] : changes) directories_[key] = directory;
}

void DiscImagePlan::AddFolder(const std::wstring& path) {
    Changes changes;
    Plan(path, true, 0, &changes, &totals_);
    for (auto& [key, directory] : changes) directories_[key] = directory;
}

uint64_t DiscImagePlan::BytesWith(const std::wstring& path, uint64_t size) const {
    Changes changes;
    Totals totals;
    Plan(path, false, size, &changes, &totals);
    return ImageBytes(totals);
}

uint64_t DiscImagePlan::Bytes() const { return ImageBytes(totals_); }
