#include "file_digest.h"

#include <windows.h>
#include <bzlib.h>

#include <vector>

#include "base/handles.h"
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

bool CompressWithDigest(const std::wstring& source, const std::wstring& target, FileDigest* digest,
                        std::wstring* error, const ByteProgress& progress) {
    FileHandle input, output;
    if (!OpenForReading(source, &input, error)) return false;
    if (!OpenForWriting(target, &output, error)) return false;
    bz_stream stream = {};
    if (BZ2_bzCompressInit(&stream, 9, 0, 0) != BZ_OK) {
        *error = L"the bzip2 compressor cannot start (out of memory?)";
        return false;
    }
    struct StreamEnd {
        bz_stream* s;
        ~StreamEnd() { BZ2_bzCompressEnd(s); }
    } end{&stream};

    std::vector<char> in(kChunk), out(kChunk);
    CMakeCRC32 crc;
    uint64_t size = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadChunk(input, source, in.data(), &got, error)) return false;
        crc.Update(reinterpret_cast<const uint8_t*>(in.data()), got);
        size += got;
        stream.next_in = in.data();
        stream.avail_in = got;
        const int action = got == 0 ? BZ_FINISH : BZ_RUN;
        int result = BZ_RUN_OK;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<unsigned>(out.size());
            result = BZ2_bzCompress(&stream, action);
            if (result < 0) {
                *error = L"bzip2 compression of \"" + source + L"\" failed (code " + std::to_wstring(result) + L")";
                return false;
            }
            if (!WriteAll(output, target, out.data(), out.size() - stream.avail_out, error)) return false;
        } while (action == BZ_FINISH ? result != BZ_STREAM_END : stream.avail_in > 0);
        if (progress && got) progress(got);
        if (got == 0) break;
    }
    if (!CloseWritten(&output, target, error)) return false;
    digest->size = size;
    digest->crc = FinishCrc(&crc);
    return true;
}

bool ExpandWithDigest(const std::wstring& source, FileDigest* digest, std::wstring* error,
                      const ByteProgress& progress) {
    FileHandle input;
    if (!OpenForReading(source, &input, error)) return false;
    bz_stream stream = {};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
        *error = L"the bzip2 expander cannot start (out of memory?)";
        return false;
    }
    struct StreamEnd {
        bz_stream* s;
        ~StreamEnd() { BZ2_bzDecompressEnd(s); }
    } end{&stream};

    std::vector<char> in(kChunk), out(kChunk);
    CMakeCRC32 crc;
    uint64_t size = 0;
    bool endOfFile = false;
    for (;;) {
        if (stream.avail_in == 0 && !endOfFile) {
            DWORD got = 0;
            if (!ReadChunk(input, source, in.data(), &got, error)) return false;
            endOfFile = got == 0;
            stream.next_in = in.data();
            stream.avail_in = got;
            if (progress && got) progress(got);
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<unsigned>(out.size());
        const int result = BZ2_bzDecompress(&stream);
        const size_t produced = out.size() - stream.avail_out;
        crc.Update(reinterpret_cast<const uint8_t*>(out.data()), produced);
        size += produced;
        if (result == BZ_STREAM_END) break;  // the installer stops at the end of the first stream too
        if (result != BZ_OK) {
            *error = L"\"" + source + L"\" holds damaged bzip2 data (code " + std::to_wstring(result) + L")";
            return false;
        }
        if (endOfFile && stream.avail_in == 0 && produced == 0) {
            *error = L"\"" + source + L"\" ends before its bzip2 stream does (cut off)";
            return false;
        }
    }
    digest->size = size;
    digest->crc = FinishCrc(&crc);
    return true;
}
