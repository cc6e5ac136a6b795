// compressbench: mkdisc's compression on every core against a bare single-threaded libbzip2
// loop at the same level, over the same file, both writing their output to a file. Prints the
// times, the ratio and whether it meets the target of 1.8 times on two or more cores.
//   compressbench <source file> <folder for the outputs>
#include <windows.h>
#include <bzlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/text.h"
#include "file_digest.h"
#include "tool_text.h"

namespace {

double Seconds(const LARGE_INTEGER& begin, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The reference: one bz_stream, fed 1 MiB at a time, written as it comes.
bool CompressSingleThreaded(const std::wstring& source, const std::wstring& target) {
    FileHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FileHandle output(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!input || !output) return false;
    bz_stream stream = {};
    if (BZ2_bzCompressInit(&stream, 9, 0, 0) != BZ_OK) return false;
    std::vector<char> in(1 << 20), out(1 << 20);
    bool sound = true;
    for (bool finished = false; sound && !finished;) {
        DWORD got = 0;
        sound = ReadFile(input.get(), in.data(), static_cast<DWORD>(in.size()), &got, nullptr) != FALSE;
        stream.next_in = in.data();
        stream.avail_in = got;
        const int action = got == 0 ? BZ_FINISH : BZ_RUN;
        int result = BZ_RUN_OK;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<unsigned>(out.size());
            result = BZ2_bzCompress(&stream, action);
            DWORD written = 0;
            const DWORD produced = static_cast<DWORD>(out.size() - stream.avail_out);
            sound = sound && result >= 0 &&
                    (produced == 0 || WriteFile(output.get(), out.data(), produced, &written, nullptr));
        } while (sound && (action == BZ_FINISH ? result != BZ_STREAM_END : stream.avail_in > 0));
        finished = got == 0;
    }
    BZ2_bzCompressEnd(&stream);
    return sound;
}

uint64_t SizeOf(const std::wstring& path) {
    uint64_t size = 0;
    QueryFileSize(path, &size);
    return size;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        PrintErrorLine(L"usage: compressbench <source file> <folder for the outputs> [rounds]");
        return 2;
    }
    const std::wstring source = argv[1], folder = argv[2];
    const int rounds = argc == 4 ? _wtoi(argv[3]) : 2;
    const std::wstring single = folder + L"\\single.bz2", pooled = folder + L"\\pool.bz2";
    const unsigned processors = LogicalProcessors();

    double singleSeconds = 1e30, poolSeconds = 1e30;
    FileDigest digest;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER begin, end;
        QueryPerformanceCounter(&begin);
        if (!CompressSingleThreaded(source, single)) {
            PrintErrorLine(L"compressbench: the single-threaded loop failed");
            return 1;
        }
        QueryPerformanceCounter(&end);
        singleSeconds = std::min(singleSeconds, Seconds(begin, end));

        std::wstring error;
        QueryPerformanceCounter(&begin);
        if (!CompressWithDigest(source, pooled, &digest, &error, nullptr)) {
            PrintErrorLine(L"compressbench: " + error);
            return 1;
        }
        QueryPerformanceCounter(&end);
        poolSeconds = std::min(poolSeconds, Seconds(begin, end));
    }

    const double megabytes = static_cast<double>(digest.size) / 1e6;
    const double ratio = singleSeconds / poolSeconds;
    PrintLine(FormatText(L"source %.1f MB; single-threaded libbzip2: %.2f s (%.1f MB/s), %.1f MB out", megabytes,
                         singleSeconds, megabytes / singleSeconds, static_cast<double>(SizeOf(single)) / 1e6));
    PrintLine(FormatText(L"mkdisc on %u thread(s): %.2f s (%.1f MB/s), %.1f MB out", processors, poolSeconds,
                         megabytes / poolSeconds, static_cast<double>(SizeOf(pooled)) / 1e6));
    PrintLine(FormatText(L"ratio %.2fx; target >= 1.8x on 2 or more cores: %ls", ratio,
                         processors < 2 ? L"not applicable (one core)"
                         : ratio >= 1.8 ? L"met"
                                        : L"NOT met"));
    return 0;
}
