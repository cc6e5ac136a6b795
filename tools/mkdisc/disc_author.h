// Making a set of disc folders from a folder of game files: the data folders filled in list
// order up to a capacity, a drvno.dat on every disc, and on the first the installer with its
// control files, setup.lst written in code page 932.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image_layout.h"
#include "progress_report.h"

// Capacities are the size of the medium; each disc is planned as the ISO 9660 image with
// Joliet names that a burner writes of its folder.
constexpr uint64_t kCd700Capacity = 737280000;  // 360,000 sectors of 2,048 bytes
constexpr int kMaxDiscs = 10;                   // drvno.dat marks a disc with one digit
constexpr size_t kDefaultInstallRoom = 64;

struct DiscSetOptions {
    std::wstring gameFolder;
    // A new folder (its parent must exist) or an empty one; receives disc1, disc2, ... only once
    // everything is made, in a scratch folder beside it (<out>.mkdisc-partial).
    std::wstring outFolder;
    uint64_t capacity = kCd700Capacity;
    std::vector<std::wstring> compressPatterns;  // matched against the name, or the path when it has a "\"
    std::wstring orderFile;                      // optional: list paths in the wanted order
    std::wstring installerPath;
    std::wstring iniPath;
    std::wstring templatePath;  // optional: an empty uninst.dat otherwise
    // Characters a player's install folder may take (with its final backslash); every path
    // must still fit the installer's 259-character limit behind such a folder.
    size_t installRoom = kDefaultInstallRoom;
    // Writes disc1.iso, disc2.iso, ... beside the disc folders, each disc planned as exactly its image.
    bool images = false;
    bool imagesOnly = false;  // with images: each disc folder goes once its image is written
    std::wstring label;       // of every image; empty: made from setup.ini's AppName
    // Images that come out the same every time: all they record of themselves is this time.
    bool reproducible = false;
    int64_t sourceDate = 0;  // seconds since 1970 (UTC)
    // Set (by Ctrl+C) to stop: the run then ends as refused, the output folder as it was.
    const std::atomic<bool>* stop = nullptr;
};

struct AuthoredFile {
    std::wstring listPath;  // as written to setup.lst (".bz2" kept)
    int disc = 0;           // 0-based
    uint64_t size = 0;      // installed size
    uint64_t storedSize = 0;
    std::string crc;
    bool compressed = false;
};

struct DiscSetResult {
    std::vector<AuthoredFile> files;
    std::vector<uint64_t> discBytes;  // the planned image size of each disc
    std::vector<std::wstring> discFolders;
    std::vector<std::wstring> discImages;  // with DiscSetOptions::images
    std::vector<std::wstring> notes;       // worth telling, also when the run fails
};

// False with a message in *error, one line per problem, when an input holds something the
// installer would refuse or mishandle or a disc cannot hold, when the volume of the output folder
// has too little free space, when writing fails or when stopped. Every refusal comes before the
// output folder is touched, and a run that fails leaves it as it was. progress (may be null)
// hears of scanning, compressing, copying and writing images.
bool MakeDiscSet(const DiscSetOptions& options, ProgressReport* progress, DiscSetResult* result, std::wstring* error);

// Writes the image of one disc folder (its files in path order) into imagePath, labelled with
// label or else with a label made from the folder's setup.ini or its own name; *bytes is the
// image's size. False with a message when the folder holds what an image cannot hold (checked
// before anything is written) or when writing fails.
// stamp's label, when empty, is made as described. progress (may be null) hears of the writing.
bool MakeFolderImage(const std::wstring& folder, const std::wstring& imagePath, const ImageStamp& stamp,
                     uint64_t* bytes, std::wstring* error, ProgressReport* progress = nullptr);

// The label setup.ini's AppName gives a disc (see VolumeLabelFrom), or otherwise when it gives none.
std::wstring DefaultVolumeLabel(const std::wstring& iniPath, const std::wstring& otherwise);

// The scratch folder beside the output folder, in which a run makes the discs.
std::wstring ScratchFolderOf(const std::wstring& outFolder);

// The folder name of a disc inside the output folder: disc1 for disc 0.
std::wstring DiscFolderName(int disc);

// Parses a capacity: bytes, a number with K, M or G (powers of 1,024), or cd650, cd700, dvd5, dvd9,
// bd25, bd50.
bool ParseCapacity(const std::wstring& text, uint64_t* capacity);
