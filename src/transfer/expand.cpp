#include "transfer/expand.h"

#include <windows.h>
#include <shlwapi.h>
#include <share.h>

#include <bzlib.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/handles.h"
#include "base/text.h"
#include "install/progress_state.h"
#include "startup/settings.h"
#include "transfer/copy.h"
#include "transfer/folders.h"

namespace {

// The library pulls its input in small pieces; a larger runtime buffer keeps those reads cheap.
constexpr size_t kInputBufferBytes = 256 * 1024;
// Expanded output is decoded straight into a batch of whole chunks and stored with one write
// per batch: each 4,096-byte chunk is still counted, and preceded by the abort question, on its
// own, but the bytes are neither copied again nor handed to the system in small pieces.
constexpr size_t kOutputBatchBytes = 16 * kExpandChunkBytes;

enum class ReadResult { Data, End, Damaged };

// Reads the concatenated bzip2 streams of one file the way the bzip2 tool does: each stream
// in turn, with whatever the previous one left unread; bytes that are not a further stream
// after at least one complete stream are trailing garbage and ignored.
class Bz2Reader {
public:
    explicit Bz2Reader(FILE* file) : file_(file) {}
    Bz2Reader(const Bz2Reader&) = delete;
    Bz2Reader& operator=(const Bz2Reader&) = delete;
    ~Bz2Reader() { CloseStream(); }

    bool Open() { return OpenStream(nullptr, 0); }

    // Fills buffer up to capacity across stream boundaries; *produced gets the byte count.
    ReadResult Read(char* buffer, int capacity, int* produced) {
        *produced = 0;
        while (*produced < capacity) {
            if (finished_) break;
            int error = BZ_OK;
            int count = BZ2_bzRead(&error, stream_, buffer + *produced, capacity - *produced);
            if (error == BZ_OK) {
                *produced += count;
                continue;
            }
            if (error == BZ_STREAM_END) {
                *produced += count;
                ++streamsCompleted_;
                if (!NextStream()) return ReadResult::Damaged;
                continue;
            }
            if (error == BZ_DATA_ERROR_MAGIC && streamsCompleted_ > 0) {
                finished_ = true;  // trailing garbage after a complete stream
                break;
            }
            return ReadResult::Damaged;
        }
        return *produced > 0 ? ReadResult::Data : ReadResult::End;
    }

private:
    bool OpenStream(void* unused, int unusedCount) {
        int error = BZ_OK;
        stream_ = BZ2_bzReadOpen(&error, file_, 0, 0, unused, unusedCount);
        if (error != BZ_OK) {
            stream_ = nullptr;
            return false;
        }
        return true;
    }

    void CloseStream() {
        if (!stream_) return;
        int error = BZ_OK;
        BZ2_bzReadClose(&error, stream_);
        stream_ = nullptr;
    }

    bool NextStream() {
        void* unusedPointer = nullptr;
        int unusedCount = 0;
        int error = BZ_OK;
        BZ2_bzReadGetUnused(&error, stream_, &unusedPointer, &unusedCount);
        if (error != BZ_OK) return false;
        // The unused bytes live inside the closing stream's buffer.
        memcpy(unused_, unusedPointer, static_cast<size_t>(unusedCount));
        CloseStream();
        if (unusedCount == 0) {
            int next = fgetc(file_);
            if (next == EOF) {
                if (ferror(file_)) return false;
                finished_ = true;
                return true;
            }
            unused_[0] = static_cast<char>(next);
            unusedCount = 1;
        }
        return OpenStream(unused_, unusedCount);
    }

    FILE* file_;
    BZFILE* stream_ = nullptr;
    bool finished_ = false;
    int streamsCompleted_ = 0;
    char unused_[BZ_MAX_UNUSED];
};

void ReportExpandFailure(const wchar_t* sourcePath, const wchar_t* reason) {
    ShowInstallError(FormatText(L"「%ls」\n\n%ls", sourcePath, reason).c_str());
}

const wchar_t kDestinationFailure[] = L"解凍先ファイルが作成できません。";
const wchar_t kSourceUnopenable[] = L"解凍元ファイルが開けません。";
const wchar_t kSourceDamaged[] = L"解凍元ファイルが破損しています。";

}  // namespace

namespace {

// The expanded bytes counted so far but not yet stored.
class OutputBatch {
public:
    explicit OutputBatch(FILE* file) : file_(file), bytes_(new char[kOutputBatchBytes]) {}

    char* FreeSpace() { return bytes_.get() + used_; }
    size_t FreeBytes() const { return kOutputBatchBytes - used_; }
    bool Full() const { return used_ == kOutputBatchBytes; }

    // Takes count bytes decoded into FreeSpace() as written, in chunks, each after the abort
    // question. False when the user confirmed the abort (the chunks before stay).
    bool AcceptChunks(size_t count) {
        while (count > 0) {
            if (ConfirmCancel()) return false;
            size_t chunk = count < kExpandChunkBytes ? count : kExpandChunkBytes;
            used_ += chunk;
            count -= chunk;
            progressState.doneBytes += chunk;
            progressState.fileDoneBytes += chunk;
        }
        return true;
    }

    // Stores the accepted bytes; false when the file took fewer.
    bool Store() {
        size_t stored = used_ == 0 ? 0 : fwrite(bytes_.get(), 1, used_, file_);
        bool complete = stored == used_;
        used_ = 0;
        return complete;
    }

private:
    FILE* file_;
    std::unique_ptr<char[]> bytes_;
    size_t used_ = 0;
};

bool CloseOutput(StdioFile& output) {
    FILE* file = output.release();
    bool flushed = fflush(file) == 0;
    bool closed = fclose(file) == 0;
    return flushed && closed;
}

}  // namespace

bool ExpandBz2File(const wchar_t* destinationPath, const wchar_t* sourcePath) {
    if (wcscmp(PathFindExtensionW(sourcePath), L".bz2") != 0) return false;

    wchar_t destination[kPathCapacity];
    StdioFile output;
    if (CopyText(destination, destinationPath)) output.reset(_wfsopen(destination, L"wb", _SH_DENYNO));
    if (!output) {
        ReportExpandFailure(sourcePath, kDestinationFailure);
        return false;
    }
    // Whole batches go to the system directly.
    setvbuf(output.get(), nullptr, _IONBF, 0);

    // Opened by its wide path, so any name the file system holds can be expanded.
    StdioFile input(_wfsopen(sourcePath, L"rb", _SH_DENYNO));
    if (!input) {
        ReportExpandFailure(sourcePath, kSourceUnopenable);
        return false;
    }
    setvbuf(input.get(), nullptr, _IOFBF, kInputBufferBytes);

    Bz2Reader reader(input.get());
    if (!reader.Open()) {
        ReportExpandFailure(sourcePath, kSourceUnopenable);
        return false;
    }

    OutputBatch batch(output.get());
    for (;;) {
        int produced = 0;
        ReadResult result = reader.Read(batch.FreeSpace(), static_cast<int>(batch.FreeBytes()), &produced);
        // Bytes decoded before damage was found are sound and are kept like any others.
        if (!batch.AcceptChunks(static_cast<size_t>(produced))) {
            batch.Store();
            return false;
        }
        if (result == ReadResult::Damaged) {
            batch.Store();
            ReportExpandFailure(sourcePath, kSourceDamaged);
            return false;
        }
        if (result == ReadResult::End || batch.Full()) {
            if (!batch.Store()) {
                ReportExpandFailure(sourcePath, kDestinationFailure);
                return false;
            }
        }
        if (result == ReadResult::End) break;
    }
    if (!CloseOutput(output)) {
        ReportExpandFailure(sourcePath, kDestinationFailure);
        return false;
    }
    return true;
}
