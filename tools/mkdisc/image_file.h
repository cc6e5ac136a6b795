// What every file system of a disc image writes with: the image file itself, written in order
// through a buffer, little- and big-endian fields, and times in whole seconds since 1970 (UTC).
#pragma once

#include <cstdint>
#include <string>

#include "base/handles.h"
#include "file_digest.h"

constexpr uint64_t kImageSector = 2048;

inline uint64_t ImageSectorsFor(uint64_t bytes) { return (bytes + kImageSector - 1) / kImageSector; }

void PutLittle(std::string* to, size_t at, uint64_t value, size_t bytes);
void PutBig(std::string* to, size_t at, uint64_t value, size_t bytes);
// Both byte orders, little-endian first (ISO 9660's "both-byte" fields).
void PutBoth(std::string* to, size_t at, uint64_t value, size_t bytes);

// A moment as a calendar shows it in UTC.
struct CalendarTime {
    int year = 1970;
    unsigned month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
CalendarTime CalendarFrom(int64_t unixSeconds);
int64_t UnixNow();

// The times an image records: when it was made, and each file's and folder's last write, no
// later than that moment when the image must come out the same every time.
class ImageClock {
public:
    // fixed: the moment given (SOURCE_DATE_EPOCH or --date); otherwise now.
    explicit ImageClock(const int64_t* fixed) : now_(fixed ? *fixed : UnixNow()), clamp_(fixed != nullptr) {}
    int64_t Now() const { return now_; }
    // The last-write time of a file or folder (the image's own moment when it cannot be read).
    int64_t TimeOf(const std::wstring& path) const;

private:
    int64_t now_;
    bool clamp_;
};

// The image file, written sector after sector.
class ImageFile {
public:
    bool Open(const std::wstring& path, std::wstring* error);
    // Told the bytes of each write to the file.
    void OnWritten(ByteProgress written) { writtenProgress_ = std::move(written); }
    void Put(const char* data, size_t length);
    void Put(const std::string& bytes) { Put(bytes.data(), bytes.size()); }
    void PadSector();
    // Zeros up to the start of the given sector; false when the image is past it already.
    bool PadTo(uint64_t sector);
    uint64_t Written() const { return written_; }
    // Copies a file's bytes and pads its last sector; false with a message when it cannot be
    // read or no longer has the size it was planned with.
    bool PutFileData(const std::wstring& path, uint64_t size, std::wstring* error);
    // False when any write failed.
    bool Finish(const std::wstring& path, std::wstring* error);

private:
    void Flush();
    FileHandle file_;
    std::string buffer_;
    uint64_t written_ = 0;
    bool failed_ = false;
    unsigned long failure_ = 0;
    ByteProgress writtenProgress_;
};
