#include "iso_reader.h"

#include <windows.h>

#include <set>
#include <vector>

#include "base/handles.h"
#include "tool_text.h"

namespace {

constexpr uint64_t kSector = 2048;
constexpr uint64_t kFirstDescriptor = 16;
constexpr uint64_t kMostDescriptors = 64;
constexpr int kDeepestFolder = 64;
constexpr uint32_t kLargestDirectory = 64u << 20;
constexpr size_t kCopyChunk = 1 << 20;
constexpr uint8_t kFolderFlag = 0x02, kMoreExtentsFlag = 0x80;

uint32_t Little32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

struct Extent {
    uint32_t sector = 0;
    uint32_t bytes = 0;
};

Extent RecordExtent(const unsigned char* record) { return {Little32(record + 2), Little32(record + 10)}; }

// A Joliet name without its version (";1"), or empty when it is no name a folder may hold.
std::wstring SafeName(const unsigned char* bytes, size_t length) {
    if (length == 0 || length % 2 != 0) return std::wstring();
    std::wstring name;
    for (size_t i = 0; i < length; i += 2) name += static_cast<wchar_t>(bytes[i] << 8 | bytes[i + 1]);
    const size_t version = name.rfind(L';');
    if (version != std::wstring::npos) name.resize(version);
    if (name.empty() || name == L"." || name == L"..") return std::wstring();
    for (wchar_t c : name)
        if (c < 0x20 || wcschr(L"\\/:*?\"<>|", c)) return std::wstring();
    return name;
}

class JolietExtractor {
public:
    JolietExtractor(const std::wstring& imagePath, std::wstring* error) : imagePath_(imagePath), error_(error) {}

    bool Run(const std::wstring& folder) {
        image_.reset(
            CreateFileW(imagePath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size;
        if (!image_ || !GetFileSizeEx(image_.get(), &size))
            return Fail(L"cannot be read (" + SystemErrorText(GetLastError()) + L")");
        fileBytes_ = static_cast<uint64_t>(size.QuadPart);
        Extent root;
        return FindJoliet(&root) && ExtractFolder(root, folder, 0);
    }

private:
    bool Fail(const std::wstring& why) {
        *error_ = L"\"" + imagePath_ + L"\" " + why;
        return false;
    }

    bool Read(uint64_t offset, unsigned char* to, size_t length) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD got = 0;
        return SetFilePointerEx(image_.get(), at, nullptr, FILE_BEGIN) &&
               ReadFile(image_.get(), to, static_cast<DWORD>(length), &got, nullptr) && got == length;
    }

    bool Inside(const Extent& extent) const {
        const uint64_t end = extent.sector * kSector + extent.bytes;
        return end <= volumeBytes_ && end <= fileBytes_;
    }

    bool FindJoliet(Extent* root) {
        unsigned char descriptor[kSector];
        for (uint64_t sector = kFirstDescriptor; sector < kFirstDescriptor + kMostDescriptors; ++sector) {
            if (!Read(sector * kSector, descriptor, kSector) || memcmp(descriptor + 1, "CD001", 5) != 0)
                return Fail(L"is not an ISO 9660 image");
            if (descriptor[0] == 255) break;
            const bool joliet = descriptor[0] == 2 && descriptor[88] == '%' && descriptor[89] == '/' &&
                                (descriptor[90] == '@' || descriptor[90] == 'C' || descriptor[90] == 'E');
            if (!joliet) continue;
            volumeBytes_ = Little32(descriptor + 80) * kSector;
            if (volumeBytes_ > fileBytes_)
                return Fail(L"is cut short: its volume has " + std::to_wstring(volumeBytes_) + L" bytes, the file " +
                            std::to_wstring(fileBytes_));
            *root = RecordExtent(descriptor + 156);
            return true;
        }
        return Fail(L"has no Joliet tree, which Windows reads the disc through");
    }

    bool ExtractFolder(const Extent& extent, const std::wstring& to, int depth) {
        if (depth > kDeepestFolder || !visited_.insert(extent.sector).second)
            return Fail(L"has folders that loop or lie deeper than any disc's");
        if (extent.bytes > kLargestDirectory || !Inside(extent))
            return Fail(L"has a folder beyond the end of its volume");
        std::vector<unsigned char> records(extent.bytes);
        if (!Read(extent.sector * kSector, records.data(), records.size()))
            return Fail(L"cannot be read (" + SystemErrorText(GetLastError()) + L")");
        for (size_t at = 0; at < records.size();) {
            const size_t length = records[at];
            if (length == 0) {  // the rest of this sector is unused
                at = (at / kSector + 1) * kSector;
                continue;
            }
            const unsigned char* record = records.data() + at;
            if (length < 34 || at + length > records.size() || at / kSector != (at + length - 1) / kSector ||
                33u + record[32] > length)
                return Fail(L"has a damaged directory record in \"" + to + L"\"");
            at += length;
            if (record[32] == 1 && record[33] <= 1) continue;  // "." and ".."
            const std::wstring name = SafeName(record + 33, record[32]);
            if (name.empty()) return Fail(L"holds a name that no Windows folder may hold, in \"" + to + L"\"");
            if (record[25] & kMoreExtentsFlag) return Fail(L"holds \"" + name + L"\" in several pieces");
            const std::wstring path = to + L"\\" + name;
            const bool sound = (record[25] & kFolderFlag) ? (CreateDirectoryW(path.c_str(), nullptr) ||
                                                             Fail(L"cannot make \"" + path + L"\"")) &&
                                                                ExtractFolder(RecordExtent(record), path, depth + 1)
                                                          : ExtractFile(RecordExtent(record), path);
            if (!sound) return false;
        }
        return true;
    }

    bool ExtractFile(const Extent& extent, const std::wstring& path) {
        if (!Inside(extent)) return Fail(L"holds \"" + path + L"\" beyond the end of its volume");
        FileHandle out(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) return Fail(L"cannot be copied to \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")");
        std::vector<unsigned char> buffer(kCopyChunk);
        for (uint64_t done = 0; done < extent.bytes;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(buffer.size(), extent.bytes - done));
            DWORD written = 0;
            if (!Read(extent.sector * kSector + done, buffer.data(), piece) ||
                !WriteFile(out.get(), buffer.data(), static_cast<DWORD>(piece), &written, nullptr) || written != piece)
                return Fail(L"cannot be copied to \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")");
            done += piece;
        }
        return true;
    }

    std::wstring imagePath_;
    std::wstring* error_;
    FileHandle image_;
    uint64_t fileBytes_ = 0, volumeBytes_ = 0;
    std::set<uint32_t> visited_;
};

}  // namespace

bool ExtractJolietTree(const std::wstring& imagePath, const std::wstring& folder, std::wstring* error) {
    return JolietExtractor(imagePath, error).Run(folder);
}
