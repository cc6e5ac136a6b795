// Throughput of CheckFileCrc32, CopyFileChunked and ExpandBz2File against zlib's crc32,
// CopyFileW and a bare libbzip2 read loop over the same files in the same run. Rounds
// alternate between the two sides so that cache and disk state favour neither.
#include <windows.h>
#include <share.h>

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "install/progress_state.h"
#include "transfer/copy.h"
#include "transfer/crc32.h"
#include "transfer/expand.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

// Processor time of the calling thread (user and kernel), in seconds.
double ThreadSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Seconds per run for two contenders, alternating; the best of each, since on a shared
// machine every disturbance only ever adds time. prepare runs untimed before every run.
std::pair<double, double> Race(int rounds, const std::function<void()>& ours, const std::function<void()>& reference,
                               const std::function<void()>& prepare = [] {}) {
    std::vector<double> oursTimes, referenceTimes, oursCpu, referenceCpu;
    for (int round = 0; round < rounds; ++round) {
        const bool oursFirst = round % 2 == 0;
        for (int side = 0; side < 2; ++side) {
            const bool runOurs = (side == 0) == oursFirst;
            prepare();
            double start = Now();
            double startCpu = ThreadSeconds();
            (runOurs ? ours : reference)();
            (runOurs ? oursTimes : referenceTimes).push_back(Now() - start);
            (runOurs ? oursCpu : referenceCpu).push_back(ThreadSeconds() - startCpu);
        }
    }
    printf("    processor time, best of %d: ours %.3f s, reference %.3f s (ratio %.3f)\n", rounds,
           *std::min_element(oursCpu.begin(), oursCpu.end()), *std::min_element(referenceCpu.begin(), referenceCpu.end()),
           *std::min_element(referenceCpu.begin(), referenceCpu.end()) / *std::min_element(oursCpu.begin(), oursCpu.end()));
    return {*std::min_element(oursTimes.begin(), oursTimes.end()),
            *std::min_element(referenceTimes.begin(), referenceTimes.end())};
}

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfsopen(path.c_str(), L"wb", _SH_DENYNO);
    if (!file) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

std::string RandomBytes(size_t length, uint64_t seed) {
    std::string bytes(length, '\0');
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i + 8 <= length; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        memcpy(&bytes[i], &state, 8);
    }
    return bytes;
}

// Data that bzip2 shrinks to about a third, like typical game files: words from a small
// vocabulary between runs of noise drawn from a skewed 16-symbol alphabet.
std::string CompressibleBytes(size_t length, uint64_t seed) {
    static const char* const kWords[] = {"install ", "disc ", "folder ", "file ",  "game ",  "data ",
                                         "copy ",    "expand ", "check ", "size ", "\r\n",  "0x1f2e "};
    static const char kSymbols[] = "eeeettaaoinsrhld";
    std::string bytes;
    bytes.reserve(length + 64);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (bytes.size() < length) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        if (state % 3 == 0) {
            bytes += kWords[(state >> 8) % 12];
        } else {
            for (int i = 0; i < 12; ++i) bytes += kSymbols[(state >> (16 + 4 * i)) & 15];
        }
    }
    bytes.resize(length);
    return bytes;
}

void ReadAll(const std::wstring& path) {  // brings a file into the cache
    FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
    if (!file) return;
    std::unique_ptr<char[]> buffer(new char[kMiB]);
    while (fread(buffer.get(), 1, kMiB, file) > 0) {
    }
    fclose(file);
}

double MiBPerSecond(size_t bytes, double seconds) { return static_cast<double>(bytes) / kMiB / seconds; }

struct Verdict {
    const char* name;
    double ratio;
    double target;
};
std::vector<Verdict> verdicts;

void Report(const char* name, const char* oursName, const char* referenceName, size_t bytes,
            std::pair<double, double> times, double target) {
    const double ratio = times.second / times.first;  // throughput of ours over the reference's
    printf("%-28s %-22s %9.1f MiB/s   %-22s %9.1f MiB/s   ratio %.3f (target >= %.2f) %s\n", name, oursName,
           MiBPerSecond(bytes, times.first), referenceName, MiBPerSecond(bytes, times.second), ratio, target,
           ratio >= target ? "met" : "MISSED");
    fflush(stdout);
    verdicts.push_back({name, ratio, target});
}

bool BenchCrc(const std::wstring& folder) {
    const size_t size = 256 * kMiB;
    const std::string bytes = RandomBytes(size, 1);
    const std::wstring path = folder + L"\\crc.bin";
    if (!WriteWhole(path, bytes)) return false;
    ReadAll(path);
    wchar_t expected[16];
    swprintf(expected, 16, L"%08lx", static_cast<unsigned long>(Crc32Of(bytes.data(), bytes.size())));
    if (crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())) !=
        Crc32Of(bytes.data(), bytes.size())) {
        printf("CRC-32 differs from zlib's\n");
        return false;
    }

    bool allMatched = true;
    // The whole check (open, read in 32,768-byte chunks, hash, compare) against the same
    // reading loop feeding zlib.
    auto times = Race(
        7, [&] { allMatched = CheckFileCrc32(path.c_str(), expected) && allMatched; },
        [&] {
            FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
            setvbuf(file, nullptr, _IONBF, 0);
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[32768]);
            uLong crc = crc32(0, nullptr, 0);
            size_t got;
            while ((got = fread(buffer.get(), 1, 32768, file)) > 0) crc = crc32(crc, buffer.get(), static_cast<uInt>(got));
            fclose(file);
            allMatched = allMatched && crc == Crc32Of(bytes.data(), bytes.size());
        });
    Report("CRC-32 of a cached file", "CheckFileCrc32", "fread + zlib crc32", size, times, 1.0);
    // The hashing alone over bytes in memory.
    volatile uint32_t sink = 0;
    times = Race(
        7, [&] { sink = Crc32Of(bytes.data(), bytes.size()); },
        [&] { sink = crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())); });
    Report("CRC-32 in memory", "Crc32Of", "zlib crc32", size, times, 1.0);
    DeleteFileW(path.c_str());
    if (!allMatched) printf("a CRC-32 check did not match\n");
    return allMatched;
}

bool BenchCopy(const std::wstring& folder) {
    const size_t size = 512 * kMiB;
    const std::wstring source = folder + L"\\copy-source.bin";
    const std::wstring oursTarget = folder + L"\\copy-ours.bin";
    const std::wstring referenceTarget = folder + L"\\copy-reference.bin";
    if (!WriteWhole(source, RandomBytes(size, 2))) return false;
    ReadAll(source);
    bool ok = true;
    auto times = Race(
        5, [&] { ok = CopyFileChunked(source.c_str(), oursTarget.c_str()) && ok; },
        [&] { ok = CopyFileW(source.c_str(), referenceTarget.c_str(), FALSE) && ok; },
        [&] {
            DeleteFileW(oursTarget.c_str());
            DeleteFileW(referenceTarget.c_str());
        });
    Report("copy of a 512 MiB file", "CopyFileChunked", "CopyFileW", size, times, 0.9);
    DeleteFileW(source.c_str());
    DeleteFileW(oursTarget.c_str());
    DeleteFileW(referenceTarget.c_str());
    if (!ok) printf("a copy failed\n");
    return ok;
}

bool BenchExpand(const std::wstring& folder) {
    const size_t size = 16 * kMiB;
    const std::string original = CompressibleBytes(size, 3);
    std::string compressed(original.size() + original.size() / 100 + 600, '\0');
    unsigned int compressedLength = static_cast<unsigned int>(compressed.size());
    double start = Now();
    if (BZ2_bzBuffToBuffCompress(&compressed[0], &compressedLength, const_cast<char*>(original.data()),
                                 static_cast<unsigned int>(original.size()), 9, 0, 0) != BZ_OK) {
        return false;
    }
    compressed.resize(compressedLength);
    printf("(compressed %zu MiB of test data to %.1f MiB in %.1f s)\n", size / kMiB,
           static_cast<double>(compressedLength) / kMiB, Now() - start);
    const std::wstring source = folder + L"\\expand.bin.bz2";
    const std::wstring destination = folder + L"\\expand.bin";
    if (!WriteWhole(source, compressed)) return false;
    ReadAll(source);

    bool ok = true;
    auto times = Race(
        11, [&] { ok = ExpandBz2File(destination.c_str(), source.c_str()) && ok; },
        [&] {
            FILE* file = _wfsopen(source.c_str(), L"rb", _SH_DENYNO);
            int error = BZ_OK;
            BZFILE* stream = BZ2_bzReadOpen(&error, file, 0, 0, nullptr, 0);
            char chunk[4096];
            size_t total = 0;
            for (;;) {
                int got = BZ2_bzRead(&error, stream, chunk, sizeof chunk);
                if (error != BZ_OK && error != BZ_STREAM_END) break;
                total += static_cast<size_t>(got);
                if (error == BZ_STREAM_END) break;
            }
            ok = ok && error == BZ_STREAM_END && total == size;
            BZ2_bzReadClose(&error, stream);
            fclose(file);
        },
        [&] { DeleteFileW(destination.c_str()); });
    Report("expansion of 16 MiB (.bz2)", "ExpandBz2File", "bare BZ2_bzRead loop", size, times, 0.95);
    DeleteFileW(source.c_str());
    DeleteFileW(destination.c_str());
    if (!ok) printf("an expansion failed\n");
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring folder = argc > 1 ? argv[1] : L".";
    CreateDirectoryW(folder.c_str(), nullptr);
    // An optional second argument picks one benchmark: crc, copy or expand.
    std::wstring only = argc > 2 ? argv[2] : L"";
    bool ok = (only.empty() || only == L"crc" ? BenchCrc(folder) : true) &&
              (only.empty() || only == L"copy" ? BenchCopy(folder) : true) &&
              (only.empty() || only == L"expand" ? BenchExpand(folder) : true);
    if (!ok) {
        printf("benchmark could not complete\n");
        return 2;
    }
    bool allMet = true;
    for (const Verdict& verdict : verdicts) allMet = allMet && verdict.ratio >= verdict.target;
    printf("(each figure is the best of its rounds; rounds alternate between the two sides)\n");
    printf("%s\n", allMet ? "all targets met" : "some targets missed");
    return allMet ? 0 : 1;
}
