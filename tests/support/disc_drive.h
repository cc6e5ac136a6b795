// The optical drives R: and S: of the test prefix, whose discs are disc images read through a
// FUSE file system on the Linux side (tests/drive/disc_drive.py, mounted by the test command):
// a test puts an image into a drive, with the drive's speed and the medium's faults, and takes
// it out again. Each call returns once the drive has done it.
#pragma once

#include <string>
#include <vector>

namespace drive {

// Where something lies on a disc: a file of its tree (with backslashes, from the disc's root) and
// a byte of that file.
struct DiscSpot {
    std::wstring path;
    unsigned long long offset = 0;
};

struct DiscOptions {
    std::string profile = "none";  // none, cd52, dvd16, bd12
    // Unreadable sectors: each spot's sector and those up to `bytes` further on.
    struct Unreadable {
        DiscSpot spot;
        unsigned long long bytes = 1;
    };
    std::vector<Unreadable> unreadable;
    unsigned retryMs = 3000;  // how long the drive retries an unreadable sector
    // The disc leaves the drive when a read covers this spot (none when path is empty).
    DiscSpot takenOutAt;
};

// Puts the image into the drive (a letter, 'R' or 'S'), taking out whatever disc was in it.
// False with *error (the drive's own account) when the drive cannot read the image.
bool InsertDisc(wchar_t letter, const std::wstring& image, const DiscOptions& options, std::wstring* error);
bool InsertDisc(wchar_t letter, const std::wstring& image, std::wstring* error);
// Takes the disc out; the drive is then empty.
bool EjectDisc(wchar_t letter);

}  // namespace drive
