// mkdisc: what it refuses, how it fills discs, and whether verify finds what is wrong.
#include <gtest/gtest.h>

#include <windows.h>
#include <bzlib.h>

#include <map>

#include "base/handles.h"
#include "disc_author.h"
#include "disc_verify.h"
#include "install/file_list.h"
#include "support/test_files.h"
#include "transfer/crc32.h"

namespace {

struct Game {
    TempFolder root{L"mkdisc"};
    std::wstring game = root / L"game";
    std::wstring out = root / L"out";

    Game() {
        WriteFileBytes(root / L"installer.exe", "MZ stand-in installer");
        WriteFileBytes(root / L"setup.ini", "[INSTALLER]\r\nAppName=test\r\n");
        WriteFileBytes(root / L"uninst.dat", "0,save\\*.sav\r\n");
    }
    void Add(const std::wstring& relative, const std::string& bytes) { ASSERT_TRUE(WriteFileBytes(game + L"\\" + relative, bytes)); }
    DiscSetOptions Options() const {
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
    int length = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
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

bool Make(const DiscSetOptions& options, DiscSetResult* result, std::wstring* error) {
    return MakeDiscSet(options, nullptr, result, error);
}

// Runs mkdisc.exe (built beside this test program's folder) and returns its exit code.
DWORD RunTool(const std::wstring& arguments, std::string* output) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring tool = self;
    tool = tool.substr(0, tool.find_last_of(L'\\'));
    tool = tool.substr(0, tool.find_last_of(L'\\')) + L"\\tools\\mkdisc\\mkdisc.exe";
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
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
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
        // 143 characters fit behind an install folder of 64 characters, not behind one of 120.
        const std::wstring deep = std::wstring(45, L'd') + L"\\" + std::wstring(45, L'e') + L"\\" +
                                  std::wstring(45, L'f') + L"\\g.txt";
        Game game;
        game.Add(deep, "x");
        DiscSetOptions options = game.Options();
        options.installRoom = 120;
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
    game.Add(L"bad,name.dat", "x");
    std::string output;
    EXPECT_EQ(RunTool(L"make --game \"" + game.game + L"\" --out \"" + game.out + L"\" --installer \"" +
                          (game.root / L"installer.exe") + L"\" --ini \"" + (game.root / L"setup.ini") + L"\"",
                      &output),
              1u);
    EXPECT_NE(output.find("bad,name.dat"), std::string::npos) << output;
    EXPECT_NE(output.find("comma"), std::string::npos) << output;
    output.clear();
    EXPECT_EQ(RunTool(L"make --game x", &output), 2u) << output;
}

TEST(Mkdisc, FillsDiscsInListOrderUpToTheCapacity) {
    Game game;
    // The order file puts the files in an order of its own; sizes make the split predictable.
    const std::map<std::wstring, size_t> sizes = {{L"a.bin", 4000}, {L"b\\b.bin", 4000}, {L"c.bin", 1900},
                                                  {L"d.bin", 3000}, {L"e.bin", 100}};
    for (const auto& [name, size] : sizes) game.Add(name, PatternBytes(size, static_cast<uint32_t>(size)));
    WriteFileBytes(game.root / L"order.txt", "# disc order\nc.bin\na.bin\nb/b.bin\n\nd.bin\ne.bin\n");
    DiscSetOptions options = game.Options();
    options.orderFile = game.root / L"order.txt";
    options.capacity = 6000;
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);

    // Disc 1 holds the control files (21 + 27 + 14 bytes), the list (116), its marker (9) and
    // c.bin; a.bin no longer fits behind them, b.bin not behind a.bin, d.bin not behind b.bin,
    // and e.bin joins d.bin on the fourth disc.
    const std::vector<std::pair<std::wstring, int>> expected = {
        {L"c.bin", 0}, {L"a.bin", 1}, {L"b\\b.bin", 2}, {L"d.bin", 3}, {L"e.bin", 3}};
    const std::vector<ListLine> lines = ReadSetupList(game.Disc(0) + L"\\setup.lst");
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i].listPath, expected[i].first);
        EXPECT_EQ(lines[i].disc, expected[i].second) << Utf8(lines[i].listPath);
        EXPECT_EQ(lines[i].size, static_cast<int64_t>(sizes.at(expected[i].first)));
        EXPECT_TRUE(FileExists(game.Disc(expected[i].second) + L"\\data\\" + expected[i].first));
    }
    ASSERT_EQ(result.discBytes.size(), 4u);
    for (int disc = 0; disc < 4; ++disc) {
        EXPECT_LE(result.discBytes[static_cast<size_t>(disc)], options.capacity);
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

    // A file larger than a whole disc is refused.
    Game big;
    big.Add(L"huge.bin", std::string(7000, 'h'));
    DiscSetOptions bigOptions = big.Options();
    bigOptions.capacity = 6000;
    EXPECT_FALSE(Make(bigOptions, &result, &error));
    EXPECT_NE(error.find(L"huge.bin"), std::wstring::npos) << Utf8(error);
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
    };
    for (const auto& [name, bytes] : files) game.Add(name, bytes);
    DiscSetOptions options = game.Options();
    options.compressPatterns = {L"*.dat"};
    options.capacity = 200000;
    DiscSetResult result;
    std::wstring error;
    ASSERT_TRUE(Make(options, &result, &error)) << Utf8(error);
    ASSERT_EQ(result.discFolders.size(), 1u) << "300,000 bytes of z compress far below the capacity";

    std::map<std::wstring, ListLine> listed;
    for (const ListLine& line : ReadSetupList(game.Disc(0) + L"\\setup.lst")) listed[line.listPath] = line;
    ASSERT_EQ(listed.size(), files.size());
    for (const auto& [name, bytes] : files) {
        const bool compressed = name.size() > 4 && (name.substr(name.size() - 4) == L".dat" || name.substr(name.size() - 4) == L".bz2");
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
    EXPECT_LT(result.discBytes[0], 100000u);
    VerifyReport report;
    EXPECT_TRUE(VerifyDiscSet({game.Disc(0)}, nullptr, &report));
    EXPECT_EQ(report.filesChecked, files.size());
    EXPECT_TRUE(report.notes.empty());

    std::string output;
    EXPECT_EQ(RunTool(L"verify \"" + game.Disc(0) + L"\"", &output), 0u) << output;
    EXPECT_NE(output.find("5 files checked, 0 problem(s)"), std::string::npos) << output;
}

TEST(Mkdisc, VerifyFindsCorruptedAndMissingFiles) {
    Game game;
    game.Add(L"plain.bin", PatternBytes(58000, 3));
    game.Add(L"packed.dat", std::string(80000, 'p'));
    game.Add(L"gone.bin", "soon missing");
    game.Add(L"second.bin", PatternBytes(5000, 9));
    DiscSetOptions options = game.Options();
    options.compressPatterns = {L"*.dat"};
    options.capacity = 60000;
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
    EXPECT_TRUE(mentions(L"packed.dat.bz2", L"damaged") || mentions(L"packed.dat.bz2", L"CRC-32"));
    EXPECT_TRUE(mentions(L"gone.bin", L"missing"));

    // A disc that is not given is named.
    EXPECT_FALSE(VerifyDiscSet({game.Disc(0)}, nullptr, &report));
    EXPECT_TRUE(mentions(L"disc 2", L"not given"));

    std::string output;
    EXPECT_EQ(RunTool(L"verify \"" + discs[0] + L"\" \"" + discs[1] + L"\"", &output), 1u);
    EXPECT_NE(output.find("PROBLEM"), std::string::npos) << output;
    EXPECT_NE(output.find("gone.bin"), std::string::npos) << output;
}
