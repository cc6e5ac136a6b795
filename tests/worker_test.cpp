// The install worker on a real thread, with a real setup.lst, real discs under T:\ and in the
// CD-ROM drives M: and N:, and a real destination; only the answers to its boxes are scripted.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <clocale>
#include <string>

#include "base/handles.h"
#include "base/module.h"
#include "base/text.h"
#include "install/file_list.h"
#include "install/progress_dialog.h"
#include "install/worker.h"
#include "records/uninstall_record.h"
#include "support/bzip2_bytes.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "uninstall/removal.h"

namespace {

const std::wstring kWork = L"T:\\worker-suite";
const std::wstring kLaunch = kWork + L"\\launch";
const std::wstring kDiscM = L"T:\\cd-m";
const std::wstring kDiscN = L"T:\\cd-n";

const wchar_t kDamagedFileText[] =
    L"\n\nファイルが破損している可能性があります。以下の原因が考えられます。\n\n"
    L"①コピー先ファイルが読み取り専用属性に設定されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n"
    L"③他アプリケーションが影響を与えている。\n④読み取りドライブ、読み取りディスク、書き込み先HDDの異常。\n⑤メモリの不足。\n\n"
    L"以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポート窓口までお問い合わせください。";

const wchar_t kCopySourceFaultText[] =
    L"\n\nコピー元ファイルが異常です。ファイルが破損している可能性があります。\n以下の原因が考えられます。\n\n①読み取り"
    L"ドライブ、読み取りディスクの異常。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致し"
    L"ますが、サポート窓口までお問い合わせください。";

std::wstring BesideProgram(const wchar_t* name) { return GetModuleFolder() + L"\\" + name; }

// The common CRC-32, computed bit by bit so the check does not lean on the code under test.
uint32_t CrcOf(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::wstring CrcText(uint32_t crc) { return FormatText(L"%08x", crc); }
std::wstring CrcText(const std::string& bytes) { return CrcText(CrcOf(bytes)); }

// CRC-32 arithmetic for files too large to hold: carrying a register over n bytes multiplies it
// by x^(8n) modulo the polynomial (bit 31 of a register is x^0), so the CRC-32 of a long file
// follows from those of its parts.
uint32_t MultiplyModuloPolynomial(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b & 1u) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return product;
}

uint32_t PowerOfXForBytes(uint64_t bytes) {
    uint32_t result = 1u << 31;  // 1
    uint32_t square = 1u << 23;  // x^8
    for (; bytes != 0; bytes >>= 1) {
        if (bytes & 1u) result = MultiplyModuloPolynomial(result, square);
        square = MultiplyModuloPolynomial(square, square);
    }
    return result;
}

// The CRC-32 of a part whose CRC-32 is first, followed by secondBytes bytes whose CRC-32 is second.
uint32_t JoinedCrc(uint32_t first, uint32_t second, uint64_t secondBytes) {
    return MultiplyModuloPolynomial(PowerOfXForBytes(secondBytes), first) ^ second;
}

uint32_t RepeatedCrc(uint32_t pieceCrc, uint64_t pieceBytes, uint64_t times) {
    uint32_t result = 0;  // nothing yet
    for (; times != 0; times >>= 1) {
        if (times & 1u) result = JoinedCrc(result, pieceCrc, pieceBytes);
        pieceCrc = JoinedCrc(pieceCrc, pieceCrc, pieceBytes);
        pieceBytes *= 2;
    }
    return result;
}

std::string Compress(const std::string& bytes) {
    std::string packed;
    EXPECT_TRUE(Bzip2Bytes(bytes, &packed));
    return packed;
}

std::string FileText(const std::wstring& path) {
    std::string bytes;
    return ReadFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

uint64_t FreeUnits(const wchar_t* root) {
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExW(root, &available, &total, &free)) return UINT64_MAX;
    return free.QuadPart / 1000000;
}

class InstallWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        _wsetlocale(LC_ALL, L"Japanese_Japan.932");
        RemoveTree(kWork);
        RemoveTree(kDiscM);
        RemoveTree(kDiscN);
        destination_ = destinationRoot_ / L"インストール先";

        CopyText(settings_.Company, L"ワーカー試験社");
        CopyText(settings_.AppName, L"ワーカー試験");
        CopyText(settings_.InstFolder, L"インストール先");
        CopyText(settings_.AppExe, L"game.exe");
        CopyText(settings_.InstallPath, (destination_ + L"\\").c_str());
        CopyText(settings_.SourceFolder, kLaunch.c_str());

        owner_ = CreateWindowW(L"STATIC", L"progress", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        progress_.progressWindow = owner_;
        ASSERT_TRUE(WriteFileBytes(BesideProgram(L"uninst.dat"), ""));
        ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\drvno.dat", "drvno:0\r\n"));
    }

    void TearDown() override {
        RemoveShortcuts(settings_);
        DestroyWindow(owner_);
        DeleteFileW(BesideProgram(L"setup.lst").c_str());
        DeleteFileW(BesideProgram(L"uninst.dat").c_str());
        RemoveTree(kWork);
        RemoveTree(kDiscM);
        RemoveTree(kDiscN);
    }

    // Installs one file of more than 4 GiB whose source is already on the disc, and removes it
    // as an uninstallation does, through the record.
    void InstallAndRemoveHugeFile(const std::wstring& listPath, uint64_t size, uint32_t crc, uint64_t sourceBytes) {
        const wchar_t* name = listPath.c_str() + listPath.find_last_of(L'\\') + 1;
        const std::wstring installed = Installed(name).substr(0, Installed(name).size() - (EndsWithBz2(name) ? 4 : 0));
        settings_.VerifyFiles = 1;
        ASSERT_EQ(Install(L"0," + listPath + L"," + std::to_wstring(size) + L"," + CrcText(crc) + L"\r\n"), 1u);
        EXPECT_TRUE(script_.Messages().empty());
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(GetFileAttributesExW(installed.c_str(), GetFileExInfoStandard, &data));
        EXPECT_EQ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow, size);
        EXPECT_EQ(progress_.totalBytes.load(), size);
        EXPECT_EQ(progress_.doneBytes.load(), size);
        EXPECT_EQ(progress_.fileDoneBytes.load(), size);
        EXPECT_EQ(progress_.sourceBytes.load(), sourceBytes);
        EXPECT_EQ(ProgressPercentage(progress_.doneBytes.load(), progress_.totalBytes.load()), 100);
        EXPECT_EQ(ProgressPercentage(size / 2, size), 50);

        std::vector<UninstallItem> items;
        ASSERT_TRUE(ReadUninstallRecord(Installed(L"uninst.dat").c_str(), &items));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].kind, 0);
        EXPECT_EQ(std::wstring(items[0].path), installed);
        DeleteMatchingFiles(items[0].path);
        EXPECT_FALSE(FileExists(installed));
        RemoveTree(destination_);
    }

    static bool EndsWithBz2(const std::wstring& name) {
        return name.size() > 4 && name.compare(name.size() - 4, 4, L".bz2") == 0;
    }

    // Loads the list as the progress dialog does and runs the worker on its own thread.
    DWORD Install(const std::wstring& setupLst) {
        EXPECT_TRUE(WriteFileBytes(BesideProgram(L"setup.lst"), ToCp932(setupLst)));
        EXPECT_TRUE(LoadFileList(&installation_));
        ObjectHandle thread(CreateThread(nullptr, 0, InstallWorker, &installation_, 0, nullptr));
        EXPECT_TRUE(thread.valid());
        // Only a safety net against an endless disc prompt; no test depends on the duration.
        if (WaitForSingleObject(thread.get(), 5 * 60 * 1000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the worker did not end";
            ExitProcess(3);
        }
        DWORD exitCode = 99;
        EXPECT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
        return exitCode;
    }

    std::wstring Installed(const wchar_t* relative) const { return destination_ + L"\\" + relative; }

    ScriptedInteraction script_;
    TempFolder destinationRoot_{L"worker"};
    std::wstring destination_;
    HWND owner_ = nullptr;
    InstallSettings settings_{};
    Installation installation_{settings_};
    ProgressState& progress_ = installation_.progress;
};

TEST_F(InstallWorkerTest, EmptyListStillWritesShortcutsAndUninstallRecord) {
    ASSERT_TRUE(WriteFileBytes(BesideProgram(L"uninst.dat"), ToCp932(L"1,save\\*.sav\r\n")));
    RemoveTree(kLaunch);  // no disc anywhere: an empty list must not ask for one

    EXPECT_EQ(Install(L""), 1u);

    EXPECT_TRUE(script_.Messages().empty());
    EXPECT_EQ(progress_.totalBytes.load(), 0u);
    EXPECT_EQ(progress_.StatusText(), L"完了");
    EXPECT_EQ(FileText(Installed(L"uninst.dat")), ToCp932(L"1," + destination_ + L"\\save\\*.sav\r\n"));
    wchar_t programs[MAX_PATH] = L"";
    ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, programs, CSIDL_PROGRAMS, FALSE));
    EXPECT_TRUE(FileExists(std::wstring(programs) + L"\\ワーカー試験社\\ワーカー試験\\「ワーカー試験」.lnk"));
}

TEST_F(InstallWorkerTest, DiscIsSoughtForTheFirstEntryAndWhereTheDiscNumberChanges) {
    // Nothing at the launch folder: the first entry must already look for disc 0 (in N:).
    RemoveTree(kLaunch);
    ASSERT_TRUE(WriteFileBytes(kDiscN + L"\\drvno.dat", "drvno:0\r\n"));
    ASSERT_TRUE(WriteFileBytes(kDiscN + L"\\data\\a.dat", "A from disc 0"));
    ASSERT_TRUE(WriteFileBytes(kDiscN + L"\\data\\sub\\b.dat", "B from disc 0"));
    ASSERT_TRUE(WriteFileBytes(kDiscN + L"\\data\\d.dat", "D from the first disc 0"));
    ASSERT_TRUE(WriteFileBytes(kWork + L"\\disc1\\drvno.dat", "drvno:1\r\n"));
    ASSERT_TRUE(WriteFileBytes(kWork + L"\\disc1\\data\\c.dat", "C from disc 1"));
    ASSERT_TRUE(WriteFileBytes(kWork + L"\\disc0again\\drvno.dat", "drvno:0\r\n"));
    ASSERT_TRUE(WriteFileBytes(kWork + L"\\disc0again\\data\\d.dat", "D from disc 0 put back"));

    // Each prompt exchanges the discs the way a person would: disc 1 goes into M: and disc 0
    // leaves N:; then disc 0 comes back into N:.
    int prompts = 0;
    script_.OnMessage([&](const ShownMessage& shown) {
        if (shown.title != L"ディスク交換") return;
        if (++prompts == 1) {
            MoveFileW((kWork + L"\\disc1").c_str(), kDiscM.c_str());
            MoveFileW(kDiscN.c_str(), (kWork + L"\\disc0out").c_str());
        } else {
            MoveFileW((kWork + L"\\disc0again").c_str(), kDiscN.c_str());
        }
    });
    script_.AnswerMessages({IDRETRY, IDRETRY});

    EXPECT_EQ(Install(L"0,a.dat,13,0\r\n0,sub\\b.dat,13,0\r\n1,c.dat,13,0\r\n0,d.dat,22,0\r\n"), 1u);

    std::vector<ShownMessage> shown = script_.Messages();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text.rfind(L"ディスク 2 を挿入", 0), 0u) << "disc 1 before the third entry";
    EXPECT_EQ(shown[1].text.rfind(L"ディスク 1 を挿入", 0), 0u) << "disc 0 again before the fourth entry";
    EXPECT_EQ(shown[0].owner, owner_);
    EXPECT_EQ(FileText(Installed(L"a.dat")), "A from disc 0");
    EXPECT_EQ(FileText(Installed(L"sub\\b.dat")), "B from disc 0");
    EXPECT_EQ(FileText(Installed(L"c.dat")), "C from disc 1");
    EXPECT_EQ(FileText(Installed(L"d.dat")), "D from disc 0 put back");
    EXPECT_STREQ(settings_.SourceFolder, L"N:");
}

TEST_F(InstallWorkerTest, CompressedSourceIsExpandedUnderItsOwnStatusAndVerified) {
    const std::string original = PatternBytes(3 * 4096 + 100, 7);
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\pack\\big.dat.bz2", Compress(original)));
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\plain.txt", "plain"));
    settings_.VerifyFiles = 1;

    // A pending cancel makes the expansion ask once; the status at that moment is the one the
    // worker set for the expansion. Cancel means go on.
    progress_.cancelRequested = 1;
    std::wstring statusWhileExpanding;
    script_.OnMessage([&](const ShownMessage& shown) {
        if (shown.text == L"インストールを中断しますか？") statusWhileExpanding = progress_.StatusText();
    });
    script_.AnswerMessages({IDCANCEL});

    std::wstring list = L"0,pack\\big.dat.bz2," + std::to_wstring(original.size()) + L"," + CrcText(original) +
                        L"\r\n0,plain.txt,5," + CrcText("plain") + L"\r\n";
    EXPECT_EQ(Install(list), 1u);

    EXPECT_EQ(statusWhileExpanding, L"big.dat.bz2 ファイルの解凍中です。");
    EXPECT_EQ(script_.Messages().size(), 1u);
    EXPECT_EQ(FileText(Installed(L"pack\\big.dat")), original);
    EXPECT_FALSE(FileExists(Installed(L"pack\\big.dat.bz2")));
    EXPECT_EQ(FileText(Installed(L"plain.txt")), "plain");
    EXPECT_EQ(progress_.totalBytes.load(), original.size() + 5);
    EXPECT_EQ(progress_.doneBytes.load(), original.size() + 5);
    EXPECT_EQ(progress_.sourceBytes.load(), 5u) << "only plain copies count their source size";
}

// Files of more than 4 GiB, one at a time so that the disk holds one of them at most: expanded
// from a .bz2 of many short streams of long runs, then copied from a sparse source. Sizes,
// counters, percentages and the check of the whole file go past 32 bits on both builds; each
// file is recorded, and its record line removes it.
TEST_F(InstallWorkerTest, FilesOfMoreThan4GiBAreInstalledCheckedRecordedAndRemoved) {
    const uint64_t kHuge = (uint64_t{1} << 32) + (uint64_t{1} << 20);
    const std::string piece = std::string((1 << 20) - 16, 'z') + "the piece's end.";
    const uint64_t pieces = kHuge / piece.size();
    ASSERT_TRUE(CreateDirectoryW((kLaunch + L"\\data").c_str(), nullptr));
    {
        const std::string stream = Compress(piece);
        FileHandle packed(CreateFileW((kLaunch + L"\\data\\huge.dat.bz2").c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(packed);
        for (uint64_t i = 0; i < pieces; ++i) {
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(packed.get(), stream.data(), static_cast<DWORD>(stream.size()), &written, nullptr));
        }
    }
    InstallAndRemoveHugeFile(L"huge.dat.bz2", kHuge, RepeatedCrc(CrcOf(piece), piece.size(), pieces), 0);
    DeleteFileW((kLaunch + L"\\data\\huge.dat.bz2").c_str());

    // Zeros and a tail; the zeros take no room on the disc.
    const std::string tail = "the copied tail.";
    {
        FileHandle sparse(CreateFileW((kLaunch + L"\\data\\huge.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(sparse);
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(kHuge - tail.size());
        ASSERT_TRUE(SetFilePointerEx(sparse.get(), end, nullptr, FILE_BEGIN));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(sparse.get(), tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr));
    }
    const uint32_t zeros = RepeatedCrc(CrcOf(std::string(1, '\0')), 1, kHuge - tail.size());
    InstallAndRemoveHugeFile(L"huge.bin", kHuge, JoinedCrc(zeros, CrcOf(tail), tail.size()), kHuge);
}

TEST_F(InstallWorkerTest, WrongChecksumStopsAfterTheFileWasWrittenOnlyWhenVerifying) {
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\v.dat", "hello"));
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\w.dat", "world"));
    // v.dat's check runs before w.dat is touched; its failure stops the installation there.
    const std::wstring list = L"0,v.dat,5,00000000\r\n0,w.dat,5," + CrcText("world") + L"\r\n0,x.dat,5," +
                              CrcText("world") + L"\r\n";
    settings_.VerifyFiles = 1;

    EXPECT_EQ(Install(list), 0u);

    std::vector<ShownMessage> shown = script_.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, std::wstring(L"v.dat") + kDamagedFileText);
    EXPECT_EQ(shown[0].title, L"エラー");
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_EQ(shown[0].owner, owner_);
    EXPECT_EQ(FileText(Installed(L"v.dat")), "hello");
    EXPECT_FALSE(FileExists(Installed(L"w.dat")));
    EXPECT_FALSE(FileExists(Installed(L"uninst.dat")));
    EXPECT_EQ(progress_.StatusText(), L"v.dat ファイルのCRC32を確認中");

    // Without verification (0, or anything but 1) the checksum text plays no part.
    for (int verify : {0, 2}) {
        settings_.VerifyFiles = verify;
        RemoveTree(destination_);
        EXPECT_EQ(Install(L"0,v.dat,5,not a checksum\r\n0,w.dat,5,\x3000\r\n"), 1u) << verify;
        EXPECT_EQ(FileText(Installed(L"w.dat")), "world");
    }
    EXPECT_EQ(script_.Messages().size(), 1u);
}

// A failed check of the last file, or of a file after which another disc is asked for, ends the
// installation with its message, before any disc prompt and with nothing recorded, whether the
// file fits one read or not.
TEST_F(InstallWorkerTest, AFailedCheckIsReportedBeforeTheNextDiscAndAfterTheLastFile) {
    const std::string large = PatternBytes(100000, 5);
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\good.dat", "good!"));
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\bad.dat", "hello"));
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\large.dat", large));
    const std::wstring good = L"0,good.dat,5," + CrcText("good!") + L"\r\n";
    const std::wstring bad = L"0,bad.dat,5,00000000\r\n";
    const std::wstring largeBad = L"0,large.dat," + std::to_wstring(large.size()) + L",00000000\r\n";
    const std::wstring largeGood = L"0,large.dat," + std::to_wstring(large.size()) + L"," + CrcText(large) + L"\r\n";
    const std::wstring otherDisc = L"1,other.dat,5,00000000\r\n";
    const struct {
        const char* what;
        std::wstring list;
        const wchar_t* damaged;
    } cases[] = {
        {"the last file", good + bad, L"bad.dat"},
        {"a file before another disc", largeGood + bad + otherDisc, L"bad.dat"},
        {"a large last file", good + largeBad, L"large.dat"},
        {"a large file before another disc", good + largeBad + otherDisc, L"large.dat"},
    };
    settings_.VerifyFiles = 1;
    for (const auto& c : cases) {
        RemoveTree(destination_);
        const size_t before = script_.Messages().size();
        EXPECT_EQ(Install(c.list), 0u) << c.what;
        std::vector<ShownMessage> shown = script_.Messages();
        ASSERT_EQ(shown.size(), before + 1) << c.what << ": the damaged file's box alone, no disc prompt";
        EXPECT_EQ(shown.back().text, std::wstring(c.damaged) + kDamagedFileText) << c.what;
        EXPECT_EQ(progress_.StatusText(), c.damaged + std::wstring(L" ファイルのCRC32を確認中")) << c.what;
        EXPECT_FALSE(FileExists(Installed(L"uninst.dat"))) << c.what << ": nothing is recorded";
    }
}

// One byte of the second stream's header damaged: the expansion takes the rest for trailing bytes
// and succeeds with the first stream only, as the bzip2 tool does. Only the listed size tells, and
// it is checked with verification off too; a plain copy of the wrong size likewise, with the box of
// a source that ended early: the bytes it gave against the listed size.
TEST_F(InstallWorkerTest, AFileShorterThanItsListedSizeStopsAsDamagedWithoutVerification) {
    const std::string first = PatternBytes(5000, 3);
    const std::string second = PatternBytes(7000, 4);
    const std::string firstStream = Compress(first);
    std::string twoStreams = firstStream + Compress(second);
    ASSERT_EQ(twoStreams.compare(firstStream.size(), 4, "BZh9"), 0);
    twoStreams[firstStream.size() + 2] = 'x';
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\two.dat.bz2", twoStreams));
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\plain.txt", "plain"));
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\later.txt", "later"));
    const struct {
        std::wstring list;
        std::wstring message;
        std::wstring status;
    } cases[] = {
        {L"0,two.dat.bz2," + std::to_wstring(first.size() + second.size()) + L",0\r\n",
         L"「" + kLaunch + L"\\data\\two.dat.bz2」\n\n解凍元ファイルが破損しています。",
         L"two.dat.bz2 ファイルの解凍に失敗"},
        {L"0,plain.txt,6,0\r\n", kLaunch + L"\\data\\plain.txt" + kCopySourceFaultText + L" = 5/6 byte",
         L"plain.txt ファイルのコピーに失敗"},
    };
    settings_.VerifyFiles = 0;
    for (const auto& c : cases) {
        RemoveTree(destination_);
        const size_t before = script_.Messages().size();
        EXPECT_EQ(Install(c.list + L"0,later.txt,5,0\r\n"), 0u) << c.status;
        std::vector<ShownMessage> shown = script_.Messages();
        ASSERT_EQ(shown.size(), before + 1);
        EXPECT_EQ(shown.back().text, c.message);
        EXPECT_EQ(shown.back().title, L"エラー");
        EXPECT_EQ(shown.back().owner, owner_);
        EXPECT_EQ(progress_.StatusText(), c.status);
        EXPECT_FALSE(FileExists(Installed(L"later.txt")));
        EXPECT_FALSE(FileExists(Installed(L"uninst.dat"))) << "nothing is recorded";
    }
}

TEST_F(InstallWorkerTest, MissingSourceStopsWithTheCopyFailureStatus) {
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\first.dat", "first"));
    EXPECT_EQ(Install(L"0,first.dat,5,0\r\n0,absent.dat,5,0\r\n0,never.dat,5,0\r\n"), 0u);
    EXPECT_EQ(progress_.StatusText(), L"absent.dat ファイルのコピーに失敗");
    EXPECT_EQ(FileText(Installed(L"first.dat")), "first");
    EXPECT_FALSE(FileExists(Installed(L"never.dat")));
    EXPECT_FALSE(FileExists(Installed(L"uninst.dat")));
    // The copy explained the failure itself; the worker adds nothing.
    EXPECT_EQ(script_.Messages().size(), 1u);
}

TEST_F(InstallWorkerTest, FolderAndExpansionFailuresStopWithTheirOwnStatus) {
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\first.dat", "first"));

    // A compressed source that is not on the disc: the expansion explains, the status names it.
    EXPECT_EQ(Install(L"0,first.dat,5,0\r\n0,pack\\gone.dat.bz2,5,0\r\n0,never.dat,5,0\r\n"), 0u);
    EXPECT_EQ(progress_.StatusText(), L"gone.dat.bz2 ファイルの解凍に失敗");
    EXPECT_EQ(FileText(Installed(L"first.dat")), "first");
    EXPECT_FALSE(FileExists(Installed(L"never.dat")));
    ASSERT_EQ(script_.Messages().size(), 1u);
    EXPECT_EQ(script_.Messages()[0].title, L"エラー");

    // A destination on a drive that does not exist: the folder step fails and the status
    // names the whole destination path. Its volume cannot be asked, so the space test passes.
    DWORD drives = GetLogicalDrives();
    wchar_t unused = L'Q';
    while (unused > L'D' && (drives & (1u << (unused - L'A')))) --unused;
    ASSERT_FALSE(drives & (1u << (unused - L'A')));
    const std::wstring missingDrive = std::wstring(1, unused) + L":\\worker-suite\\game\\";
    CopyText(settings_.InstallPath, missingDrive.c_str());
    EXPECT_EQ(Install(L"0,sub\\first.dat,5,0\r\n"), 0u);
    EXPECT_EQ(progress_.StatusText(), missingDrive + L"sub\\first.dat ディレクトリの作成に失敗");
    ASSERT_EQ(script_.Messages().size(), 2u) << "the folder step's own message only";
    EXPECT_EQ(script_.Messages()[1].title, L"エラー");
    EXPECT_EQ(script_.Messages()[1].owner, owner_);
}

TEST_F(InstallWorkerTest, NotEnoughSpaceStopsBeforeAnyFileWithTheNeededMegabytes) {
    ASSERT_TRUE(WriteFileBytes(kLaunch + L"\\data\\a.dat", "a"));
    EXPECT_EQ(Install(L"0,a.dat,400000000000000000,0\r\n0,a.dat,500000123456789012,0\r\n"), 0u);

    std::vector<ShownMessage> shown = script_.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text,
              L"インストール先の空き容量が足りません。\n\n正常にインストールするには 900000123456 "
              L"MB以上の空き領域が必要です。");
    EXPECT_EQ(shown[0].title, L"エラー");
    EXPECT_EQ(shown[0].style, static_cast<UINT>(MB_ICONERROR | MB_OK));
    EXPECT_EQ(shown[0].owner, owner_);
    EXPECT_EQ(progress_.totalBytes.load(), 900000123456789012u);
    EXPECT_EQ(progress_.StatusText(), L"インストール先HDDの空き容量を検査中");
    EXPECT_FALSE(FolderExists(destination_));
}

// Drive U: is a 6 MB volume of its own (tests/worker_volume.cmake), so its free space moves
// only when this test fills it.
TEST(FreeSpace, NeedsAtLeastOneWholeMegabyteMoreThanTheListAndPassesWhenUnaskable) {
    ASSERT_EQ(FreeUnits(L"U:\\"), 6u) << "drive U: should be the 6 MB test volume";
    const wchar_t kOnU[] = L"U:\\Games\\Title\\";
    uint64_t totalBytes = 0;

    totalBytes = 5999999;  // needed 5, free 6
    EXPECT_TRUE(HasEnoughFreeSpace(kOnU, totalBytes));
    totalBytes = 6000000;  // needed 6, free 6
    EXPECT_FALSE(HasEnoughFreeSpace(kOnU, totalBytes));

    ASSERT_TRUE(WriteFileBytes(L"U:\\filler1", std::string(1100000, 'x')));
    ASSERT_EQ(FreeUnits(L"U:\\"), 5u);
    totalBytes = 5000000;  // needed 5, free 5
    EXPECT_FALSE(HasEnoughFreeSpace(kOnU, totalBytes));
    totalBytes = 4999999;  // needed 4, free 5
    EXPECT_TRUE(HasEnoughFreeSpace(kOnU, totalBytes));

    // A share is asked at its root; "\\?\U:\" stands for one that answers.
    totalBytes = 5000000;
    EXPECT_FALSE(HasEnoughFreeSpace(L"\\\\?\\U:\\Games\\Title\\", totalBytes));
    totalBytes = 4000000;
    EXPECT_TRUE(HasEnoughFreeSpace(L"\\\\?\\U:\\Games\\Title\\", totalBytes));

    ASSERT_TRUE(WriteFileBytes(L"U:\\filler2", std::string(4500000, 'x')));
    ASSERT_EQ(FreeUnits(L"U:\\"), 0u);
    totalBytes = 0;  // needed 0, free 0
    EXPECT_FALSE(HasEnoughFreeSpace(kOnU, totalBytes));
    DeleteFileW(L"U:\\filler1");
    DeleteFileW(L"U:\\filler2");

    // Volumes that cannot be asked do not stop the installation.
    totalBytes = UINT64_MAX;
    DWORD drives = GetLogicalDrives();
    wchar_t unused = L'Q';
    while (unused > L'D' && (drives & (1u << (unused - L'A')))) --unused;
    ASSERT_FALSE(drives & (1u << (unused - L'A')));
    EXPECT_TRUE(HasEnoughFreeSpace((std::wstring(1, unused) + L":\\Games\\Title\\").c_str(), totalBytes));
    EXPECT_TRUE(HasEnoughFreeSpace(L"\\\\nosuchserver\\share\\Games\\Title\\", totalBytes));
    EXPECT_TRUE(HasEnoughFreeSpace(L"\\\\nosuchserver", totalBytes));
    EXPECT_TRUE(HasEnoughFreeSpace(L"", totalBytes));
}

}  // namespace
