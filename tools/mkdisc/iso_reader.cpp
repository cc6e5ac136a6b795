#include "iso_reader.h"

#include <windows.h>

#include <algorithm>
#include <set>

#include "tool_text.h"
#include "transfer/crc32.h"

namespace {

constexpr uint64_t kSector = kReaderSector;
constexpr uint64_t kFirstDescriptor = 16;
constexpr uint64_t kMostDescriptors = 64;
constexpr size_t kCopyChunk = 1 << 20;
constexpr uint8_t kFolderFlag = 0x02, kMoreExtentsFlag = 0x80;

ImageExtent RecordExtent(const unsigned char* record) {
    return {static_cast<uint64_t>(ReadLittle32(record + 2)) * kSector, ReadLittle32(record + 10)};
}

// A record's name without its version (";1"), or empty when it is no name a folder may hold.
std::wstring RecordName(const unsigned char* bytes, size_t length, bool joliet) {
    std::wstring name;
    if (joliet) {
        if (length % 2 != 0) return std::wstring();
        for (size_t i = 0; i < length; i += 2) name += static_cast<wchar_t>(bytes[i] << 8 | bytes[i + 1]);
    } else {
        for (size_t i = 0; i < length; ++i) name += static_cast<wchar_t>(bytes[i]);
    }
    const size_t version = name.rfind(L';');
    if (version != std::wstring::npos) name.resize(version);
    if (!joliet && !name.empty() && name.back() == L'.') name.pop_back();  // a name without extension
    return IsSafeEntryName(name) ? name : std::wstring();
}

class Ecma119Walker {
public:
    Ecma119Walker(const ImageSource& image, bool joliet, std::vector<ImageEntry>* entries, std::wstring* error)
        : image_(image), joliet_(joliet), entries_(entries), error_(error) {}

    bool Run() {
        ImageExtent root;
        return FindDescriptor(&root) && Walk(root, std::wstring(), 0);
    }

private:
    bool Fail(const std::wstring& why) { return image_.Fail(why, error_); }

    bool Inside(const ImageExtent& extent) const {
        const uint64_t end = extent.offset + extent.bytes;
        return end <= volumeBytes_ && end <= image_.Bytes();
    }

    bool FindDescriptor(ImageExtent* root) {
        unsigned char descriptor[kSector];
        for (uint64_t sector = kFirstDescriptor; sector < kFirstDescriptor + kMostDescriptors; ++sector) {
            if (!image_.Read(sector * kSector, descriptor, kSector) || memcmp(descriptor + 1, "CD001", 5) != 0)
                return Fail(L"is not an ISO 9660 image");
            if (descriptor[0] == 255) break;
            const bool joliet = descriptor[0] == 2 && descriptor[88] == '%' && descriptor[89] == '/' &&
                                (descriptor[90] == '@' || descriptor[90] == 'C' || descriptor[90] == 'E');
            if (joliet_ ? !joliet : descriptor[0] != 1) continue;
            volumeBytes_ = ReadLittle32(descriptor + 80) * kSector;
            if (volumeBytes_ > image_.Bytes())
                return Fail(L"is cut short: its volume has " + std::to_wstring(volumeBytes_) + L" bytes, the file " +
                            std::to_wstring(image_.Bytes()));
            *root = RecordExtent(descriptor + 156);
            return true;
        }
        return Fail(joliet_ ? L"has no Joliet tree, which Windows reads the disc through"
                            : L"has no ISO 9660 primary volume descriptor");
    }

    bool Walk(const ImageExtent& extent, const std::wstring& path, int depth) {
        if (depth > kDeepestReadFolder || !visited_.insert(extent.offset).second)
            return Fail(L"has folders that loop or lie deeper than any disc's");
        if (extent.bytes > kLargestReadFolder || !Inside(extent))
            return Fail(L"has a folder beyond the end of its volume");
        std::vector<unsigned char> records(extent.bytes);
        if (!image_.Read(extent.offset, records.data(), records.size()))
            return Fail(L"cannot be read (" + SystemErrorText(GetLastError()) + L")");
        const std::wstring where = path.empty() ? L"its root" : L"\"" + path + L"\"";
        std::vector<std::pair<ImageExtent, std::wstring>> subfolders;
        bool more = false;  // the last file's next record continues it
        for (size_t at = 0; at < records.size();) {
            const size_t length = records[at];
            if (length == 0) {  // the rest of this sector is unused
                at = (at / kSector + 1) * kSector;
                continue;
            }
            const unsigned char* record = records.data() + at;
            if (length < 34 || at + length > records.size() || at / kSector != (at + length - 1) / kSector ||
                33u + record[32] > length)
                return Fail(L"has a damaged directory record in " + where);
            at += length;
            if (record[32] == 1 && record[33] <= 1) continue;  // "." and ".."
            const std::wstring name = RecordName(record + 33, record[32], joliet_);
            if (name.empty()) return Fail(L"holds a name that no Windows folder may hold, in " + where);
            const std::wstring child = path.empty() ? name : path + L"\\" + name;
            const ImageExtent data = RecordExtent(record);
            if (record[25] & kFolderFlag) {
                if (more) return Fail(L"holds a file in pieces that end in a folder, in " + where);
                entries_->push_back({child, true, 0, {}});
                subfolders.push_back({data, child});
                continue;
            }
            if (!Inside(data)) return Fail(L"holds \"" + child + L"\" beyond the end of its volume");
            if (more && entries_->back().path == child) {
                entries_->back().extents.push_back(data);
                entries_->back().size += data.bytes;
            } else if (more) {
                return Fail(L"holds a file in pieces that are not named alike, in " + where);
            } else {
                entries_->push_back({child, false, data.bytes, {data}});
            }
            more = (record[25] & kMoreExtentsFlag) != 0;
        }
        if (more) return Fail(L"holds a file whose last piece is missing, in " + where);
        for (const auto& [data, child] : subfolders)
            if (!Walk(data, child, depth + 1)) return false;
        return true;
    }

    const ImageSource& image_;
    bool joliet_;
    std::vector<ImageEntry>* entries_;
    std::wstring* error_;
    uint64_t volumeBytes_ = 0;
    std::set<uint64_t> visited_;
};

}  // namespace

bool ImageSource::Open(const std::wstring& path, std::wstring* error) {
    path_ = path;
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size;
    if (!file_ || !GetFileSizeEx(file_.get(), &size))
        return Fail(L"cannot be read (" + SystemErrorText(GetLastError()) + L")", error);
    bytes_ = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool ImageSource::Read(uint64_t offset, void* to, size_t length) const {
    if (offset + length > bytes_) return false;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(file_.get(), to, static_cast<DWORD>(length), &got, &at) && got == length;
}

bool ImageSource::Fail(const std::wstring& why, std::wstring* error) const {
    *error = L"\"" + path_ + L"\" " + why;
    return false;
}

bool IsSafeEntryName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name)
        if (c < 0x20 || wcschr(L"\\/:*?\"<>|", c)) return false;
    return true;
}

bool ReadEcma119Tree(const ImageSource& image, bool joliet, std::vector<ImageEntry>* entries, std::wstring* error) {
    entries->clear();
    return Ecma119Walker(image, joliet, entries, error).Run();
}

bool DigestEntry(const ImageSource& image, const ImageEntry& entry, const ByteProgress& progress, FileDigest* digest) {
    CMakeCRC32 crc;
    std::vector<unsigned char> buffer(kCopyChunk);
    bool read = true;
    for (const ImageExtent& extent : entry.extents) {
        for (uint64_t done = 0; done < extent.bytes && read;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), extent.bytes - done));
            read = image.Read(extent.offset + done, buffer.data(), piece);
            crc.Update(buffer.data(), piece);
            done += piece;
            if (progress) progress(piece);
        }
    }
    char text[16] = {};
    crc.HexDigest(text);
    digest->size = entry.size;
    digest->crc = text;
    return read;
}

bool SameImageBytes(const ImageSource& image, const ImageEntry& a, const ImageEntry& b) {
    if (a.size != b.size) return false;
    bool same = a.extents.size() == b.extents.size();
    for (size_t i = 0; same && i < a.extents.size(); ++i)
        same = a.extents[i].offset == b.extents[i].offset && a.extents[i].bytes == b.extents[i].bytes;
    if (same) return true;
    FileDigest first, second;
    return DigestEntry(image, a, nullptr, &first) && DigestEntry(image, b, nullptr, &second) && first.crc == second.crc;
}
