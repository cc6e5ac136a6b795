#include "file_digest.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/handles.h"
#include "bzip2_pieces.h"
#include "tool_text.h"
#include "transfer/crc32.h"

namespace {

constexpr size_t kChunk = 1 << 20;

std::string FinishCrc(CMakeCRC32* crc) {
    char text[16] = {};
    crc->HexDigest(text);
    return text;
}

bool OpenForReading(const std::wstring& path, FileHandle* file, std::wstring* error) {
    file->reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file->valid()) return true;
    *error = L"cannot open \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

bool OpenForWriting(const std::wstring& path, FileHandle* file, std::wstring* error) {
    file->reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file->valid()) return true;
    *error = L"cannot create \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

bool ReadChunk(const FileHandle& file, const std::wstring& path, char* buffer, DWORD* got, std::wstring* error) {
    if (ReadFile(file.get(), buffer, static_cast<DWORD>(kChunk), got, nullptr)) return true;
    *error = L"cannot read \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

bool WriteAll(const FileHandle& file, const std::wstring& path, const char* data, size_t length, std::wstring* error) {
    while (length > 0) {
        DWORD written = 0;
        DWORD piece = static_cast<DWORD>(length > kChunk ? kChunk : length);
        if (!WriteFile(file.get(), data, piece, &written, nullptr) || written == 0) {
            *error = L"cannot write \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

bool CloseWritten(FileHandle* file, const std::wstring& path, std::wstring* error) {
    HANDLE handle = file->release();
    if (CloseHandle(handle)) return true;
    *error = L"cannot finish \"" + path + L"\" (" + SystemErrorText(GetLastError()) + L")";
    return false;
}

}  // namespace

bool QueryFileSize(const std::wstring& path, uint64_t* size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool CopyWithDigest(const std::wstring& source, const std::wstring& target, FileDigest* digest, std::wstring* error,
                    const ByteProgress& progress) {
    FileHandle input, output;
    if (!OpenForReading(source, &input, error)) return false;
    if (!target.empty() && !OpenForWriting(target, &output, error)) return false;
    std::vector<char> buffer(kChunk);
    CMakeCRC32 crc;
    uint64_t size = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadChunk(input, source, buffer.data(), &got, error)) return false;
        if (got == 0) break;
        crc.Update(reinterpret_cast<const uint8_t*>(buffer.data()), got);
        size += got;
        if (output.valid() && !WriteAll(output, target, buffer.data(), got, error)) return false;
        if (progress) progress(got);
    }
    if (output.valid() && !CloseWritten(&output, target, error)) return false;
    digest->size = size;
    digest->crc = FinishCrc(&crc);
    return true;
}

namespace {

constexpr unsigned kLevel = 9;

struct Piece {
    std::string raw;
    Bz2Block block;
    bool compressed = false;  // guarded by the pool's lock
    bool failed = false;
};

// A fixed set of threads compressing the pieces handed to it, in any order.
class CompressionPool {
public:
    explicit CompressionPool(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
    }
    CompressionPool(const CompressionPool&) = delete;
    CompressionPool& operator=(const CompressionPool&) = delete;
    ~CompressionPool() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    void Submit(Piece* piece) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            queue_.push_back(piece);
        }
        wake_.notify_one();
    }

    // False when the piece could not be compressed.
    bool WaitFor(Piece* piece) {
        std::unique_lock<std::mutex> hold(lock_);
        done_.wait(hold, [&] { return piece->compressed; });
        return !piece->failed;
    }

private:
    void Work() {
        Bz2BlockEncoder encoder;
        for (;;) {
            Piece* piece = nullptr;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                piece = queue_.front();
                queue_.pop_front();
            }
            const bool made = encoder.Encode(reinterpret_cast<const uint8_t*>(piece->raw.data()), piece->raw.size(),
                                             kLevel, &piece->block);
            std::string().swap(piece->raw);
            {
                std::lock_guard<std::mutex> hold(lock_);
                piece->compressed = true;
                piece->failed = !made;
            }
            done_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_, done_;
    std::deque<Piece*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace

unsigned LogicalProcessors() {
    DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (count == 0) {  // not every implementation of the system answers it
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        count = system.dwNumberOfProcessors;
    }
    return count > 0 ? count : 1;
}

bool CompressWithDigest(const std::wstring& source, const std::wstring& target, FileDigest* digest, std::wstring* error,
                        const ByteProgress& progress, unsigned threads) {
    FileHandle input, output;
    if (!OpenForReading(source, &input, error)) return false;
    if (!OpenForWriting(target, &output, error)) return false;
    if (threads == 0) threads = LogicalProcessors();
    // Four pieces per thread in flight: pieces take unequal times, and the others keep the
    // threads busy while the oldest, which must be joined first, is still being compressed.
    const size_t inFlightLimit = 4 * static_cast<size_t>(threads);
    std::deque<std::unique_ptr<Piece>> inFlight;  // outlives the pool's threads
    CompressionPool pool(threads);
    StreamJoiner joiner(kLevel);
    auto joinOldest = [&]() {
        Piece* oldest = inFlight.front().get();
        if (!pool.WaitFor(oldest)) {
            *error = L"bzip2 compression of \"" + source + L"\" failed";
            return false;
        }
        joiner.Append(oldest->block);
        inFlight.pop_front();
        const std::string bytes = joiner.TakeBytes();
        return WriteAll(output, target, bytes.data(), bytes.size(), error);
    };

    std::vector<char> chunk(kChunk);
    size_t chunkUsed = 0, chunkPosition = 0;
    bool endOfFile = false;
    CMakeCRC32 crc;
    uint64_t size = 0;
    PieceCutter cutter(kLevel);
    auto piece = std::make_unique<Piece>();
    for (;;) {
        if (chunkPosition == chunkUsed && !endOfFile) {
            DWORD got = 0;
            if (!ReadChunk(input, source, chunk.data(), &got, error)) return false;
            crc.Update(reinterpret_cast<const uint8_t*>(chunk.data()), got);
            size += got;
            chunkUsed = got;
            chunkPosition = 0;
            endOfFile = got == 0;
            if (progress && got) progress(got);
        }
        const size_t taken = cutter.Fit(reinterpret_cast<const uint8_t*>(chunk.data()) + chunkPosition,
                                        chunkUsed - chunkPosition);
        piece->raw.append(chunk.data() + chunkPosition, taken);
        chunkPosition += taken;
        const bool allRead = endOfFile && chunkPosition == chunkUsed;
        if ((cutter.Full() || allRead) && !piece->raw.empty()) {
            if (inFlight.size() == inFlightLimit && !joinOldest()) return false;
            pool.Submit(piece.get());
            inFlight.push_back(std::move(piece));
            piece = std::make_unique<Piece>();
            cutter.Reset();
        }
        if (allRead) break;
    }
    while (!inFlight.empty())
        if (!joinOldest()) return false;
    joiner.Finish();
    const std::string tail = joiner.TakeBytes();
    if (!WriteAll(output, target, tail.data(), tail.size(), error)) return false;
    if (!CloseWritten(&output, target, error)) return false;
    digest->size = size;
    digest->crc = FinishCrc(&crc);
    return true;
}
