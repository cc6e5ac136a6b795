// mkdisc: makes the discs of a game for installer.exe, and checks a set of discs.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/text.h"
#include "build_commit.h"
#include "disc_author.h"
#include "disc_verify.h"
#include "image_layout.h"
#include "tool_text.h"

namespace {

const wchar_t kUsage[] =
    L"mkdisc - makes the discs of a game for installer.exe, and checks them\n"
    L"\n"
    L"  mkdisc make --game <folder> --out <folder> --installer <installer.exe> --ini <setup.ini>\n"
    L"              [--template <uninst.dat>] [--capacity <size>] [--compress <pattern>]...\n"
    L"              [--order <file>] [--install-room <characters>]\n"
    L"              [--iso | --iso-only [--label <label>] [--date <time>]] [--quiet]\n"
    L"  mkdisc image <disc folder> <file.iso> [--label <label>] [--date <time>] [--quiet]\n"
    L"  mkdisc verify <disc folder or image> [<disc folder or image>...] [--quiet]\n"
    L"  mkdisc --help\n"
    L"  mkdisc --version\n"
    L"\n"
    L"make     copies every file of the game folder into disc folders <out>\\disc1, disc2, ...,\n"
    L"         filling each up to the capacity in list order. Every disc gets drvno.dat\n"
    L"         (drvno:0 on disc1) and a data folder; disc1 also gets installer.exe, setup.ini,\n"
    L"         setup.lst (disc,path,size,crc32 per file, Shift_JIS) and uninst.dat (the\n"
    L"         template, or an empty one). Every input is checked first and every problem\n"
    L"         reported at once: names the installer or a disc would refuse (also names over\n"
    L"         Joliet's 64 characters, paths over its 240 bytes), a setup.ini that is not\n"
    L"         code page 932 or lacks [INSTALLER] with Company, AppName, InstFolder (one\n"
    L"         folder name) and AppExe (a file of the game), an installer that is not the\n"
    L"         32-bit GUI installer.exe, template lines that are not kind,path.\n"
    L"         The discs are made in <out>.mkdisc-partial beside <out> and moved into <out>\n"
    L"         when all is done: a run that fails or is stopped (Ctrl+C) leaves <out> as it\n"
    L"         was; what a killed run leaves beside it, the next run removes. <out> must be\n"
    L"         new (in an existing folder) or empty. Its volume must have room for all that is\n"
    L"         written: the disc folders, and with --iso the images as well (about twice the\n"
    L"         stored game); checked before anything is written, and again once compressed.\n"
    L"  --capacity      the size of the medium: a number of bytes with an optional K, M or G\n"
    L"                  (powers of 1,024), or cd650, cd700 (the default), dvd5, dvd9, bd25,\n"
    L"                  bd50. Each disc is planned as the ISO 9660 image with Joliet names\n"
    L"                  (and Rock Ridge) that a burner writes of its folder: whole 2,048-byte\n"
    L"                  sectors per file, the file system's own sectors, 300 KiB of padding.\n"
    L"                  Such a disc holds files of at most 4 GiB less one byte.\n"
    L"  --compress      store matching files bzip2-compressed as <name>.bz2, expanded by the\n"
    L"                  installer. A pattern without \\ matches names (\"*.dat\"), one with \\\n"
    L"                  matches paths inside the game folder (\"movie\\*\"). May repeat.\n"
    L"                  Game files whose names end in .bz2 are always compressed once more.\n"
    L"  --order         a text file (UTF-8 or Shift_JIS) naming the files to put on the\n"
    L"                  discs, one path inside the game folder per line, in the order wanted;\n"
    L"                  without it every file goes, sorted by path.\n"
    L"  --install-room  characters a player's install folder may take (default 64): every\n"
    L"                  path must fit the installer's 259-character limit behind it.\n"
    L"  --iso           also writes <out>\\disc1.iso, disc2.iso, ...: images ready to burn,\n"
    L"                  with three trees over the same data: ISO 9660, Joliet names and a\n"
    L"                  UDF 1.02 bridge (which Windows reads first). Each disc is then planned\n"
    L"                  as exactly its image. Files of 4 GiB and more and folders of any\n"
    L"                  depth go into images; more than 65,535 folders are refused.\n"
    L"  --iso-only      writes the images without keeping the disc folders: each folder goes\n"
    L"                  once its image is made, so the room needed is about the images'.\n"
    L"  --label         the images' volume label: up to 16 of A-Z, 0-9 and _ (default: made\n"
    L"                  from setup.ini's AppName, or GAME).\n"
    L"  --date          makes the images come out the same every time: every time an image\n"
    L"                  records of itself is this one (seconds since 1970, or\n"
    L"                  YYYY-MM-DDThh:mm:ssZ), later file times are recorded as it, and its\n"
    L"                  identifiers come from its content. SOURCE_DATE_EPOCH does the same.\n"
    L"image    writes the image of one disc folder, its files in path order.\n"
    L"verify   reads drvno.dat of each disc and setup.lst of the first, and checks that every\n"
    L"         listed file is there and has the listed size and CRC-32 after expansion by\n"
    L"         the installer's own code (every bzip2 stream of a file). Images (.iso) are\n"
    L"         read in place through their Joliet names, as Windows reads a disc.\n"
    L"--quiet  no progress lines (on standard error: every long phase, at most one line\n"
    L"         every 2 seconds with its rate and time left, and its time at the end).\n"
    L"\n"
    L"Exit status: 0 done, 1 refused or problems found, 2 wrong command line.\n";

const wchar_t kLabelRule[] = L" (1 to 16 of A-Z, 0-9 and _)";
const wchar_t kDateRule[] = L" (seconds since 1970, or YYYY-MM-DDThh:mm:ssZ)";

// A moment given as seconds since 1970 or as an ISO 8601 time in UTC.
bool ParseDate(const std::wstring& text, int64_t* seconds) {
    if (text.empty()) return false;
    if (text.find_first_not_of(L"0123456789") == std::wstring::npos) {
        if (text.size() > 12) return false;
        *seconds = static_cast<int64_t>(std::stoll(text));
        return true;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    wchar_t zone = 0;
    if (swscanf(text.c_str(), L"%4d-%2d-%2dT%2d:%2d:%2d%lc", &year, &month, &day, &hour, &minute, &second, &zone) !=
            7 ||
        zone != L'Z' || year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    // Days from 1970 to the first of the month, the year counted from March.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = y / 400, yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int64_t days = static_cast<int64_t>(era) * 146097 + dayOfEra - 719468;
    *seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return CalendarFrom(*seconds).day == static_cast<unsigned>(day);
}

// SOURCE_DATE_EPOCH, the usual way to ask build tools for reproducible output; false when unset.
bool SourceDateEpoch(int64_t* seconds, bool* malformed) {
    wchar_t value[32];
    const DWORD length = GetEnvironmentVariableW(L"SOURCE_DATE_EPOCH", value, 32);
    if (length == 0 || length >= 32) return false;
    const std::wstring text(value, length);
    *malformed = text.find_first_not_of(L"0123456789") != std::wstring::npos || !ParseDate(text, seconds);
    return !*malformed;
}

// Ctrl+C and Ctrl+Break ask make to stop: it ends at the next file or piece, removes what it
// began and leaves the output folder as it was.
std::atomic<bool> stopRequested{false};

BOOL WINAPI RequestStop(DWORD) {
    stopRequested = true;
    return TRUE;
}

// Each line of a refusal, as its own line.
void PrintRefusal(const std::wstring& text) {
    size_t start = 0;
    for (size_t end = text.find(L'\n');; end = text.find(L'\n', start)) {
        PrintErrorLine(L"mkdisc: refused: " + text.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos) return;
        start = end + 1;
    }
}

int UsageError(const std::wstring& text) {
    PrintErrorLine(L"mkdisc: " + text);
    PrintErrorLine(L"mkdisc: see mkdisc --help");
    return 2;
}


// The options of make that take one text each.
struct TextOptionName {
    const wchar_t* name;
    std::wstring DiscSetOptions::*field;
    bool required;
};
const TextOptionName kTextOptions[] = {
    {L"--game", &DiscSetOptions::gameFolder, true},         {L"--out", &DiscSetOptions::outFolder, true},
    {L"--installer", &DiscSetOptions::installerPath, true}, {L"--ini", &DiscSetOptions::iniPath, true},
    {L"--template", &DiscSetOptions::templatePath, false},  {L"--order", &DiscSetOptions::orderFile, false},
};

std::wstring DiscSetOptions::*TextOption(const std::wstring& name) {
    for (const TextOptionName& option : kTextOptions)
        if (name == option.name) return option.field;
    return nullptr;
}

int RunMake(const std::vector<std::wstring>& args) {
    DiscSetOptions options;
    bool quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& name = args[i];
        if (name == L"--quiet" || name == L"--iso" || name == L"--iso-only") {
            (name == L"--iso" ? options.images : name == L"--iso-only" ? options.imagesOnly : quiet) = true;
            continue;
        }
        if (i + 1 >= args.size()) return UsageError(name + L" needs a value");
        const std::wstring& value = args[++i];
        if (std::wstring DiscSetOptions::*field = TextOption(name)) {
            options.*field = value;
            continue;
        }
        if (name == L"--compress")
            options.compressPatterns.push_back(value);
        else if (name == L"--label") {
            if (!ReadVolumeLabel(value, &options.label))
                return UsageError(L"cannot use the label " + value + kLabelRule);
        } else if (name == L"--date") {
            if (!ParseDate(value, &options.sourceDate)) return UsageError(L"cannot read the date " + value + kDateRule);
            options.reproducible = true;
        } else if (name == L"--capacity") {
            if (!ParseCapacity(value, &options.capacity)) return UsageError(L"cannot read the capacity " + value);
        } else if (name == L"--install-room") {
            wchar_t* end = nullptr;
            unsigned long room = wcstoul(value.c_str(), &end, 10);
            if (value.empty() || *end) return UsageError(L"cannot read the install room " + value);
            options.installRoom = room;
        } else {
            return UsageError(L"unknown option " + name);
        }
    }
    for (const TextOptionName& option : kTextOptions)
        if (option.required && (options.*option.field).empty())
            return UsageError(std::wstring(option.name) + L" is required");
    bool malformed = false;
    if (!options.reproducible) options.reproducible = SourceDateEpoch(&options.sourceDate, &malformed);
    if (malformed) return UsageError(L"cannot read SOURCE_DATE_EPOCH (seconds since 1970)");

    ProgressReport progress(quiet);
    options.stop = &stopRequested;
    SetConsoleCtrlHandler(RequestStop, TRUE);
    DiscSetResult result;
    std::wstring error;
    const bool made = MakeDiscSet(options, &progress, &result, &error);
    for (const std::wstring& note : result.notes) PrintErrorLine(L"mkdisc: note: " + note);
    if (!made) {
        PrintRefusal(error);
        return 1;
    }
    const std::vector<std::wstring>& discs = options.imagesOnly ? result.discImages : result.discFolders;
    std::vector<size_t> counts(discs.size());
    uint64_t installed = 0;
    for (const AuthoredFile& file : result.files) {
        ++counts[static_cast<size_t>(file.disc)];
        installed += file.size;
    }
    for (size_t d = 0; d < discs.size(); ++d)
        PrintLine(discs[d] + L": drvno:" + std::to_wstring(d) + L", " + std::to_wstring(counts[d]) + L" files, image " +
                  std::to_wstring(result.discBytes[d]) + L" of " + std::to_wstring(options.capacity) + L" bytes" +
                  FormatText(L" (%.1f%%)",
                             100.0 * static_cast<double>(result.discBytes[d]) / static_cast<double>(options.capacity)));
    for (const std::wstring& image : result.discImages) PrintLine(image + L": written");
    PrintLine(std::to_wstring(result.files.size()) + L" files, " + Megabytes(installed) + L" MB installed, on " +
              std::to_wstring(discs.size()) + L" disc(s)");
    return 0;
}

int RunImage(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> paths;
    ImageStamp stamp;
    bool quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--quiet") {
            quiet = true;
        } else if (args[i] == L"--label") {
            if (i + 1 >= args.size() || !ReadVolumeLabel(args[i + 1], &stamp.label))
                return UsageError(L"--label needs a label" + std::wstring(kLabelRule));
            ++i;
        } else if (args[i] == L"--date") {
            if (i + 1 >= args.size() || !ParseDate(args[i + 1], &stamp.time))
                return UsageError(L"--date needs a time" + std::wstring(kDateRule));
            stamp.reproducible = true;
            ++i;
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 2) return UsageError(L"image needs a disc folder and an image file");
    bool malformed = false;
    if (!stamp.reproducible) stamp.reproducible = SourceDateEpoch(&stamp.time, &malformed);
    if (malformed) return UsageError(L"cannot read SOURCE_DATE_EPOCH (seconds since 1970)");
    uint64_t bytes = 0;
    std::wstring error;
    ProgressReport progress(quiet);
    if (!MakeFolderImage(paths[0], paths[1], stamp, &bytes, &error, &progress)) {
        PrintErrorLine(L"mkdisc: refused: " + error);
        return 1;
    }
    PrintLine(paths[1] + L": image " + std::to_wstring(bytes) + L" bytes");
    return 0;
}

int RunVerify(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> folders;
    bool quiet = false;
    for (const std::wstring& arg : args) {
        if (arg == L"--quiet")
            quiet = true;
        else if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-')
            return UsageError(L"unknown option " + arg);
        else
            folders.push_back(arg);
    }
    if (folders.empty()) return UsageError(L"verify needs at least one disc folder or image");
    ProgressReport progress(quiet);
    VerifyReport report;
    const bool sound = VerifyDiscSet(folders, &progress, &report);
    for (const std::wstring& note : report.notes) PrintLine(L"note: " + note);
    for (const std::wstring& problem : report.problems) PrintLine(L"PROBLEM: " + problem);
    PrintLine(std::to_wstring(report.filesChecked) + L" files checked, " + std::to_wstring(report.problems.size()) +
              L" problem(s)");
    return sound ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?" || args[0] == L"help") {
        PrintLine(kUsage);
        return args.empty() ? 2 : 0;
    }
    if (args[0] == L"--version") {
        PrintLine(L"mkdisc " INSTALLER_COMMIT_TEXT);
        return 0;
    }
    const std::wstring command = args[0];
    args.erase(args.begin());
    if (command == L"make") return RunMake(args);
    if (command == L"verify") return RunVerify(args);
    if (command == L"image") return RunImage(args);
    return UsageError(L"unknown command " + command);
}
