#include "image_layout.h"

#include <windows.h>

#include <algorithm>

#include "disc_image.h"

namespace {

constexpr uint64_t kSystemAreaSectors = 16;
constexpr uint64_t kDescriptorSectors = 3;  // primary, Joliet, terminator

bool IsDCharacter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_'; }

wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

}  // namespace

std::wstring ImageRefusal(const std::wstring& path) {
    const std::vector<std::wstring> parts = SplitDiscPath(path);
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

// The ISO 9660 and Joliet path tables and directories go between the UDF descriptors and the
// anchor at sector 256 when they fit there, else behind the anchor; the partition follows.
uint64_t ImageLayout::PartitionStart(uint64_t ecma119Sectors) {
    return kUdfFirstFreeSector + ecma119Sectors <= kUdfAnchorSector ? kUdfAnchorSector + 1
                                                                    : kUdfAnchorSector + 1 + ecma119Sectors;
}

uint64_t ImageLayout::ImageSectors(uint64_t ecma119Sectors, uint64_t udfBlocks, uint64_t dataSectors) {
    return PartitionStart(ecma119Sectors) + udfBlocks + dataSectors + 1;  // the last sector: an anchor
}

void ImageLayout::Add(const std::wstring& path, bool folder, uint64_t size) {
    const TreeAddition addition = tree_.Find(SplitDiscPath(path), folder, size);
    iso_.Add(tree_, addition);
    joliet_.Add(tree_, addition);
    udf_.Add(addition);
    tree_.Add(addition);
    if (addition.file) dataSectors_ += ImageSectorsFor(size);
}

void ImageLayout::AddFile(const std::wstring& path, uint64_t size) { Add(path, false, size); }

void ImageLayout::AddFolder(const std::wstring& path) { Add(path, true, 0); }

uint64_t ImageLayout::BytesWith(const std::wstring& path, uint64_t size) const {
    const TreeAddition addition = tree_.Find(SplitDiscPath(path), false, size);
    return ImageSectors(iso_.SectorsWith(tree_, addition) + joliet_.SectorsWith(tree_, addition),
                        udf_.BlocksWith(addition), dataSectors_ + ImageSectorsFor(size)) *
           kImageSector;
}

uint64_t ImageLayout::Bytes() const {
    return ImageSectors(iso_.Sectors() + joliet_.Sectors(), udf_.Blocks(), dataSectors_) * kImageSector;
}

namespace {

// FNV-1a, 64 bits.
class ContentHash {
public:
    void Add(const void* data, size_t length) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < length; ++i) value_ = (value_ ^ bytes[i]) * 0x100000001B3ULL;
    }
    void Add(const std::wstring& text) { Add(text.data(), (text.size() + 1) * sizeof(wchar_t)); }
    void Add(uint64_t number) { Add(&number, sizeof number); }
    std::string Hex() const {
        char digits[17];
        for (int i = 0; i < 16; ++i) digits[i] = "0123456789ABCDEF"[(value_ >> (60 - 4 * i)) & 0xF];
        return std::string(digits, 16);
    }

private:
    uint64_t value_ = 0xCBF29CE484222325ULL;
};

// UDF's volume set identifier begins with 16 characters unique to the image: from what it holds
// (names, sizes, times, label), and for an image not made reproducible also from the moment.
std::string VolumeSetId(const ImageTree& tree, const ImageData& data, bool reproducible) {
    ContentHash hash;
    hash.Add(data.label);
    for (size_t folder = 0; folder < tree.folders().size(); ++folder) {
        hash.Add(tree.folders()[folder].path);
        hash.Add(static_cast<uint64_t>(data.folderTimes[folder]));
    }
    for (size_t file = 0; file < tree.files().size(); ++file) {
        hash.Add(tree.files()[file].path);
        hash.Add(tree.files()[file].size);
        hash.Add(static_cast<uint64_t>(data.fileTimes[file]));
    }
    if (!reproducible) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        hash.Add(&now, sizeof now);
    }
    return hash.Hex();
}

}  // namespace

bool ImageLayout::Write(const std::wstring& root, const ImageStamp& stamp, const std::wstring& imagePath,
                        std::wstring* error, const ByteProgress& written) const {
    Iso9660Tree iso = iso_;
    JolietTree joliet = joliet_;
    const ImageClock clock(stamp.reproducible ? &stamp.time : nullptr);
    ImageData data;
    data.label = stamp.label;
    data.now = clock.Now();
    const uint64_t ecma119Sectors = iso.Sectors() + joliet.Sectors();
    UdfVolume volume;
    volume.partitionStart = PartitionStart(ecma119Sectors);
    const uint64_t ecma119Start = volume.partitionStart == kUdfAnchorSector + 1 ? kUdfFirstFreeSector
                                                                                : kUdfAnchorSector + 1;
    uint64_t next = joliet.PlacePathTables(iso.PlacePathTables(ecma119Start));
    joliet.PlaceDirectories(tree_, iso.PlaceDirectories(tree_, next));
    next = volume.partitionStart + udf_.Blocks();
    for (const ImageFileEntry& file : tree_.files()) {
        data.fileSectors.push_back(file.size == 0 ? 0 : next);  // an empty file needs no sector
        next += ImageSectorsFor(file.size);
        data.fileTimes.push_back(clock.TimeOf(root + L"\\" + file.path));
    }
    for (const ImageFolder& folder : tree_.folders())
        data.folderTimes.push_back(clock.TimeOf(folder.path.empty() ? root : root + L"\\" + folder.path));
    data.volumeSectors = next + 1;
    volume.volumeSetId = VolumeSetId(tree_, data, stamp.reproducible);

    ImageFile image;
    if (!image.Open(imagePath, error)) return false;
    image.OnWritten(written);
    image.PadTo(kSystemAreaSectors);
    image.Put(iso.VolumeDescriptor(data));
    image.Put(joliet.VolumeDescriptor(data));
    std::string terminator(kImageSector, '\0');
    terminator.replace(0, 7,
                       "\xFF"
                       "CD001\x01");
    image.Put(terminator);
    image.Put(UdfTree::RecognitionSequence());
    image.Put(udf_.VolumeDescriptors(tree_, data, volume));
    bool sound = image.PadTo(ecma119Start);
    const auto putEcma119 = [&] {
        iso.WritePathTables(tree_, &image);
        joliet.WritePathTables(tree_, &image);
        sound = iso.WriteDirectories(tree_, data, &image) && sound;
        sound = joliet.WriteDirectories(tree_, data, &image) && sound;
    };
    if (ecma119Start < kUdfAnchorSector) putEcma119();
    sound = image.PadTo(kUdfAnchorSector) && sound;
    image.Put(UdfTree::Anchor(kUdfAnchorSector));
    if (ecma119Start > kUdfAnchorSector) putEcma119();
    sound = image.PadTo(volume.partitionStart) && sound;
    image.Put(udf_.PartitionMetadata(tree_, data, volume));
    bool copied = true;
    for (size_t file = 0; file < tree_.files().size() && copied; ++file)
        copied = image.PutFileData(root + L"\\" + tree_.files()[file].path, tree_.files()[file].size, error);
    if (copied) image.Put(UdfTree::Anchor(data.volumeSectors - 1));
    std::wstring closing;
    const bool finished = image.Finish(imagePath, &closing);
    sound = sound && copied && finished && image.Written() == Bytes();
    if (copied && !finished)
        *error = closing;
    else if (copied && !sound)
        *error = L"internal error: the image did not come out as it was planned";
    if (!sound) DeleteFileW(imagePath.c_str());
    return sound;
}
