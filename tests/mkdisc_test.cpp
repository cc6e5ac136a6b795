// mkdisc: what it refuses, how it fills discs, and whether verify finds what is wrong.
#include <gtest/gtest.h>

#include <windows.h>
#include <bzlib.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "base/handles.h"
#include "disc_author.h"
#include "disc_verify.h"
#include "image_layout.h"
#include "install/progress_state.h"
#include "progress_report.h"
#include "records/list_format.h"
#include "support/bzip2_bytes.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "transfer/crc32.h"
#include "transfer/expand.h"
#include "udf_tree.h"

namespace {

// A file beside this test program, or up levels from there.
std::wstring BesideTests(const std::wstring& relative) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring program = self;
    return program.substr(0, program.find_last_of(L'\\') + 1) + relative;
}

// The installer that ships (the i686 build's), and a small stand-in that passes for it.
std::wstring ShippedInstaller() { return BesideTests(L"..\\..\\i686\\installer.exe"); }
std::wstring StandInInstaller() { return BesideTests(L"installer_stand_in.exe"); }

std::string SetupIni(const std::wstring& appExe) {
    return ToCp932(L"[INSTALLER]\r\nCompany=テスト工房\r\nAppName=test\r\nInstFolder=テスト\r\nAppExe=" + appExe +
                   L"\r\n");
}

struct Game {
    TempFolder root{L"mkdisc"};
    std::wstring game = root / L"game";
    std::wstring out = root / L"out";
    std::wstring appExe;  // the first file added

    Game() {
        CopyFileW(StandInInstaller().c_str(), (root / L"installer.exe").c_str(), FALSE);
        WriteFileBytes(root / L"uninst.dat", "0,save\\*.sav\r\n");
    }
    void Add(const std::wstring& relative, const std::string& bytes) {
        if (appExe.empty()) appExe = relative;
        ASSERT_TRUE(WriteFileBytes(game + L"\\" + relative, bytes));
    }
    DiscSetOptions Options() const {
        WriteFileBytes(root / L"setup.ini", SetupIni(appExe));
        DiscSetOptions options;
        options.gameFolder = game;
        options.outFolder = out;
        options.installerPath = root / L"installer.exe";
        options.iniPath = root / L"setup.ini";
        options.templatePath = root / L"uninst.dat";
        return options;
    }
    std::wstring Disc(int disc) const { return out + L"\\" + DiscFolderName(disc); }
};

struct ListLine {
    int disc;
    std::wstring listPath;
    int64_t size;
    std::wstring crc;
};

// Reads setup.lst the way the installer does: code page 932, one line per file.
std::vector<ListLine> ReadSetupList(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, &bytes));
    int length = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                     0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(932, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    std::vector<ListLine> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        EXPECT_NE(end, std::wstring::npos) << "every line ends with CR LF";
        if (end == std::wstring::npos) break;
        FileEntry entry{};
        std::wstring line = text.substr(start, end - start);
        EXPECT_TRUE(ParseFileListLine(line.c_str(), L"C:\\Game\\", &entry)) << line;
        lines.push_back({entry.disc, std::wstring(entry.sourcePath).substr(5), entry.size, entry.crcText});
        start = end + 2;
    }
    return lines;
}

std::wstring CrcText(const std::string& bytes) {
    wchar_t text[9];
    swprintf(text, 9, L"%08x", Crc32Of(bytes.data(), bytes.size()));
    return text;
}

std::string Expand(const std::string& compressed, size_t expectedSize) {
    std::string out(expectedSize + 16, '\0');
    unsigned length = static_cast<unsigned>(out.size());
    EXPECT_EQ(BZ2_bzBuffToBuffDecompress(out.data(), &length, const_cast<char*>(compressed.data()),
                                         static_cast<unsigned>(compressed.size()), 0, 0),
              BZ_OK);
    out.resize(length);
    return out;
}

// An environment variable set for a while, then restored.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t old[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(name, old, MAX_PATH);
        had_ = length > 0 && length < MAX_PATH;
        if (had_) old_ = old;
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }

private:
    std::wstring name_, old_;
    bool had_ = false;
};

bool Make(const DiscSetOptions& options, DiscSetResult* result, std::wstring* error) {
    return MakeDiscSet(options, nullptr, result, error);
}

// Runs mkdisc.exe (built beside this test program's folder) and returns its exit code.
DWORD RunTool(const std::wstring& arguments, std::string* output) {
    const std::wstring tool = BesideTests(L"..\\tools\\mkdisc\\mkdisc.exe");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    ObjectHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.get();
    startup.hStdError = writer.get();
    std::wstring command = L"\"" + tool + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(tool.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start mkdisc.exe";
        return 99;
    }
    ObjectHandle processHandle(process.hProcess), thread(process.hThread);
    writer.reset();
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) output->append(buffer, got);
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 99;
    GetExitCodeProcess(processHandle.get(), &code);
    return code;
}

std::string Utf8(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length, nullptr, nullptr);
    return bytes;
}

}  // namespace

TEST(Mkdisc, RefusesWhatTheInstallerWouldRefuseAndWritesNothing) {
    struct Case {
        std::wstring relative;
        const wchar_t* because;
    };
    const Case cases[] = {
        {L"voice\\a,b.ogg", L"comma"},
        {L"名前\\한글.txt", L"code page 932"},
        {L"voice\\" + std::wstring(61, L'声') + L".ogg", L"at most 64"},  // 65 characters
        {std::wstring(20, L'a') + L"\\" + std::wstring(20, L'b') + L"\\" + std::wstring(20, L'c') + L"\\" +
             std::wstring(20, L'd') + L"\\" + std::wstring(20, L'e') + L"\\" + std::wstring(20, L'f') + L"\\g.txt",
         L"at most 240"},  // 267 bytes with "data\\"
    };
    for (const Case& c : cases) {
        Game game;
        game.Add(L"ok.txt", "fine");
        game.Add(c.relative, "x");
        DiscSetResult result;
        std::wstring error;
        EXPECT_FALSE(Make(game.Options(), &result, &error)) << Utf8(c.relative);
        EXPECT_NE(error.find(c.because), std::wstring::npos) << Utf8(error);
        EXPECT_FALSE(FolderExists(game.out)) << "a refusal leaves no half-made discs";
    }
    {
        // 98 characters fit behind an install folder of 64 characters, not behind one of 200.
        const std::wstring deep = std::wstring(30, L'd') + L"\\" + std::wstring(30, L'e') + L"\\" +
                                  std::wstring(30, L'f') + L"\\g.txt";
        Game game;
        game.Add(deep, "x");
        DiscSetOptions options = game.Options();
        options.installRoom = 200;
        DiscSetResult result;
        std::wstring error;
        EXPECT_FALSE(Make(options, &result, &error));
        EXPECT_NE(error.find(L"too long"), std::wstring::npos) << Utf8(error);
        EXPECT_FALSE(FolderExists(game.out));
        options.installRoom = 64;
        EXPECT_TRUE(Make(options, &result, &error)) << Utf8(error);
        EXPECT_TRUE(FileExists(game.Disc(0) + L"\\data\\" + deep));
    }
    for (const std::wstring outside : {L"..\\secret.txt", L"C:\\windows\\win.ini", L"\\root.txt", L"a\\.\\ok.txt"}) {
        Game game;
        game.Add(L"a\\ok.txt", "fine");
        WriteFileBytes(game.root / L"secret.txt", "outside");
        WriteFileBytes(game.root / L"order.txt", "a/ok.txt\r\n" + Utf8(outside) + "\r\n");
        DiscSetOptions options = game.Options();
        options.orderFile = game.root / L"order.txt";
        DiscSetResult result;
        std::wstring error;
        EXPECT_FALSE(Make(options, &result, &error)) << Utf8(outside);
        EXPECT_NE(error.find(L"inside the game folder"), std::wstring::npos) << Utf8(error);
        EXPECT_FALSE(FolderExists(game.out));
    }

    {
        Game game;
        game.Add(L"ok.txt", "fine");
        DiscSetOptions options = game.Options();
        options.outFolder = game.game + L"\\discs";
        DiscSetResult result;
        std::wstring error;
        EXPECT_FALSE(Make(options, &result, &error));
        EXPECT_NE(error.find(L"inside the game folder"), std::wstring::npos) << Utf8(error);
        EXPECT_FALSE(FolderExists(options.outFolder));
    }

    // The tool says so on its command line too, with a non-zero exit.
    Game game;
    const std::wstring longName = std::wstring(70, L'n') + L".dat";
    game.Add(longName, "x");
    game.Options();
    std::string output;
    EXPECT_EQ(RunTool(L"make --game \"" + game.game + L"\" --out \"" + game.out + L"\" --installer \"" +
                          (game.root / L"installer.exe") + L"\" --ini \"" + (game.root / L"setup.ini") + L"\"",
                      &output),
              1u);
    EXPECT_NE(output.find(Utf8(longName)), std::string::npos) << output;
    EXPECT_NE(output.find("at most 64"), std::string::npos) << output;
    EXPECT_FALSE(FolderExists(game.out));
    output.clear();
    EXPECT_EQ(RunTool(L"make --game x", &output), 2u) << output;
}

TEST(Mkdisc, FillsDiscsInListOrderUpToTheCapacityInSectors) {
    Game game;
    // A small disc's image is 183 sectors besides its files (system area, descriptors and both
    // directory trees within the first 32, the empty-file sector, 150 of padding); drvno.dat
    // takes one sector, the first disc's four control files four more. With 190 sectors the
    // first disc keeps room for 2 sectors of data, the others for 6.
    const uint64_t sector = 2048;
    const std::map<std::wstring, size_t> sizes = {
        {L"a.bin", 10000}, {L"b\\b.bin", 4000}, {L"c.bin", 1900}, {L"d.bin", 2049}, {L"e.bin", 4097}};
    for (const auto& [name, size] : sizes) game.Add(name, PatternBytes(size, static_cast<uint32_t>(size)));
    WriteFileBytes(game.root / L"order.txt", "# disc order\nc.bin\na.bin\nb/b.bin\n\nd.bin\ne.bin\n");
    DiscSetOptions options = game.Options();
    options.orderFile = game.root / L"order.txt";
    options.capacity = 190 * sector;
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);

    // c.bin (1 sector) goes on the first disc, a.bin (5) no longer; it takes the second; b.bin (2) and d.bin
    // (2 sectors for 2,049 bytes) the third; e.bin (3 sectors for 4,097 bytes) no longer fits
    // there, although its bytes would.
    const std::vector<std::pair<std::wstring, int>> expected = {
        {L"c.bin", 0}, {L"a.bin", 1}, {L"b\\b.bin", 2}, {L"d.bin", 2}, {L"e.bin", 3}};
    const std::vector<ListLine> lines = ReadSetupList(game.Disc(0) + L"\\setup.lst");
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i].listPath, expected[i].first);
        EXPECT_EQ(lines[i].disc, expected[i].second) << Utf8(lines[i].listPath);
        EXPECT_EQ(lines[i].size, static_cast<int64_t>(sizes.at(expected[i].first)));
        EXPECT_TRUE(FileExists(game.Disc(expected[i].second) + L"\\data\\" + expected[i].first));
    }
    const std::vector<uint64_t> planned = {189 * sector, 189 * sector, 188 * sector, 187 * sector};
    EXPECT_EQ(result.discBytes, planned);
    for (int disc = 0; disc < 4; ++disc) {
        std::string marker;
        ASSERT_TRUE(ReadFileBytes(game.Disc(disc) + L"\\drvno.dat", &marker));
        EXPECT_EQ(marker, "drvno:" + std::to_string(disc) + "\r\n");
        EXPECT_EQ(ReadDiscNumber(game.Disc(disc)), disc);
        EXPECT_EQ(FileExists(game.Disc(disc) + L"\\installer.exe"), disc == 0);
        EXPECT_EQ(FileExists(game.Disc(disc) + L"\\setup.lst"), disc == 0);
    }
    std::string templ;
    ASSERT_TRUE(ReadFileBytes(game.Disc(0) + L"\\uninst.dat", &templ));
    EXPECT_EQ(templ, "0,save\\*.sav\r\n");
    EXPECT_FALSE(FileExists(game.Disc(4) + L"\\drvno.dat"));
    VerifyReport report;
    EXPECT_TRUE(VerifyDiscSet({game.Disc(0), game.Disc(1), game.Disc(2), game.Disc(3)}, nullptr, &report));

    // A plain file larger than a whole disc is refused before anything is written.
    Game big;
    big.Add(L"huge.bin", std::string(7 * sector, 'h'));
    DiscSetOptions bigOptions = big.Options();
    bigOptions.capacity = 190 * sector;
    EXPECT_FALSE(Make(bigOptions, &result, &error));
    EXPECT_NE(error.find(L"huge.bin"), std::wstring::npos) << Utf8(error);
    EXPECT_FALSE(FolderExists(big.out));
}

TEST(Mkdisc, CompressesMatchingFilesAndVerifiesTheRoundTrip) {
    Game game;
    const std::string text(300000, 'z');  // compresses well
    const std::string noise = PatternBytes(70000, 7);
    const std::map<std::wstring, std::string> files = {
        {L"ゲーム.exe", noise},
        {L"データ\\音声.dat", text},
        {L"データ\\空.dat", std::string()},
        {L"readme.txt", "読んでね"},
        {L"old\\archive.bz2", noise.substr(0, 999)},
        {L"データ\\大きい.dat", text + noise + PatternBytes(2500000, 11) + text},  // several pieces
    };
    for (const auto& [name, bytes] : files) game.Add(name, bytes);
    DiscSetOptions options = game.Options();
    options.compressPatterns = {L"*.dat"};
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);
    ASSERT_EQ(result.discFolders.size(), 1u);

    std::map<std::wstring, ListLine> listed;
    for (const ListLine& line : ReadSetupList(game.Disc(0) + L"\\setup.lst")) listed[line.listPath] = line;
    ASSERT_EQ(listed.size(), files.size());
    for (const auto& [name, bytes] : files) {
        const bool compressed = name.size() > 4 &&
                                (name.substr(name.size() - 4) == L".dat" || name.substr(name.size() - 4) == L".bz2");
        const std::wstring listPath = name + (compressed ? L".bz2" : L"");
        ASSERT_TRUE(listed.count(listPath)) << Utf8(listPath);
        const ListLine& line = listed[listPath];
        EXPECT_EQ(line.size, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(line.crc, CrcText(bytes)) << Utf8(name);
        std::string stored;
        ASSERT_TRUE(ReadFileBytes(game.Disc(0) + L"\\data\\" + listPath, &stored));
        EXPECT_EQ(compressed ? Expand(stored, bytes.size()) : stored, bytes) << Utf8(name);
        if (compressed) {
            EXPECT_EQ(stored.compare(0, 3, "BZh"), 0);
        }
    }
    for (const AuthoredFile& file : result.files) {
        if (file.listPath == L"データ\\音声.dat.bz2") {
            EXPECT_LT(file.storedSize, 1000u);
        }
    }
    VerifyReport report;
    EXPECT_TRUE(VerifyDiscSet({game.Disc(0)}, nullptr, &report));
    EXPECT_EQ(report.filesChecked, files.size());
    EXPECT_TRUE(report.notes.empty());

    std::string output;
    EXPECT_EQ(RunTool(L"verify \"" + game.Disc(0) + L"\"", &output), 0u) << output;
    EXPECT_NE(output.find("6 files checked, 0 problem(s)"), std::string::npos) << output;
}

TEST(Mkdisc, VerifyFindsCorruptedAndMissingFiles) {
    Game game;
    game.Add(L"plain.bin", PatternBytes(58000, 3));
    game.Add(L"packed.dat", std::string(80000, 'p'));
    game.Add(L"gone.bin", "soon missing");
    game.Add(L"second.bin", PatternBytes(5000, 9));
    DiscSetOptions options = game.Options();
    options.compressPatterns = {L"*.dat"};
    options.capacity = (188 + 30) * 2048;  // room for 30 sectors of data on the first disc: two discs
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);
    ASSERT_EQ(result.discFolders.size(), 2u);
    const std::vector<std::wstring> discs = {game.Disc(0), game.Disc(1)};
    VerifyReport report;
    ASSERT_TRUE(VerifyDiscSet(discs, nullptr, &report));

    auto discOf = [&](const std::wstring& listPath) {
        for (const AuthoredFile& file : result.files) {
            if (file.listPath == listPath) return game.Disc(file.disc);
        }
        return std::wstring();
    };
    // One flipped byte in a plain file, one in the middle of the compressed data, one file gone.
    std::string bytes;
    const std::wstring plain = discOf(L"plain.bin") + L"\\data\\plain.bin";
    ASSERT_TRUE(ReadFileBytes(plain, &bytes));
    bytes[25000] ^= 0x20;
    WriteFileBytes(plain, bytes);
    const std::wstring packed = discOf(L"packed.dat.bz2") + L"\\data\\packed.dat.bz2";
    ASSERT_TRUE(ReadFileBytes(packed, &bytes));
    bytes[bytes.size() / 2] ^= 0x55;
    WriteFileBytes(packed, bytes);
    ASSERT_TRUE(DeleteFileW((discOf(L"gone.bin") + L"\\data\\gone.bin").c_str()));

    EXPECT_FALSE(VerifyDiscSet(discs, nullptr, &report));
    ASSERT_EQ(report.problems.size(), 3u);
    auto mentions = [&](const wchar_t* a, const wchar_t* b) {
        for (const std::wstring& problem : report.problems) {
            if (problem.find(a) != std::wstring::npos && problem.find(b) != std::wstring::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(mentions(L"plain.bin", L"CRC-32"));
    EXPECT_TRUE(mentions(L"packed.dat.bz2", L"解凍元ファイルが破損しています。"));
    EXPECT_TRUE(mentions(L"gone.bin", L"missing"));

    // A disc that is not given is named.
    EXPECT_FALSE(VerifyDiscSet({game.Disc(0)}, nullptr, &report));
    EXPECT_TRUE(mentions(L"disc 2", L"not given"));

    // setup.ini of the first disc is held against the list as make holds it against the game.
    ASSERT_TRUE(WriteFileBytes(discs[0] + L"\\setup.ini", SetupIni(L"missing.exe")));
    EXPECT_FALSE(VerifyDiscSet(discs, nullptr, &report));
    EXPECT_TRUE(mentions(L"setup.ini\" line 5: ", L"AppExe \"missing.exe\" names no file of the game"));

    std::string output;
    EXPECT_EQ(RunTool(L"verify \"" + discs[0] + L"\" \"" + discs[1] + L"\"", &output), 1u);
    EXPECT_NE(output.find("PROBLEM"), std::string::npos) << output;
    EXPECT_NE(output.find("gone.bin"), std::string::npos) << output;
}

TEST(Mkdisc, VerifyExpandsEveryStreamLikeTheInstaller) {
    // A file made of two bzip2 streams, as pbzip2 and lbzip2 write them.
    const std::string first = PatternBytes(150000, 21), second = PatternBytes(200000, 22);
    std::string firstStream, secondStream;
    ASSERT_TRUE(Bzip2Bytes(first, &firstStream));
    ASSERT_TRUE(Bzip2Bytes(second, &secondStream));
    std::string damagedSecond = secondStream;
    damagedSecond[damagedSecond.size() / 2] ^= 0x10;
    const std::string whole = first + second;
    struct Case {
        const char* what;
        std::string stored;
        size_t listedSize;
        std::string listedBytes;  // whose CRC-32 the list gives
        const wchar_t* problem;   // null: accepted
    };
    const Case cases[] = {
        {"both streams listed", firstStream + secondStream, whole.size(), whole, nullptr},
        {"only the first stream listed", firstStream + secondStream, first.size(), first, L"expands to"},
        {"second stream damaged", firstStream + damagedSecond, whole.size(), whole,
         L"解凍元ファイルが破損しています。"},
    };
    for (const Case& c : cases) {
        TempFolder disc(L"mkdisc-streams");
        WriteFileBytes(disc / L"drvno.dat", "drvno:0\r\n");
        for (const wchar_t* control : {L"installer.exe", L"uninst.dat"}) WriteFileBytes(disc / control, "");
        WriteFileBytes(disc / L"setup.ini", SetupIni(L"two.dat"));
        WriteFileBytes(disc / L"setup.lst",
                       "0,two.dat.bz2," + std::to_string(c.listedSize) + "," + Utf8(CrcText(c.listedBytes)) + "\r\n");
        WriteFileBytes(disc / L"data\\two.dat.bz2", c.stored);
        VerifyReport report;
        EXPECT_EQ(VerifyDiscSet({disc.path()}, nullptr, &report), c.problem == nullptr) << c.what;
        if (c.problem) {
            ASSERT_FALSE(report.problems.empty()) << c.what;
            EXPECT_NE(report.problems[0].find(c.problem), std::wstring::npos) << Utf8(report.problems[0]);
            continue;
        }
        for (const std::wstring& problem : report.problems) ADD_FAILURE() << c.what << ": " << Utf8(problem);
    }

    // The installer refuses the damaged file the same way, keeping the sound first stream.
    TempFolder folder(L"mkdisc-installer");
    WriteFileBytes(folder / L"two.dat.bz2", firstStream + damagedSecond);
    ScriptedInteraction interaction;
    ProgressState progress;
    EXPECT_FALSE(ExpandBz2File((folder / L"two.dat.bz2").c_str(), (folder / L"two.dat").c_str(), progress));
    ASSERT_EQ(interaction.MessageTexts().size(), 1u);
    EXPECT_NE(interaction.MessageTexts()[0].find(L"解凍元ファイルが破損しています。"), std::wstring::npos);
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(folder / L"two.dat", &kept));
    EXPECT_EQ(kept.substr(0, first.size()), first);
    EXPECT_LT(kept.size(), whole.size());
}

// Recomputes the tag of the UDF descriptor at offset after a change to it: its CRC, then its checksum.
void Retag(std::string* image, size_t at) {
    unsigned char* d = reinterpret_cast<unsigned char*>(&(*image)[at]);
    const uint16_t crc = UdfCrc(d + 16, static_cast<size_t>(d[10] | d[11] << 8));
    d[8] = static_cast<unsigned char>(crc & 0xFF);
    d[9] = static_cast<unsigned char>(crc >> 8);
    unsigned sum = 0;
    for (size_t i = 0; i < 16; ++i)
        if (i != 4) sum += d[i];
    d[4] = static_cast<unsigned char>(sum);
}

TEST(Mkdisc, VerifyReadsImagesThroughTheirJolietTree) {
    Game game;
    const std::string plain = PatternBytes(70000, 5);
    game.Add(L"音声\\長い名前の音声ファイル.ogg", plain);
    game.Add(L"シナリオ.dat", std::string(90000, 's'));
    DiscSetOptions options = game.Options();
    options.compressPatterns = {L"*.dat"};
    options.images = true;
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);
    ASSERT_EQ(result.discImages.size(), 1u);
    const std::wstring image = result.discImages[0];
    std::string intact;
    ASSERT_TRUE(ReadFileBytes(image, &intact));
    EXPECT_EQ(intact.size(), result.discBytes[0]);
    const size_t data = intact.find(plain.substr(0, 4096));
    ASSERT_NE(data, std::string::npos);

    // The UDF tree's identifier of the file, renamed with a sound tag, and its entry damaged.
    const std::string udfName = OstaCompressed(L"長い名前の音声ファイル.ogg");
    const size_t identifier = intact.find(udfName);
    ASSERT_NE(identifier, std::string::npos);
    std::string renamed = intact;
    renamed[identifier + udfName.size() - 1] = 'h';
    Retag(&renamed, identifier - 38);
    std::string lengthened = intact;
    size_t entry = std::string::npos;  // the file entry (tag 261) of 70,000 bytes
    for (size_t at = 0; at + 2048 <= intact.size() && entry == std::string::npos; at += 2048)
        if (intact.compare(at, 4, std::string("\x05\x01\x02\x00", 4)) == 0 &&
            intact.compare(at + 56, 8, std::string("\x70\x11\x01\x00\x00\x00\x00\x00", 8)) == 0)
            entry = at;
    ASSERT_NE(entry, std::string::npos);
    lengthened[entry + 56] ^= 0x10;

    struct Case {
        const char* what;
        std::string bytes;
        const wchar_t* problem;  // null: sound
        size_t checked;
    };
    std::string flipped = intact, cut = intact.substr(0, intact.size() - 2048);
    flipped[data + 30000] ^= 0x04;
    std::string packed;
    ASSERT_TRUE(ReadFileBytes(game.Disc(0) + L"\\data\\シナリオ.dat.bz2", &packed));
    std::string damaged = intact;
    const size_t stream = intact.find(packed);
    ASSERT_NE(stream, std::string::npos);
    damaged[stream + packed.size() / 2] ^= 0x20;
    const Case cases[] = {
        {"intact", intact, nullptr, 2},
        {"a flipped byte in a file", flipped, L"CRC-32", 2},
        {"damaged compressed data", damaged, L"解凍元ファイルが破損しています。", 2},
        {"cut short", cut, L"cut short", 0},
        {"another name in the UDF tree", renamed, L"in its Joliet tree but not in its UDF tree", 0},
        {"a damaged UDF file entry", lengthened, L"damaged UDF file entry", 0},
    };
    // The first disc's setup.ini is held against the list from inside the image, named by the image.
    {
        std::string named = intact;
        const size_t appExe = named.find("AppExe=");
        ASSERT_NE(appExe, std::string::npos);
        named[named.find("\r\n", appExe) - 1] = 'h';  // ".ogg" becomes ".ogh"
        ASSERT_TRUE(WriteFileBytes(image, named));
        VerifyReport report;
        EXPECT_FALSE(VerifyDiscSet({image}, nullptr, &report));
        ASSERT_EQ(report.problems.size(), 1u);
        EXPECT_EQ(report.problems[0].find(L"\"" + image + L"\\setup.ini\" line 5: AppExe \""), 0u)
            << Utf8(report.problems[0]);
    }
    // Files are read inside the image: there is no temporary folder to copy them to.
    const std::wstring missing = game.root / L"no such folder";
    ScopedEnvironment tmp(L"TMP", missing.c_str()), temp(L"TEMP", missing.c_str());
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFileBytes(image, c.bytes));
        VerifyReport report;
        uint64_t now = 0;
        std::vector<std::wstring> lines;
        ProgressReport progress(
            false, [&] { return now += 2000; }, [&](const std::wstring& l) { lines.push_back(l); });
        EXPECT_EQ(VerifyDiscSet({image}, &progress, &report), c.problem == nullptr) << c.what;
        EXPECT_EQ(report.filesChecked, c.checked) << c.what;
        if (!c.problem) {  // bytes inside the files, the expanded ones too, not just files
            EXPECT_TRUE(std::any_of(report.notes.begin(), report.notes.end(), [](const std::wstring& note) {
                return note.find(L"setup.ini\" was not checked") != std::wstring::npos;
            })) << "setup.ini, which needs a copy, is told to be unchecked";
            EXPECT_GT(lines.size(), 3u);
            EXPECT_EQ(lines.back().find(L"mkdisc: checking done  0.2 MB in "), 0u) << Utf8(lines.back());
        }
        for (const std::wstring& problem : report.problems) {
            EXPECT_TRUE(c.problem && problem.find(c.problem) != std::wstring::npos) << c.what << ": " << Utf8(problem);
            EXPECT_NE(problem.find(image), std::wstring::npos) << "named by the image: " << Utf8(problem);
        }
    }
}

TEST(Mkdisc, ProgressLines) {
    struct Step {
        char what;  // Begin, Add or End
        const wchar_t* phase;
        uint64_t bytes;
        uint64_t at;          // milliseconds
        const wchar_t* line;  // null: none
    };
    const Step steps[] = {
        {'B', L"compressing", 1114000000, 0, nullptr},
        {'A', L"compressing", 100000000, 1999, nullptr},  // two seconds pass before the first line
        {'A', L"compressing", 312300000, 14673, L"mkdisc: compressing  37%  412.3 of 1114.0 MB  28.1 MB/s  25 s left"},
        {'A', L"compressing", 1000000, 15000, nullptr},
        {'B', L"copying", 50000000, 15000, nullptr},  // taking turns: each phase counts its own time
        {'A', L"copying", 25000000, 17673, L"mkdisc: copying  50%  25.0 of 50.0 MB  9.4 MB/s  3 s left"},
        {'A', L"copying", 20000000, 19673,
         L"mkdisc: copying  90%  45.0 of 50.0 MB  9.5 MB/s  1 s left"},  // leaning on 10.0 since the last
        {'E', L"copying", 0, 20000, L"mkdisc: copying done  45.0 MB in 5 s  9.0 MB/s"},
        {'E', L"compressing", 0, 20000, L"mkdisc: compressing done  413.3 MB in 15 s  27.6 MB/s"},
        {'B', L"scanning", 0, 20000, nullptr},  // the total found as it goes
        {'A', L"scanning", 5000000, 22000, L"mkdisc: scanning  5.0 MB found"},
        {'E', L"scanning", 0, 22100, L"mkdisc: scanning done  5.0 MB in 2 s"},
        {'B', L"writing images", 8000000000, 22100, nullptr},
        {'A', L"writing images", 200000000, 32100,
         L"mkdisc: writing images  2%  200.0 of 8000.0 MB  20.0 MB/s  6 min 30 s left"},
        {'E', L"checking", 0, 40000, nullptr},  // never begun
    };
    for (const bool quiet : {false, true}) {
        uint64_t now = 0;
        std::vector<std::wstring> lines;
        ProgressReport report(
            quiet, [&] { return now; }, [&](const std::wstring& line) { lines.push_back(line); });
        for (const Step& step : steps) {
            const size_t before = lines.size();
            now = step.at;
            step.what == 'B'   ? report.Begin(step.phase, step.bytes)
            : step.what == 'A' ? report.Add(step.phase, step.bytes)
                               : report.End(step.phase);
            ASSERT_EQ(lines.size(), before + (step.line && !quiet ? 1 : 0)) << Utf8(step.phase) << " at " << step.at;
            if (lines.size() > before) {
                EXPECT_EQ(lines.back(), step.line);
            }
        }
    }
}

TEST(Mkdisc, ImageLabelsAndRefusals) {
    const std::pair<std::wstring, std::wstring> made[] = {
        {L"Sample Game 2!", L"SAMPLE_GAME_2"},
        {L"サンプルゲーム", L""},
        {L"__a--b__", L"A_B"},
        {L"Ｆｕｌｌ width 7", L"WIDTH_7"},
        {L"Abcdefghijklmno p", L"ABCDEFGHIJKLMNO"},  // cut to 16, no '_' at the end
    };
    for (const auto& [name, label] : made) EXPECT_EQ(VolumeLabelFrom(name), label) << Utf8(name);
    std::wstring label;
    EXPECT_TRUE(ReadVolumeLabel(L"disc_1", &label));
    EXPECT_EQ(label, L"DISC_1");
    for (const wchar_t* wrong : {L"", L"two words", L"音声", L"SEVENTEEN_LETTERS"})
        EXPECT_FALSE(ReadVolumeLabel(wrong, &label)) << Utf8(wrong);

    const struct {
        std::wstring path;
        const wchar_t* because;  // null: accepted
    } files[] = {
        {L"data\\a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l\\file.bin", nullptr},  // 13 folders deep: UDF holds it
        {L"data\\version;2.txt", L"';'"},
        {L"data\\" + std::wstring(65, L'n'), L"64 characters"},
    };
    for (const auto& file : files) {
        const std::wstring why = ImageRefusal(file.path);
        if (!file.because)
            EXPECT_EQ(why, L"") << Utf8(file.path);
        else
            EXPECT_NE(why.find(file.because), std::wstring::npos) << Utf8(file.path) << ": " << Utf8(why);
    }
}

namespace {

// mkdisc make's command line for the options, with more options behind.
std::wstring MakeCommand(const DiscSetOptions& options, const std::wstring& more) {
    std::wstring command = L"make --quiet --game \"" + options.gameFolder + L"\" --out \"" + options.outFolder +
                           L"\" --installer \"" + options.installerPath + L"\" --ini \"" + options.iniPath + L"\"";
    if (!options.templatePath.empty()) command += L" --template \"" + options.templatePath + L"\"";
    return command + L" " + more;
}

// The installer stand-in with one 16-bit field of its PE header changed (offset from the header).
std::string PatchedInstaller(size_t offset, uint16_t value) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(StandInInstaller(), &bytes));
    const size_t pe = static_cast<unsigned char>(bytes[0x3C]) | static_cast<unsigned char>(bytes[0x3D]) << 8;
    bytes[pe + offset] = static_cast<char>(value & 0xFF);
    bytes[pe + offset + 1] = static_cast<char>(value >> 8);
    return bytes;
}

std::wstring IniWithout(const std::wstring& key) {
    std::wstring text = L"[INSTALLER]\r\n";
    for (const wchar_t* line : {L"Company=テスト工房", L"AppName=test", L"InstFolder=テスト", L"AppExe=game.exe"})
        if (std::wstring(line).rfind(key + L"=", 0) != 0) text += std::wstring(line) + L"\r\n";
    return text;
}

}  // namespace

TEST(Mkdisc, ChecksEveryInputBeforeTouchingTheOutput) {
    enum class Out { kMissing, kEmpty, kPublishersFile };
    struct Row {
        std::string what;
        // Spoils the inputs of a sound game (game.exe, then the files it adds) and gives options.
        std::function<std::wstring(Game&)> spoil;
        std::vector<std::string> messages;
        Out out = Out::kMissing;
    };
    auto ini = [](const std::wstring& text) {
        return [text](Game& game) { return WriteFileBytes(game.root / L"setup.ini", ToCp932(text)), std::wstring(); };
    };
    auto installer = [](const std::string& bytes) {
        return [bytes](Game& game) { return WriteFileBytes(game.root / L"installer.exe", bytes), std::wstring(); };
    };
    const std::wstring small = L"--capacity " + std::to_wstring(190 * 2048);
    std::vector<Row> rows = {
        {"missing setup.ini",
         [](Game& game) { return DeleteFileW((game.root / L"setup.ini").c_str()), std::wstring(); },
         {"setup.ini\" (--ini) does not exist"}},
        {"UTF-8 setup.ini",
         [](Game& game) { return WriteFileBytes(game.root / L"setup.ini", Utf8(IniWithout(L"none"))), std::wstring(); },
         {"setup.ini\" line 2: the file is UTF-8"},
         Out::kEmpty},
        {"no [INSTALLER]", ini(L"[SETUP]\r\nAppName=test\r\n"), {"has no section [INSTALLER]"}},
        {"AppExe not in the game",
         ini(L"[INSTALLER]\r\nCompany=c\r\nAppName=a\r\nInstFolder=f\r\nAppExe=other.exe\r\n"),
         {"setup.ini\" line 5: AppExe \"other.exe\" names no file of the game"}},
        {"InstFolder with a backslash",
         ini(L"[INSTALLER]\r\nCompany=c\r\nAppName=a\r\nInstFolder=a\\b\r\nAppExe=game.exe\r\n"),
         {"line 4: InstFolder \"a\\b\" holds \"\\\""}},
        {"installer not a program", installer("MZ stand-in"), {"installer.exe\": is not a Windows program"}},
        {"installer for x86_64", installer(PatchedInstaller(4, 0x8664)), {"is a program for x86_64, not a 32-bit"}},
        {"console installer", installer(PatchedInstaller(24 + 68, 3)), {"is not a GUI program (subsystem 3)"}},
        {"installer without the dialogs",
         [](Game& game) {
             CopyFileW(BesideTests(L"installer_stand_in_no_dialogs.exe").c_str(),
                       (game.root / L"installer.exe").c_str(), FALSE);
             return std::wstring();
         },
         {"lacks the installer's dialogs (103, 133, 136)"}},
        {"template line without a path",
         [](Game& game) {
             return WriteFileBytes(game.root / L"uninst.dat", "0,save\\*.sav\r\nabc\r\n"), std::wstring();
         },
         {"uninst.dat\" line 2: \"abc\" is not a line kind,path"}},
        {"eleven discs",  // each file fills a disc of its own, the first disc holds none
         [&](Game& game) {
             for (int i = 0; i < 11; ++i) game.Add(L"f" + std::to_wstring(i) + L".bin", PatternBytes(10240, i));
             return small;
         },
         {"the game needs more than 10 discs"},
         Out::kEmpty},
        {"compressed too large",
         [&](Game& game) {
             game.Add(L"noise.dat", PatternBytes(7 * 2048, 5));
             return small + L" --compress *.dat";
         },
         {"\"noise.dat\" takes ", " bytes on a disc, more than one disc"},
         Out::kEmpty},
        {"several at once",
         [](Game& game) {
             WriteFileBytes(game.root / L"setup.ini", Utf8(IniWithout(L"none")));
             WriteFileBytes(game.root / L"installer.exe", "MZ");
             WriteFileBytes(game.root / L"uninst.dat", "x,save\r\n");
             return std::wstring();
         },
         {"the file is UTF-8", "is not a Windows program", "line 1: \"x,save\" is not a line", "is not empty"},
         Out::kPublishersFile},
    };
    for (const wchar_t* key : {L"Company", L"AppName", L"InstFolder", L"AppExe"})
        rows.push_back({"no " + Utf8(key), ini(IniWithout(key)), {"[INSTALLER] has no " + Utf8(key) + "="}});
    const bool smallVolume = FolderExists(L"T:\\mkdisc-volume");
    if (smallVolume)  // 2 MiB; its free space is the tmpfs's
        rows.push_back({"too little free space",
                        [](Game& game) {
                            game.Add(L"movie.bin", PatternBytes(3000000, 9));
                            game.out = L"T:\\mkdisc-volume\\out";
                            return std::wstring();
                        },
                        {"not enough free space on ", " bytes (3.0 MB), ", " are free"}});
    for (const Row& row : rows) {
        Game game;
        game.Add(L"game.exe", "program");
        DiscSetOptions options = game.Options();
        const std::wstring extra = row.spoil(game);
        options.outFolder = game.out;
        if (row.out != Out::kMissing) CreateDirectoryW(game.out.c_str(), nullptr);
        if (row.out == Out::kPublishersFile) WriteFileBytes(game.out + L"\\notes.txt", "the publisher's");
        std::string output;
        EXPECT_EQ(RunTool(MakeCommand(options, extra), &output), 1u) << row.what << ": " << output;
        for (const std::string& message : row.messages)
            EXPECT_NE(output.find(message), std::string::npos) << row.what << ": " << output;
        std::string kept;
        EXPECT_EQ(FolderExists(game.out), row.out != Out::kMissing) << row.what;
        EXPECT_EQ(ReadFileBytes(game.out + L"\\notes.txt", &kept) ? kept : "",
                  row.out == Out::kPublishersFile ? "the publisher's" : "")
            << row.what;
        if (row.out == Out::kEmpty) {
            EXPECT_TRUE(PathIsDirectoryEmptyW(game.out.c_str())) << row.what;
        }
        EXPECT_FALSE(FolderExists(ScratchFolderOf(game.out))) << row.what;
        RemoveTree(game.out);
    }
    if (!smallVolume) std::printf("skipped the free-space row: no T:\\mkdisc-volume (mounting needs root)\n");
}

TEST(Mkdisc, AKilledMakeLeavesTheOutputAsItWasAndTheNextRunMakesIt) {
    Game game;
    game.Add(L"game.exe", "program");
    game.Add(L"movie.dat", PatternBytes(12000000, 3));
    DiscSetOptions options = game.Options();
    options.installerPath = ShippedInstaller();  // the real one passes the checks too
    const std::wstring command = MakeCommand(options, L"--compress *.dat");
    const std::wstring tool = BesideTests(L"..\\tools\\mkdisc\\mkdisc.exe");
    std::wstring line = L"\"" + tool + L"\" " + command;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(tool.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    ObjectHandle running(process.hProcess), thread(process.hThread);
    // Killed once it has begun to write the compressed file, which takes a while.
    const std::wstring packed = ScratchFolderOf(game.out) + L"\\packed\\movie.dat.bz2";
    while (!FileExists(packed) && WaitForSingleObject(running.get(), 1) == WAIT_TIMEOUT) {
    }
    ASSERT_TRUE(TerminateProcess(running.get(), 9));
    WaitForSingleObject(running.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(running.get(), &code);
    ASSERT_EQ(code, 9u) << "killed before it ended";
    EXPECT_FALSE(FolderExists(game.out));
    EXPECT_TRUE(FolderExists(ScratchFolderOf(game.out)));

    std::string output;
    ASSERT_EQ(RunTool(command, &output), 0u) << output;
    EXPECT_NE(output.find("note: removed \"" + Utf8(ScratchFolderOf(game.out)) + "\", left by an earlier run"),
              std::string::npos)
        << output;
    EXPECT_FALSE(FolderExists(ScratchFolderOf(game.out)));
    VerifyReport report;
    EXPECT_TRUE(VerifyDiscSet({game.Disc(0)}, nullptr, &report));
    EXPECT_EQ(report.filesChecked, 2u);
}

TEST(Mkdisc, IsoOnlyKeepsNothingButTheImages) {
    Game game;
    game.Add(L"game.exe", PatternBytes(5000, 1));
    game.Add(L"a.bin", PatternBytes(200 * 2048, 2));
    game.Add(L"b.dat", PatternBytes(200 * 2048, 3));
    DiscSetOptions options = game.Options();
    options.compressPatterns = {L"*.dat"};
    options.capacity = 600 * 2048;  // a disc's three file systems take about 300 sectors: one file a disc
    options.imagesOnly = true;
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);
    ASSERT_EQ(result.discImages.size(), 2u);
    EXPECT_TRUE(result.discFolders.empty());
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((game.out + L"\\*").c_str(), &data));
    do {
        if (data.cFileName[0] != L'.') names.push_back(data.cFileName);
    } while (FindNextFileW(find.get(), &data));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"disc1.iso", L"disc2.iso"}));
    VerifyReport report;
    EXPECT_TRUE(VerifyDiscSet(result.discImages, nullptr, &report));
    EXPECT_EQ(report.filesChecked, 3u);
}
