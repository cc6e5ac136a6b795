// compressbench: mkdisc's compression on every logical processor and on one thread, and a bare
// single-threaded libbzip2 loop at the same level, over the same file, each writing its output to
// a file in the folder (single.bz2, pool.bz2, one.bz2). Prints the times, the processor times
// and the sizes in one line.
//   compressbench <source file> <folder for the outputs>
#include <windows.h>
#include <bzlib.h>

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

// Processor time of this process so far, all threads, user and kernel.
double ProcessorSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

uint64_t SizeOf(const std::wstring& path) {
    uint64_t size = 0;
    QueryFileSize(path, &size);
    return size;
}

}  // namespace

// Each of the three once, in turn; one line of figures for bench-mkdisc.sh to take the best of
// its rounds from, and to set against lbzip2 and bzip2 run natively on the same file.
int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        PrintErrorLine(L"usage: compressbench <source file> <folder for the outputs>");
        return 2;
    }
    const std::wstring source = argv[1], folder = argv[2];
    const std::wstring single = folder + L"\\single.bz2", pooled = folder + L"\\pool.bz2",
                       oneThread = folder + L"\\one.bz2";
    LARGE_INTEGER begin, end;
    double processorBefore = ProcessorSeconds();
    QueryPerformanceCounter(&begin);
    if (!CompressSingleThreaded(source, single)) {
        PrintErrorLine(L"compressbench: the single-threaded loop failed");
        return 1;
    }
    QueryPerformanceCounter(&end);
    const double singleSeconds = Seconds(begin, end);
    const double singleProcessor = ProcessorSeconds() - processorBefore;

    FileDigest digest;
    std::wstring error;
    double seconds[2] = {}, processor[2] = {};
    const unsigned threads[2] = {0, 1};
    const std::wstring* targets[2] = {&pooled, &oneThread};
    for (int i = 0; i < 2; ++i) {
        processorBefore = ProcessorSeconds();
        QueryPerformanceCounter(&begin);
        if (!CompressWithDigest(source, *targets[i], &digest, &error, nullptr, threads[i])) {
            PrintErrorLine(L"compressbench: " + error);
            return 1;
        }
        QueryPerformanceCounter(&end);
        seconds[i] = Seconds(begin, end);
        processor[i] = ProcessorSeconds() - processorBefore;
    }
    PrintLine(
        FormatText(L"bytes=%llu threads=%u loop=%.3f loop_cpu=%.3f loop_out=%llu pool=%.3f pool_cpu=%.3f "
                   L"pool_out=%llu one=%.3f one_cpu=%.3f one_out=%llu",
                   static_cast<unsigned long long>(digest.size), LogicalProcessors(), singleSeconds, singleProcessor,
                   static_cast<unsigned long long>(SizeOf(single)), seconds[0], processor[0],
                   static_cast<unsigned long long>(SizeOf(pooled)), seconds[1], processor[1],
                   static_cast<unsigned long long>(SizeOf(oneThread))));
    return 0;
}
