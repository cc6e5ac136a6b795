#include <gtest/gtest.h>

#include <windows.h>

#include <locale.h>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "install/progress_state.h"
#include "support/progress_state_test.h"
#include "support/scripted_interaction.h"
#include "support/test_files.h"
#include "transfer/copy.h"
#include "transfer/crc32.h"
#include "transfer/folders.h"
#include "transfer/source_queue.h"

namespace {

const HWND kOwner = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x5151));

const wchar_t kWriteFailureText[] =
    L"\n\nコピー先ファイルが作成できません。以下の原因が考えられます。\n\n①コピー先ファイルが読み取り専用属性に設定"
    L"されている。\n②コピー先ファイルが他アプリケーションで使用中である。\n③他アプリケーションが影響を与えている。\n④"
    L"書き込み先HDDの異常。\n⑤メモリの不足。\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け"
    L"致しますが、サポート窓口までお問い合わせください。";

class TransferTest : public ProgressStateTest {
protected:
    TransferTest() : ProgressStateTest(kOwner) {}

    struct Counters {
        uint64_t source, done, fileDone;
    };
    Counters Snapshot() const {
        return {progress_.sourceBytes.load(), progress_.doneBytes.load(), progress_.fileDoneBytes.load()};
    }

    static void ExpectCancelQuestion(const ShownMessage& shown) {
        EXPECT_EQ(shown.text, L"インストールを中断しますか？");
        EXPECT_EQ(shown.title, L"確認");
        EXPECT_EQ(shown.style, static_cast<UINT>(MB_OKCANCEL | MB_ICONWARNING));
        EXPECT_EQ(shown.owner, kOwner);
    }

    TempFolder folder_{L"h2copy"};
};

// ---- chunked copy ----

// A source on the disc in drive M: (a CD-ROM drive whose disc is the folder T:\\cd-m, made by
// scripts/wine-env.sh): from there a copy reads ahead on a thread of its own.
struct DiscFile {
    std::wstring written;  // where the test writes it
    std::wstring read;     // where the copy reads it
};
DiscFile OnDisc(const wchar_t* name) {
    EXPECT_EQ(GetDriveTypeW(L"M:\\"), static_cast<UINT>(DRIVE_CDROM)) << "drive M: should be a CD-ROM drive";
    return {std::wstring(L"T:\\cd-m\\") + name, std::wstring(L"M:\\") + name};
}

TEST_F(TransferTest, CopiesWholeChunksAndCountsEveryByte) {
    for (size_t size : {size_t{1000000}, size_t{1000001}, size_t{2500000}, size_t{17}, size_t{7654321}}) {
        for (bool fromDisc : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (fromDisc ? " from the disc" : ""));
            const std::string bytes = PatternBytes(size, static_cast<uint32_t>(size));
            const DiscFile disc = OnDisc(L"src.bin");
            const std::wstring source = fromDisc ? disc.read : folder_ / L"源\\src.bin";
            const std::wstring destination = folder_ / L"dst.bin";
            ASSERT_TRUE(WriteFileBytes(fromDisc ? disc.written : source, bytes));
            Counters before = Snapshot();
            ScriptedInteraction script;
            ASSERT_TRUE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
            EXPECT_TRUE(script.Messages().empty());
            std::string copied;
            ASSERT_TRUE(ReadFileBytes(destination, &copied));
            EXPECT_TRUE(copied == bytes);
            Counters after = Snapshot();
            EXPECT_EQ(after.source - before.source, size);
            EXPECT_EQ(after.done - before.done, size);
            EXPECT_EQ(after.fileDone - before.fileDone, size);
        }
    }
}

TEST_F(TransferTest, EmptySourceNeedsNoPollAndLongerDestinationIsTruncated) {
    const std::wstring source = folder_ / L"empty.bin";
    const std::wstring destination = folder_ / L"dst.bin";
    ASSERT_TRUE(WriteFileBytes(source, ""));
    ASSERT_TRUE(WriteFileBytes(destination, PatternBytes(3000000)));
    progress_.cancelRequested = 1;
    ScriptedInteraction script;
    ASSERT_TRUE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
    EXPECT_TRUE(script.Messages().empty()) << "no abort poll for an empty file";
    EXPECT_EQ(progress_.cancelRequested.load(), 1);
    std::string copied = "x";
    ASSERT_TRUE(ReadFileBytes(destination, &copied));
    EXPECT_TRUE(copied.empty());

    progress_.cancelRequested = 0;
    const std::string shortBytes = PatternBytes(10, 9);
    ASSERT_TRUE(WriteFileBytes(destination, PatternBytes(3000000)));
    ASSERT_TRUE(WriteFileBytes(source, shortBytes));
    ASSERT_TRUE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
    ASSERT_TRUE(ReadFileBytes(destination, &copied));
    EXPECT_TRUE(copied == shortBytes);
}

TEST_F(TransferTest, UnopenableSourceAndUnwritableDestination) {
    const std::wstring missing = folder_ / L"missing.bin";
    const std::wstring destination = folder_ / L"dst.bin";
    {
        ScriptedInteraction script;
        EXPECT_FALSE(CopyFileChunked(missing.c_str(), destination.c_str(), progress_));
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        ExpectErrorBox(shown[0],
                       missing +
                           L"\n\nインストール元ファイルが読み取れません。ファイルが破損している可能性があります。"
                           L"\n以下の原因が考えられます。\n\n①読み取りドライブ、読み取りディスクの異常。\n\n以上を"
                           L"ご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポー"
                           L"ト窓口までお問い合わせください。");
        EXPECT_EQ(Snapshot().source, 0u);
        EXPECT_FALSE(FileExists(destination));
    }
    {
        const std::wstring source = folder_ / L"src.bin";
        ASSERT_TRUE(WriteFileBytes(source, PatternBytes(1234)));
        ASSERT_TRUE(WriteFileBytes(destination, "old"));
        // Held open without sharing by another program. (A read-only attribute would do the
        // same on Windows, but Wine running as root lets the owner write anyway.)
        HANDLE holder = CreateFileW(destination.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        ScriptedInteraction script;
        EXPECT_FALSE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 1u);
        ExpectErrorBox(shown[0],
                       destination +
                           L"\n\nインストール先ファイルが作成できません。以下の原因が考えられます。\n\n①コピー先ファイ"
                           L"ルが読み取り専用属性に設定されている。\n②コピー先ファイルが他アプリケーションで使用中であ"
                           L"る。\n③他アプリケーションが影響を与えている。\n④書き込み先HDDの異常。\n⑤メモリの不足。"
                           L"\n\n以上をご確認頂いても正常に再インストールできない場合は、お手数をお掛け致しますが、サポ"
                           L"ート窓口までお問い合わせください。");
        Counters after = Snapshot();
        EXPECT_EQ(after.source, 1234u) << "the size is counted before the destination opens";
        EXPECT_EQ(after.done, 0u);
        EXPECT_EQ(after.fileDone, 0u);
        CloseHandle(holder);
        std::string kept;
        ASSERT_TRUE(ReadFileBytes(destination, &kept));
        EXPECT_EQ(kept, "old");
    }
}

TEST_F(TransferTest, SourceThatEndsEarlyIsAReadFailure) {
    // The source is cut to two whole chunks while the first abort question waits, so the
    // third read finds nothing although the size measured at the start was larger. From the
    // disc, the reading thread is then no more than 1 MiB ahead.
    for (bool fromDisc : {false, true}) {
        SCOPED_TRACE(fromDisc ? "from the disc" : "from a fixed disk");
        progress_.Reset();
        const DiscFile disc = OnDisc(L"short.bin");
        const std::wstring written = fromDisc ? disc.written : folder_ / L"src.bin";
        const std::wstring source = fromDisc ? disc.read : written;
        const std::wstring destination = folder_ / L"dst.bin";
        const std::string bytes = PatternBytes(2500000, 5);
        ASSERT_TRUE(WriteFileBytes(written, bytes));
        progress_.cancelRequested = 1;
        ScriptedInteraction script;
        script.AnswerMessages({IDCANCEL});
        bool truncated = false;
        script.OnMessage([&](const ShownMessage& shown) {
            if (shown.title != L"確認") return;
            HANDLE file = CreateFileW(written.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            LARGE_INTEGER end;
            end.QuadPart = 2000000;
            truncated = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
                        SetEndOfFile(file);
            CloseHandle(file);
        });
        EXPECT_FALSE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
        ASSERT_TRUE(truncated);
        auto shown = script.Messages();
        ASSERT_EQ(shown.size(), 2u);
        ExpectCancelQuestion(shown[0]);
        ExpectErrorBox(shown[1],
                       source +
                           L"\n\nコピー元ファイルが異常です。ファイルが破損している可能性があります。\n以下の原因が"
                           L"考えられます。\n\n①読み取りドライブ、読み取りディスクの異常。\n\n以上をご確認頂いても"
                           L"正常に再インストールできない場合は、お手数をお掛け致しますが、サポート窓口までお問い合"
                           L"わせください。 = 2000000/2500000 byte");
        Counters after = Snapshot();
        EXPECT_EQ(after.source, 2500000u);
        EXPECT_EQ(after.done, 2000000u);
        std::string kept;
        ASSERT_TRUE(ReadFileBytes(destination, &kept));
        EXPECT_TRUE(kept == bytes.substr(0, 2000000));
    }
}

TEST_F(TransferTest, CancelQuestionBeforeEachChunk) {
    const std::wstring source = folder_ / L"src.bin";
    const std::wstring destination = folder_ / L"dst.bin";
    const std::string bytes = PatternBytes(10000000, 3);
    ASSERT_TRUE(WriteFileBytes(source, bytes));
    {
        // Cancel: the copy goes on and the flag is clear afterwards.
        progress_.cancelRequested = 1;
        ScriptedInteraction script;
        script.AnswerMessages({IDCANCEL});
        EXPECT_TRUE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
        ASSERT_EQ(script.Messages().size(), 1u);
        ExpectCancelQuestion(script.Messages()[0]);
        EXPECT_EQ(progress_.cancelRequested.load(), 0);
        std::string copied;
        ASSERT_TRUE(ReadFileBytes(destination, &copied));
        EXPECT_TRUE(copied == bytes);
    }
    {
        // OK before the first chunk: nothing is copied, the created destination stays.
        progress_.Reset();
        progress_.cancelRequested = 1;
        ScriptedInteraction script;
        script.AnswerMessages({IDOK});
        EXPECT_FALSE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
        ASSERT_EQ(script.Messages().size(), 1u);
        EXPECT_EQ(progress_.cancelRequested.load(), 0);
        EXPECT_EQ(progress_.doneBytes.load(), 0u);
        std::string kept = "x";
        ASSERT_TRUE(ReadFileBytes(destination, &kept));
        EXPECT_TRUE(kept.empty());
    }
    {
        // A second press while chunks flow: the question comes between chunks, and the chunks
        // written before it stay. The press is made from another thread as soon as the first
        // answer has cleared the flag; should the whole copy finish before that thread runs
        // (a busy machine), the attempt proves nothing and is made again.
        const std::string many = PatternBytes(30000000, 4);
        ASSERT_TRUE(WriteFileBytes(source, many));
        bool aborted = false;
        for (int attempt = 0; attempt < 5 && !aborted; ++attempt) {
            progress_.Reset();
            ScriptedInteraction script;
            SecondCancelPress press(script, progress_, [this] { return progress_.cancelRequested.load() == 0; });
            aborted = !CopyFileChunked(source.c_str(), destination.c_str(), progress_);
            press.Join();
            if (!aborted) continue;
            ASSERT_EQ(script.Messages().size(), 2u);
            EXPECT_EQ(progress_.cancelRequested.load(), 0);
            const uint64_t written = progress_.fileDoneBytes.load();
            EXPECT_GE(written, 1000000u);
            EXPECT_LT(written, many.size());
            EXPECT_EQ(written % 1000000, 0u) << "the question only comes between whole chunks";
            std::string kept;
            ASSERT_TRUE(ReadFileBytes(destination, &kept));
            EXPECT_TRUE(kept == many.substr(0, static_cast<size_t>(written)));
        }
        EXPECT_TRUE(aborted) << "no attempt saw the second press before the copy ended";
    }
}

// The 2 MiB volume that tests/transfer_small_volume.cmake links as T:\small-volume.
const wchar_t kSmallVolume[] = L"T:\\small-volume";

TEST_F(TransferTest, DiskThatFillsUpIsAWriteFailure) {
    if (!FolderExists(kSmallVolume)) GTEST_SKIP() << "the small volume needs root to mount";
    const std::wstring source = folder_ / L"big.bin";
    const std::wstring destination = std::wstring(kSmallVolume) + L"\\full.bin";
    const std::string bytes = PatternBytes(3000000, 8);
    ASSERT_TRUE(WriteFileBytes(source, bytes));
    ScriptedInteraction script;
    EXPECT_FALSE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
    const uint64_t stored = progress_.fileDoneBytes.load();
    EXPECT_LT(stored, bytes.size());
    auto shown = script.Messages();
    ASSERT_EQ(shown.size(), 1u);
    ExpectErrorBox(shown[0], destination + kWriteFailureText + L" = " + std::to_wstring(stored) + L"/3000000 byte");
    std::string kept;
    ASSERT_TRUE(ReadFileBytes(destination, &kept));
    EXPECT_EQ(kept.size(), stored) << "the counters hold exactly what reached the file";
    EXPECT_TRUE(bytes.compare(0, kept.size(), kept) == 0);
    DeleteFileW(destination.c_str());
}

TEST_F(TransferTest, SizeIsTakenFromTheOpenedSource) {
    // A (sparse) source of exactly 4,294,967,295 bytes has a size like any other: it is counted
    // and the copy starts; the answer OK to the first question ends it before any byte moves.
    const std::wstring source = folder_ / L"huge.bin";
    const std::wstring destination = folder_ / L"huge-copy.bin";
    {
        HANDLE file = CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        LARGE_INTEGER end;
        end.QuadPart = 0xFFFFFFFFLL;
        ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file));
        CloseHandle(file);
    }
    progress_.cancelRequested = 1;
    ScriptedInteraction script;
    script.AnswerMessages({IDOK});
    EXPECT_FALSE(CopyFileChunked(source.c_str(), destination.c_str(), progress_));
    auto shown = script.Messages();
    ASSERT_EQ(shown.size(), 1u);
    ExpectCancelQuestion(shown[0]);
    EXPECT_EQ(progress_.sourceBytes.load(), 0xFFFFFFFFull);
    EXPECT_TRUE(FileExists(destination));
}

// ---- reading ahead across files ----

// What a transfer takes of one source through the queue, up to mostBytes.
std::string TakeFromQueue(SourceQueue& queue, size_t index, size_t mostBytes, uint64_t* size) {
    OpenedSource source;
    if (!queue.Take(index, &source)) return "(not opened ahead)";
    *size = source.size;
    std::string taken;
    const uint8_t* bytes = nullptr;
    while (taken.size() < mostBytes) {
        const size_t count = source.pieces->Next(&bytes);
        if (count == 0) break;
        taken.append(reinterpret_cast<const char*>(bytes), count);
    }
    if (source.pieces->Failed()) taken += "(failed)";
    return taken;
}

TEST_F(TransferTest, QueuedSourcesComeWholeAndInTheirOwnOrder) {
    constexpr size_t kPiece = SourceQueue::kPieceBytes;
    constexpr size_t kAll = SIZE_MAX, kNotTaken = 0;
    struct Row {
        const wchar_t* name;
        size_t size;   // SIZE_MAX: no such file
        size_t taken;  // how much its transfer takes
    };
    // Held to two pieces ahead, the reader waits for room in the large files, and goes on only
    // when a transfer that ended early or was passed by lets the rest go.
    const Row rows[] = {
        {L"empty.bin", 0, kAll},
        {L"one.bin", 1, kAll},
        {L"short-of-a-piece.bin", kPiece - 1, kAll},
        {L"ended-early.bin", 3 * kPiece + 5, kPiece},
        {L"a-piece.bin", kPiece, kAll},
        {L"passed-by.bin", kPiece + 1, kNotTaken},
        {L"missing.bin", SIZE_MAX, kAll},
        {L"last.bin", 2 * kPiece + 7, kAll},
    };
    std::vector<std::wstring> paths;
    for (size_t i = 0; i < std::size(rows); ++i) {
        paths.push_back(folder_ / rows[i].name);
        if (rows[i].size == SIZE_MAX) continue;
        ASSERT_TRUE(WriteFileBytes(paths.back(), PatternBytes(rows[i].size, static_cast<uint32_t>(i + 1))));
    }
    SourceQueue queue(paths, 2 * kPiece);
    for (size_t i = 0; i < std::size(rows); ++i) {
        if (rows[i].taken == kNotTaken) continue;
        SCOPED_TRACE(testing::Message() << "file " << i);
        uint64_t size = 0;
        const std::string taken = TakeFromQueue(queue, i, rows[i].taken, &size);
        if (rows[i].size == SIZE_MAX) {
            EXPECT_EQ(taken, "(not opened ahead)");
            continue;
        }
        EXPECT_EQ(size, rows[i].size);
        const std::string expected = PatternBytes(rows[i].size, static_cast<uint32_t>(i + 1));
        EXPECT_TRUE(taken == expected.substr(0, std::min(rows[i].taken, expected.size())))
            << taken.size() << " bytes taken of " << expected.size();
    }
}

TEST_F(TransferTest, QueueStopsWhileItsReaderWaitsForRoom) {
    std::vector<std::wstring> paths;
    for (const wchar_t* name : {L"first.bin", L"second.bin"}) {
        paths.push_back(folder_ / name);
        ASSERT_TRUE(WriteFileBytes(paths.back(), PatternBytes(4 * SourceQueue::kPieceBytes)));
    }
    auto queue = std::make_unique<SourceQueue>(paths, 0);
    uint64_t size = 0;
    EXPECT_EQ(TakeFromQueue(*queue, 0, 1, &size).size(), SourceQueue::kPieceBytes);
    queue.reset();  // returns, with the reader held at its room and the opener a file ahead
}

// ---- CRC-32 ----

uint32_t ReferenceCrc32(const uint8_t* data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

std::string HexOf(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

TEST(Crc32, ClassContractAndKnownDigests) {
    CMakeCRC32 hash;
    EXPECT_STREQ(hash.GetName(nullptr), L"CRC32");
    wchar_t name[8] = L"xxxxxxx";
    EXPECT_EQ(hash.GetName(name), name);
    EXPECT_STREQ(name, L"CRC32");
    EXPECT_EQ(hash.GetDigestSize(), 4u);
    EXPECT_EQ(hash.GetBlockSize(), 64u);

    char digest[16];
    hash.Update(reinterpret_cast<const uint8_t*>("123456789"), 9);
    hash.HexDigest(digest);
    EXPECT_STREQ(digest, "cbf43926");
    hash.HexDigest(digest);  // HexDigest started a new computation
    EXPECT_STREQ(digest, "00000000");
    const char fox[] = "The quick brown fox jumps over the lazy dog";
    hash.Update(reinterpret_cast<const uint8_t*>(fox), strlen(fox));
    hash.HexDigest(digest);
    EXPECT_STREQ(digest, "414fa339");

    uint8_t block[64] = {};
    uint32_t state = 0xFFFFFFFFu;
    EXPECT_EQ(hash.ProcessBlocks(block, &state, 64 + 7), 7u) << "only whole blocks are processed";
    EXPECT_EQ(~state, ReferenceCrc32(block, 64));
}

TEST(Crc32, FastPathsAgreeWithTheBytewiseDefinition) {
    std::mt19937 random(12345);
    std::string data(300000, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(data.data());

    // Every length up to a few blocks, at every alignment of the start.
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t length = 0; length <= 600; ++length) {
            ASSERT_EQ(Crc32Of(bytes + offset, length), ReferenceCrc32(bytes + offset, length))
                << "offset " << offset << " length " << length;
        }
    }
    for (size_t length : {size_t{4095}, size_t{4096}, size_t{65537}, size_t{299999}}) {
        EXPECT_EQ(Crc32Of(bytes + 1, length), ReferenceCrc32(bytes + 1, length)) << length;
    }

    // Any split of Update gives the digest of the whole.
    const std::string whole = HexOf(ReferenceCrc32(bytes, data.size()));
    auto digestWithSplits = [&](auto nextSize) {
        CMakeCRC32 hash;
        size_t position = 0;
        while (position < data.size()) {
            size_t size = std::min(nextSize(), data.size() - position);
            hash.Update(bytes + position, size);
            position += size;
        }
        char digest[16];
        hash.HexDigest(digest);
        return std::string(digest);
    };
    for (size_t split : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{32768}}) {
        EXPECT_EQ(digestWithSplits([split] { return split; }), whole) << split;
    }
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(digestWithSplits([&] { return static_cast<size_t>(random() % 200); }), whole);
        EXPECT_EQ(digestWithSplits([&] { return static_cast<size_t>(random() % 70000); }), whole);
    }
}

TEST_F(TransferTest, CheckFileCrc32ComparesTheWholeTextIgnoringCase) {
    const std::wstring digits = folder_ / L"digits.txt";
    ASSERT_TRUE(WriteFileBytes(digits, "123456789"));
    ScriptedInteraction script;
    EXPECT_TRUE(CheckFileCrc32(digits.c_str(), L"cbf43926", owner_));
    EXPECT_TRUE(CheckFileCrc32(digits.c_str(), L"CBF43926", owner_));
    EXPECT_TRUE(CheckFileCrc32(digits.c_str(), L"CbF43926", owner_));
    for (const wchar_t* wrong :
         {L"0xcbf43926", L" cbf43926", L"cbf43926 ", L"cbf4392", L"cbf439260", L"", L"cbf43927", L"ｃbf43926"}) {
        EXPECT_FALSE(CheckFileCrc32(digits.c_str(), wrong, owner_)) << wrong;
    }

    const std::wstring empty = folder_ / L"empty.txt";
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    EXPECT_TRUE(CheckFileCrc32(empty.c_str(), L"00000000", owner_));
    EXPECT_FALSE(CheckFileCrc32(empty.c_str(), L"0", owner_));

    // Find content whose CRC-32 is below 0x10000000: its text needs the leading zero.
    std::string content;
    for (uint32_t n = 0;; ++n) {
        content = PatternBytes(100000 + n % 7, n);
        if (Crc32Of(content.data(), content.size()) < 0x10000000u) break;
    }
    const std::string text = HexOf(Crc32Of(content.data(), content.size()));
    ASSERT_EQ(text[0], '0');
    const std::wstring low = folder_ / L"低い.bin";
    ASSERT_TRUE(WriteFileBytes(low, content));
    EXPECT_TRUE(CheckFileCrc32(low.c_str(), std::wstring(text.begin(), text.end()).c_str(), owner_));
    EXPECT_FALSE(CheckFileCrc32(low.c_str(), std::wstring(text.begin() + 1, text.end()).c_str(), owner_));
    EXPECT_TRUE(script.Messages().empty());

    const std::wstring missing = folder_ / L"missing.bin";
    EXPECT_FALSE(CheckFileCrc32(missing.c_str(), L"00000000", owner_));
    auto shown = script.Messages();
    ASSERT_EQ(shown.size(), 1u);
    ExpectErrorBox(shown[0], missing + L"\nCRC32のチェックができません。");
}

// ---- folders ----

TEST_F(TransferTest, ParentFoldersAreCreatedOrTheFailureExplained) {
    ScriptedInteraction script;
    EXPECT_TRUE(CreateParentFolders((folder_ / L"a.dat").c_str(), owner_));
    EXPECT_TRUE(CreateParentFolders((folder_ / L"x\\y\\z\\a.dat").c_str(), owner_));
    EXPECT_TRUE(FolderExists(folder_ / L"x\\y\\z"));
    EXPECT_TRUE(CreateParentFolders((folder_ / L"x\\y\\z\\a.dat").c_str(), owner_));
    EXPECT_TRUE(CreateParentFolders(L"T:\\root-file.dat", owner_));
    ASSERT_TRUE(WriteFileBytes(folder_ / L"blocker", "file"));
    EXPECT_TRUE(CreateParentFolders((folder_ / L"blocker\\a.dat").c_str(), owner_)) << "reported by the file creation";
    EXPECT_TRUE(script.Messages().empty());

    wchar_t freeDrive = 0;
    const DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
        if (!(drives & (1u << (letter - L'A')))) {
            freeDrive = letter;
            break;
        }
    }
    ASSERT_NE(freeDrive, 0);
    const std::wstring onMissingDrive = std::wstring(1, freeDrive) + L":\\ゲーム\\data\\a.dat";
    const std::wstring relative = L"game\\sub\\a.dat";
    EXPECT_FALSE(CreateParentFolders(onMissingDrive.c_str(), owner_));
    EXPECT_FALSE(CreateParentFolders(relative.c_str(), owner_));
    auto shown = script.Messages();
    ASSERT_EQ(shown.size(), 2u);
    const std::wstring tail = L"\n※インストール先のパスを確認して下さい。";
    for (size_t i = 0; i < 2; ++i) {
        const std::wstring& path = i == 0 ? onMissingDrive : relative;
        SCOPED_TRACE(path);
        ASSERT_GT(shown[i].text.size(), path.size() + 2 + tail.size());
        EXPECT_EQ(shown[i].text.substr(0, path.size() + 2), path + L"\n\n");
        EXPECT_EQ(shown[i].text.substr(shown[i].text.size() - tail.size()), tail);
        EXPECT_EQ(shown[i].title, L"エラー");
        EXPECT_EQ(shown[i].style, static_cast<UINT>(MB_ICONERROR));
        EXPECT_EQ(shown[i].owner, kOwner);
    }
}

}  // namespace
