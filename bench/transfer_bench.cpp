// Throughput of CheckFileCrc32, CopyFileChunked and ExpandBz2File against zlib's crc32,
// CopyFileW, the copy and expansion loops of the earlier single-threaded release, a bare
// libbzip2 read loop and (timed natively by bench-transfer.sh) lbzip2, over the same files in
// the same run. Rounds alternate between the two sides so that cache and disk state favour
// neither.
#include <windows.h>
#include <psapi.h>
#include <share.h>

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
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

// The sink the install worker hands to the transfer operations, so that they cost here what they
// cost there.
ProgressState progress;

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
std::pair<double, double> Race(
    int rounds, const std::function<void()>& ours, const std::function<void()>& reference,
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
           *std::min_element(oursCpu.begin(), oursCpu.end()),
           *std::min_element(referenceCpu.begin(), referenceCpu.end()),
           *std::min_element(referenceCpu.begin(), referenceCpu.end()) /
               *std::min_element(oursCpu.begin(), oursCpu.end()));
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
    static const char* const kWords[] = {"install ", "disc ",   "folder ", "file ", "game ", "data ",
                                         "copy ",    "expand ", "check ",  "size ", "\r\n",  "0x1f2e "};
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
        7, [&] { allMatched = CheckFileCrc32(path.c_str(), expected, nullptr) && allMatched; },
        [&] {
            FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
            setvbuf(file, nullptr, _IONBF, 0);
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[32768]);
            uLong crc = crc32(0, nullptr, 0);
            size_t got;
            while ((got = fread(buffer.get(), 1, 32768, file)) > 0)
                crc = crc32(crc, buffer.get(), static_cast<uInt>(got));
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

// The copy of the earlier release: read and write in turn, 64 KiB at a time (its progress
// counting per chunk of 1,000,000 bytes costs nothing worth measuring).
bool EarlierCopy(const std::wstring& source, const std::wstring& destination) {
    HANDLE in = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    HANDLE out = CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    bool ok = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && GetFileSizeEx(in, &size);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[64 * 1024]);
    uint64_t done = 0;
    while (ok && done < static_cast<uint64_t>(size.QuadPart)) {
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(64 * 1024, size.QuadPart - done));
        DWORD got = 0, stored = 0;
        ok = ReadFile(in, buffer.get(), wanted, &got, nullptr) && got > 0 &&
             WriteFile(out, buffer.get(), got, &stored, nullptr) && stored == got;
        done += got;
    }
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (out != INVALID_HANDLE_VALUE) ok = CloseHandle(out) && ok;
    return ok;
}

bool BenchCopy(const std::wstring& folder) {
    const size_t size = 512 * kMiB;
    const std::wstring source = folder + L"\\copy-source.bin";
    const std::wstring oursTarget = folder + L"\\copy-ours.bin";
    const std::wstring referenceTarget = folder + L"\\copy-reference.bin";
    if (!WriteWhole(source, RandomBytes(size, 2))) return false;
    ReadAll(source);
    bool ok = true;
    auto removeTargets = [&] {
        DeleteFileW(oursTarget.c_str());
        DeleteFileW(referenceTarget.c_str());
    };
    auto ours = [&] { ok = CopyFileChunked(source.c_str(), oursTarget.c_str(), progress) && ok; };
    auto times = Race(
        5, ours, [&] { ok = CopyFileW(source.c_str(), referenceTarget.c_str(), FALSE) && ok; }, removeTargets);
    Report("copy of a 512 MiB file", "CopyFileChunked", "CopyFileW", size, times, 0.9);
    times = Race(
        5, ours, [&] { ok = EarlierCopy(source, referenceTarget) && ok; }, removeTargets);
    Report("copy of a 512 MiB file", "CopyFileChunked", "earlier copy loop", size, times, 1.0);
    DeleteFileW(source.c_str());
    removeTargets();
    if (!ok) printf("a copy failed\n");
    return ok;
}

// Game-like data in 1 MiB pieces taken in turn: text, pictures (rows of gradients between flat
// areas, with noise), sound (16-bit waves with noise) and data that is already compressed.
std::string GameLikeBytes(size_t length, uint64_t seed) {
    std::string bytes;
    bytes.reserve(length + kMiB);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (size_t piece = 0; bytes.size() < length; ++piece) {
        switch (piece % 4) {
            case 0:
                bytes += CompressibleBytes(kMiB, next());
                break;
            case 1:
                for (size_t row = 0; row < kMiB / 1024; ++row) {
                    uint64_t colour = next();
                    for (size_t x = 0; x < 1024; ++x) {
                        if (x % 256 == 0) colour = next();
                        const int noise = static_cast<int>(next() % 5) - 2;
                        const bool flat = (colour >> 40) % 3 == 0;
                        bytes += static_cast<char>(flat ? colour & 0xFF : (colour + x / 4 + noise) & 0xFF);
                    }
                }
                break;
            case 2:
                for (size_t sample = 0; sample < kMiB / 2; ++sample) {
                    const double wave = 9000 * sin(static_cast<double>(sample) * 0.031) +
                                        3000 * sin(static_cast<double>(sample) * 0.0077);
                    const int16_t value = static_cast<int16_t>(wave + static_cast<double>(next() % 401) - 200);
                    bytes.append(reinterpret_cast<const char*>(&value), 2);
                }
                break;
            default:
                bytes += RandomBytes(kMiB, next());
                break;
        }
    }
    bytes.resize(length);
    return bytes;
}

// The expansion of the earlier release, without its messages: libbzip2's stream interface
// filling 64 KiB batches, each 4,096-byte chunk counted, written whole.
bool EarlierExpand(const std::wstring& source, const std::wstring& destination) {
    FILE* in = _wfsopen(source.c_str(), L"rb", _SH_DENYNO);
    FILE* out = _wfsopen(destination.c_str(), L"wb", _SH_DENYNO);
    bool ok = in && out;
    if (ok) {
        setvbuf(in, nullptr, _IOFBF, 256 * 1024);
        setvbuf(out, nullptr, _IONBF, 0);
        int error = BZ_OK;
        BZFILE* stream = BZ2_bzReadOpen(&error, in, 0, 0, nullptr, 0);
        std::unique_ptr<char[]> batch(new char[64 * 1024]);
        while (ok && error == BZ_OK) {
            const int got = BZ2_bzRead(&error, stream, batch.get(), 64 * 1024);
            if (error != BZ_OK && error != BZ_STREAM_END) ok = false;
            for (int done = 0; ok && done < got; done += 4096) {
                if (progress.cancelRequested.load() == 1) ok = false;
                const uint64_t chunk = static_cast<uint64_t>(std::min(4096, got - done));
                progress.doneBytes += chunk;
                progress.fileDoneBytes += chunk;
            }
            ok = ok && fwrite(batch.get(), 1, static_cast<size_t>(got), out) == static_cast<size_t>(got);
        }
        BZ2_bzReadClose(&error, stream);
    }
    if (in) fclose(in);
    if (out) ok = fclose(out) == 0 && ok;
    return ok;
}

size_t FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return static_cast<size_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

// Peak working set, in KiB, of a new process of this program that expands source once (or,
// without a source, does nothing).
DWORD ChildPeakKiB(const std::wstring& source, const std::wstring& destination) {
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) + L"\" --peak";
    if (!source.empty()) command += L" \"" + source + L"\" \"" + destination + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return 0;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

bool BenchExpand(const std::wstring& folder, const std::wstring& source, double lbzip2Seconds) {
    const std::wstring destination = folder + L"\\expand.bin";
    const size_t compressed = FileBytes(source);
    if (compressed == 0) {
        printf("expansion: no .bz2 to expand (bench-transfer.sh makes it with bzip2 -9)\n");
        return false;
    }
    ReadAll(source);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    bool ok = ExpandBz2File(source.c_str(), destination.c_str(), progress);
    const size_t size = FileBytes(destination);
    printf("(expanding %.1f MiB of bzip2 -9 output to %.1f MiB of game-like data; %lu logical processors)\n",
           static_cast<double>(compressed) / kMiB, static_cast<double>(size) / kMiB,
           static_cast<unsigned long>(info.dwNumberOfProcessors));
    fflush(stdout);

    auto bareLoop = [&] {
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
    };
    const std::wstring earlierTarget = folder + L"\\expand-earlier.bin";
    auto removeTargets = [&] {
        DeleteFileW(destination.c_str());
        DeleteFileW(earlierTarget.c_str());
    };
    auto ours = [&] { ok = ExpandBz2File(source.c_str(), destination.c_str(), progress) && ok; };

    auto parallel = Race(5, ours, bareLoop, removeTargets);
    Report("expansion, all processors", "ExpandBz2File", "bare BZ2_bzRead loop", size, parallel,
           info.dwNumberOfProcessors >= 2 ? 1.8 : 0.97);
    if (lbzip2Seconds > 0) {
        Report("expansion, all processors", "ExpandBz2File", "lbzip2 -d (native)", size,
               {parallel.first, lbzip2Seconds}, 1.0);
    }
    SetExpansionThreads(1);
    auto alone = Race(5, ours, bareLoop, removeTargets);
    Report("expansion, one thread", "ExpandBz2File", "bare BZ2_bzRead loop", size, alone, 1.5);
    auto single = Race(
        5, ours, [&] { ok = EarlierExpand(source, earlierTarget) && ok; }, removeTargets);
    SetExpansionThreads(0);
    Report("expansion, one thread", "ExpandBz2File", "earlier ExpandBz2File", size, single, 0.97);

    removeTargets();
    const DWORD idle = ChildPeakKiB(L"", L"");
    const DWORD expanding = ChildPeakKiB(source, destination);
    SetEnvironmentVariableW(L"BENCH_THREADS", L"1");
    const DWORD expandingAlone = ChildPeakKiB(source, destination);
    SetEnvironmentVariableW(L"BENCH_THREADS", nullptr);
    printf(
        "peak working set of a process expanding the file: %.1f MiB on all processors, %.1f MiB with one "
        "thread, against %.1f MiB for one that does nothing\n",
        expanding / 1024.0, expandingAlone / 1024.0, idle / 1024.0);
    // The last expansion's output stays for bench-transfer.sh to compare with the original.
    ok = ExpandBz2File(source.c_str(), destination.c_str(), progress) && ok;
    if (!ok) printf("an expansion failed\n");
    return ok;
}

}  // namespace

// transfer_bench.exe FOLDER [crc|copy|expand|all] [SOURCE.bz2 [LBZIP2_SECONDS]]
// transfer_bench.exe --game-data PATH MIB     writes game-like data for bench-transfer.sh
// transfer_bench.exe --peak [SOURCE DESTINATION]  (its exit code is its peak working set in KiB)
int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && wcscmp(argv[1], L"--peak") == 0) {
        SetExpansionThreads(
            static_cast<unsigned>(_wtoi(_wgetenv(L"BENCH_THREADS") ? _wgetenv(L"BENCH_THREADS") : L"0")));
        if (argc >= 4 && !ExpandBz2File(argv[2], argv[3], progress)) return 0;
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
        return static_cast<int>(counters.PeakWorkingSetSize / 1024);
    }
    if (argc >= 4 && wcscmp(argv[1], L"--game-data") == 0) {
        return WriteWhole(argv[2], GameLikeBytes(static_cast<size_t>(_wtoi(argv[3])) * kMiB, 7)) ? 0 : 2;
    }
    std::wstring folder = argc > 1 ? argv[1] : L".";
    CreateDirectoryW(folder.c_str(), nullptr);
    // An optional second argument picks one benchmark: crc, copy or expand.
    std::wstring only = argc > 2 ? argv[2] : L"";
    if (only == L"all") only.clear();
    const std::wstring compressed = argc > 3 ? argv[3] : L"";
    const double lbzip2Seconds = argc > 4 ? _wtof(argv[4]) : 0;
    bool ok = (only.empty() || only == L"crc" ? BenchCrc(folder) : true) &&
              (only.empty() || only == L"copy" ? BenchCopy(folder) : true) &&
              (only.empty() || only == L"expand" ? BenchExpand(folder, compressed, lbzip2Seconds) : true);
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
