#include "image_file.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "tool_text.h"

namespace {

constexpr size_t kCopyChunk = 1 << 20;
constexpr int64_t kSecondsPerDay = 86400;
// FILETIME counts 100-nanosecond steps from 1601; 1970 lies this many seconds later.
constexpr int64_t kFileTimeUnixOffset = 11644473600LL;
constexpr int64_t kFileTimeStepsPerSecond = 10000000;

int64_t UnixSecondsOf(const FILETIME& time) {
    const uint64_t steps = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<int64_t>(steps / kFileTimeStepsPerSecond) - kFileTimeUnixOffset;
}

}  // namespace

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

// Days since 1970 to a date of the proleptic Gregorian calendar, counted in eras of 400 years
// that begin on 1 March.
CalendarTime CalendarFrom(int64_t unixSeconds) {
    int64_t days = unixSeconds / kSecondsPerDay;
    int64_t rest = unixSeconds % kSecondsPerDay;
    if (rest < 0) rest += kSecondsPerDay, --days;
    const int64_t shifted = days + 719468;  // days from 0000-03-01
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const int64_t dayOfEra = shifted - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;  // 0 is March
    CalendarTime time;
    time.day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    time.month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    time.year = static_cast<int>(yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0));
    time.hour = static_cast<unsigned>(rest / 3600);
    time.minute = static_cast<unsigned>(rest / 60 % 60);
    time.second = static_cast<unsigned>(rest % 60);
    return time;
}

int64_t UnixNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return UnixSecondsOf(now);
}

int64_t ImageClock::TimeOf(const std::wstring& path) const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return now_;
    const int64_t time = UnixSecondsOf(data.ftLastWriteTime);
    return clamp_ ? std::min(time, now_) : time;
}

bool ImageFile::Open(const std::wstring& path, std::wstring* error) {
    file_.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_) return true;
    *error = L"cannot create \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

void ImageFile::Put(const char* data, size_t length) {
    buffer_.append(data, length);
    written_ += length;
    if (buffer_.size() >= kCopyChunk) Flush();
}

void ImageFile::PadSector() {
    Put(std::string(static_cast<size_t>((kImageSector - written_ % kImageSector) % kImageSector), '\0'));
}

bool ImageFile::PadTo(uint64_t sector) {
    if (written_ > sector * kImageSector) return false;
    while (written_ < sector * kImageSector)
        Put(std::string(static_cast<size_t>(std::min<uint64_t>(sector * kImageSector - written_, kCopyChunk)), '\0'));
    return true;
}

bool ImageFile::PutFileData(const std::wstring& path, uint64_t size, std::wstring* error) {
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
        if (copied > size) break;
        Put(buffer.data(), got);
    }
    if (copied != size) {
        *error = L"\"" + path + L"\" no longer has the " + std::to_wstring(size) +
                 L" bytes it was planned with; make the discs again";
        return false;
    }
    PadSector();
    return true;
}

bool ImageFile::Finish(const std::wstring& path, std::wstring* error) {
    Flush();
    if (!failed_ && CloseHandle(file_.release())) return true;
    *error = L"cannot write \"" + path + L"\" (" + SystemErrorText(failure_ ? failure_ : GetLastError()) + L")";
    return false;
}

void ImageFile::Flush() {
    DWORD done = 0;
    if (!failed_ && !buffer_.empty() &&
        (!WriteFile(file_.get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), &done, nullptr) ||
         done != buffer_.size()))
        failed_ = true, failure_ = GetLastError();
    if (writtenProgress_ && !buffer_.empty()) writtenProgress_(buffer_.size());
    buffer_.clear();
}
