#include "transfer/expand.h"

#include <windows.h>
#include <shlwapi.h>
#include <share.h>

#include <bzlib.h>

#include <cstdio>
#include <cstring>

#include "base/handles.h"
#include "base/text.h"
#include "install/progress_state.h"
#include "startup/settings.h"
#include "transfer/copy.h"
#include "transfer/folders.h"

namespace {

// The library pulls its input in small pieces; a larger runtime buffer keeps those reads
// cheap. The output is written through a buffer of the same size, so the 4,096-byte chunks do
// not each become a system call.
constexpr size_t kStreamBufferBytes = 256 * 1024;

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

bool ExpandBz2File(const wchar_t* destinationPath, const wchar_t* sourcePath) {
    if (wcscmp(PathFindExtensionW(sourcePath), L".bz2") != 0) return false;

    wchar_t destination[kPathCapacity];
    StdioFile output;
    if (CopyText(destination, destinationPath)) output.reset(_wfsopen(destination, L"wb", _SH_DENYNO));
    if (!output) {
        ReportExpandFailure(sourcePath, kDestinationFailure);
        return false;
    }
    setvbuf(output.get(), nullptr, _IOFBF, kStreamBufferBytes);

    // Opened by its wide path, so any name the file system holds can be expanded.
    StdioFile input(_wfsopen(sourcePath, L"rb", _SH_DENYNO));
    if (!input) {
        ReportExpandFailure(sourcePath, kSourceUnopenable);
        return false;
    }
    setvbuf(input.get(), nullptr, _IOFBF, kStreamBufferBytes);

    Bz2Reader reader(input.get());
    if (!reader.Open()) {
        ReportExpandFailure(sourcePath, kSourceUnopenable);
        return false;
    }

    char chunk[kExpandChunkBytes];
    for (;;) {
        int produced = 0;
        ReadResult result = reader.Read(chunk, sizeof chunk, &produced);
        if (result == ReadResult::Damaged) {
            ReportExpandFailure(sourcePath, kSourceDamaged);
            return false;
        }
        if (result == ReadResult::End) break;
        if (ConfirmCancel()) return false;
        size_t written = fwrite(chunk, 1, static_cast<size_t>(produced), output.get());
        progressState.doneBytes += written;
        progressState.fileDoneBytes += written;
        if (written != static_cast<size_t>(produced)) {
            ReportExpandFailure(sourcePath, kDestinationFailure);
            return false;
        }
    }

    FILE* file = output.release();
    bool flushed = fflush(file) == 0;
    bool closed = fclose(file) == 0;
    if (!flushed || !closed) {
        ReportExpandFailure(sourcePath, kDestinationFailure);
        return false;
    }
    return true;
}
