#include "transfer/expand.h"

#include <windows.h>
#include <share.h>
#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "base/capacity.h"
#include "base/handles.h"
#include "base/interaction.h"
#include "base/text.h"
#include "transfer/bz2_blocks.h"
#include "transfer/decoder_pool.h"
#include "transfer/read_ahead.h"

namespace {

const wchar_t kDestinationFailure[] = L"解凍先ファイルが作成できません。";
const wchar_t kSourceUnopenable[] = L"解凍元ファイルが開けません。";
const wchar_t kSourceDamaged[] = L"解凍元ファイルが破損しています。";

// A setting of the process (tests and benchmarks hold expansion to one thread), read by every
// expansion on whatever thread runs it.
std::atomic<unsigned> expansionThreads{0};
ExpansionHooks noExpansionHooks;
std::atomic<ExpansionHooks*> expansionHooks{&noExpansionHooks};

constexpr unsigned kMostThreads = 16;
// Below this a file holds a block or two: decoding it on the calling thread is quicker than
// starting threads.
constexpr uint64_t kParallelFromBytes = 64 * 1024;
// The expanded bytes held by all the blocks in flight. A block whose output is larger (long
// runs of one byte expand up to 46 MB from one block) is decoded again while it is written.
constexpr size_t kHeldOutputBytes = 64 * 1024 * 1024;
// The source is read ahead in pieces of this size, two at most: a megabyte keeps well ahead of
// the decoding threads, and every byte read ahead is memory held.
constexpr size_t kSourcePieceBytes = 512 * 1024;
constexpr int kSourcePieces = 2;
// Moving the held source down costs about as much as reading it once: it is done once this much
// of it is dead.
constexpr size_t kDeadSourceBytes = 1024 * 1024;
// The held source is given room for this much at the start, so that it never grows by copying
// while the blocks in flight hold a few megabytes (pages count only once they are written).
constexpr size_t kSourceRoomBytes = 8 * 1024 * 1024;
// Whole chunks are written together in runs of up to this many bytes.
constexpr size_t kWriteRunBytes = 256 * 1024;
// Joining a failed block to the candidates that follow it stops here: by chance the magic
// occurs about once in 10^14 bits, so more than a few in one block is damage.
constexpr int kMostJoins = 16;

unsigned DecodingThreads() {
    const unsigned setting = expansionThreads.load();
    if (setting != 0) return std::min(setting, kMostThreads);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return std::max(1u, std::min<unsigned>(info.dwNumberOfProcessors, kMostThreads));
}

void ReportExpandFailure(HWND owner, const wchar_t* sourcePath, const wchar_t* reason) {
    ShowErrorBox(owner, FormatText(L"「%ls」\n\n%ls", sourcePath, reason).c_str());
}

// The compressed bytes from the oldest block still needed to as far as has been read, and the
// block marks found in them.
class CompressedSource {
public:
    CompressedSource(SourcePieces& reader, uint64_t fileBytes) : reader_(reader) {
        bytes_.reserve(static_cast<size_t>(std::min<uint64_t>(fileBytes, kSourceRoomBytes)));
    }

    // Reads until bytes up to endByte (exclusive) are held; false when the file ends first.
    bool Have(uint64_t endByte) {
        while (firstByte_ + bytes_.size() < endByte) {
            if (!ReadPiece()) return false;
        }
        return true;
    }
    uint8_t Byte(uint64_t at) const { return bytes_[static_cast<size_t>(at - firstByte_)]; }
    uint64_t Bits(uint64_t bit, unsigned count) const { return ReadBits(bytes_.data(), bit - firstByte_ * 8, count); }
    bool ReadFailed() const { return reader_.Failed(); }

    // The first mark after afterBit, no further than limitBit.
    bool NextMark(uint64_t afterBit, uint64_t limitBit, BlockMark* mark) {
        for (;;) {
            auto found = std::upper_bound(marks_.begin(), marks_.end(), afterBit,
                                          [](uint64_t bit, const BlockMark& m) { return bit < m.bit; });
            if (found != marks_.end()) {
                *mark = *found;
                return mark->bit <= limitBit;
            }
            if (ended_ || (firstByte_ + scanned_) * 8 > limitBit) return false;
            ReadPiece();
        }
    }

    // Where the bits that can be read end, no further than limitBit.
    uint64_t ReadableEnd(uint64_t limitBit) {
        Have((limitBit + 7) / 8);
        return std::min(limitBit, (firstByte_ + bytes_.size()) * 8);
    }

    void Build(uint64_t startBit, uint64_t endBit, unsigned level, ByteBuffer* stream) const {
        BuildBlockStream(bytes_.data(), startBit - firstByte_ * 8, endBit - firstByte_ * 8, level, stream);
    }

    // Lets go of the bytes before bit.
    void Discard(uint64_t bit) {
        const size_t dead = static_cast<size_t>(std::min<uint64_t>(bit / 8 - firstByte_, scanned_));
        if (dead < kDeadSourceBytes) return;
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(dead));
        firstByte_ += dead;
        scanned_ -= dead;
        marks_.erase(marks_.begin(), std::lower_bound(marks_.begin(), marks_.end(), firstByte_ * 8,
                                                      [](const BlockMark& m, uint64_t b) { return m.bit < b; }));
    }

private:
    bool ReadPiece() {
        if (ended_) return false;
        const uint8_t* piece = nullptr;
        const size_t count = reader_.Next(&piece);
        ended_ = count == 0;
        bytes_.insert(bytes_.end(), piece, piece + count);
        // A magic that may run on into bytes not read yet is looked for after the next piece.
        const size_t scanTo = ended_ ? bytes_.size() : (bytes_.size() > 8 ? bytes_.size() - 8 : 0);
        if (scanTo > scanned_) {
            FindBlockMarks(bytes_.data(), bytes_.size(), scanned_, scanTo, firstByte_ * 8, &marks_);
            scanned_ = scanTo;
        }
        return count > 0;
    }

    SourcePieces& reader_;
    std::vector<uint8_t> bytes_;
    uint64_t firstByte_ = 0;
    size_t scanned_ = 0;
    bool ended_ = false;
    std::vector<BlockMark> marks_;
};

// Expanded bytes on their way into the destination: every 4,096-byte chunk is preceded by the
// abort question and counted before it is written, across block and stream boundaries.
class ChunkWriter {
public:
    ChunkWriter(FILE* file, const ExpandedBytes* output, ProgressSink& progress)
        : file_(file), output_(output), progress_(progress) {}

    // False when the user confirmed the abort (the chunks before are written) or a write failed.
    bool Add(const uint8_t* bytes, size_t count) {
        if (carried_ > 0) {
            const size_t taken = std::min(count, sizeof carry_ - carried_);
            memcpy(carry_ + carried_, bytes, taken);
            carried_ += taken;
            bytes += taken;
            count -= taken;
            if (carried_ < sizeof carry_) return true;
            carried_ = 0;
            if (!AcceptChunk(sizeof carry_) || !Write(carry_, sizeof carry_)) return false;
        }
        while (count >= kExpandChunkBytes) {
            size_t run = 0;
            while (run + kExpandChunkBytes <= count && run < kWriteRunBytes) {
                if (!AcceptChunk(kExpandChunkBytes)) {
                    Write(bytes, run);
                    return false;
                }
                run += kExpandChunkBytes;
            }
            if (!Write(bytes, run)) return false;
            bytes += run;
            count -= run;
        }
        memcpy(carry_, bytes, count);
        carried_ = count;
        return true;
    }

    // Writes the last, partial chunk.
    bool Finish() {
        const size_t count = std::exchange(carried_, 0);
        return count == 0 || (AcceptChunk(count) && Write(carry_, count));
    }

    bool WriteFailed() const { return writeFailed_; }

private:
    bool AcceptChunk(size_t count) {
        if (progress_.ShouldStop()) return false;
        progress_.CountWrittenBytes(count);
        return true;
    }

    bool Write(const uint8_t* bytes, size_t count) {
        if (count == 0) return true;
        writeFailed_ = output_ ? !(*output_)(bytes, count) : fwrite(bytes, 1, count, file_) != count;
        return !writeFailed_;
    }

    FILE* file_;
    const ExpandedBytes* output_;  // instead of the file when not null
    ProgressSink& progress_;
    uint8_t carry_[kExpandChunkBytes];
    size_t carried_ = 0;
    bool writeFailed_ = false;
};

enum class Outcome { Complete, Damaged, Cancelled, WriteFailed };

// One expansion: the calling thread reads the source, finds the blocks and hands them to the
// decoding threads a bounded number ahead, then takes them back in order and writes them.
// Where the next blocks are is a guess until the block before has decoded: a magic inside a
// block's data also looks like a block start. When a block fails, the guesses after it are
// dropped and the block is joined to the candidates that follow until it decodes.
class Expansion {
public:
    // One block per thread is in flight and one more, so that a thread that finishes early
    // finds the next block while the oldest is still being decoded.
    // Expanded bytes go to file, or to output when it is not null.
    Expansion(SourcePieces& source, uint64_t sourceBytes, FILE* file, const ExpandedBytes* output,
              ProgressSink& progress, unsigned threads)
        : source_(source, sourceBytes),
          writer_(file, output, progress),
          mostJobs_(threads > 1 ? threads + 1 : 1),
          keepBytes_(kHeldOutputBytes / mostJobs_),
          hooks_(*expansionHooks.load()) {
        if (threads > 1) pool_.reset(new DecoderPool(threads, keepBytes_, hooks_));
    }

    Outcome Run() {
        for (;;) {
            while (PlanNext()) {
            }
            const Item item = plan_.front();
            plan_.pop_front();
            switch (item.kind) {
                case Item::Kind::Block: {
                    Outcome outcome = Collect(item.job);
                    ReturnJob(item.job);
                    if (outcome != Outcome::Complete) return outcome;
                    source_.Discard(OldestBitNeeded());
                    break;
                }
                case Item::Kind::StreamEnd:
                    if (combinedCrc_ != item.storedCrc) return Finish(Outcome::Damaged);
                    combinedCrc_ = 0;
                    ++streamsDone_;
                    break;
                case Item::Kind::End:
                    return Finish(Outcome::Complete);
                case Item::Kind::Damaged:
                    return Finish(Outcome::Damaged);
            }
        }
    }

private:
    struct Item {
        enum class Kind { Block, StreamEnd, End, Damaged } kind;
        BlockJob* job = nullptr;
        uint32_t storedCrc = 0;
    };

    // ---- planning: what comes next in the source, as far as free jobs allow ----

    bool PlanNext() {
        if (planEnded_ || (jobsOut_ == mostJobs_)) return false;
        plan_.push_back(PlanStep());
        const Item::Kind kind = plan_.back().kind;
        planEnded_ = kind == Item::Kind::End || kind == Item::Kind::Damaged;
        return true;
    }

    Item PlanStep() {
        if (nothingFollows_) return {Item::Kind::Damaged};
        if (atStreamHeader_ && !ReadStreamHeader()) return {HeaderEnd(), nullptr, 0};
        if (markIsStreamEnd_) {
            const uint64_t crcEnd = bit_ + kMagicBits + 32;
            if (!source_.Have((crcEnd + 7) / 8)) return {Item::Kind::Damaged};
            const uint32_t stored = static_cast<uint32_t>(source_.Bits(bit_ + kMagicBits, 32));
            ++streamsPlanned_;
            bit_ = (crcEnd + 7) / 8 * 8;
            atStreamHeader_ = true;
            return {Item::Kind::StreamEnd, nullptr, stored};
        }
        BlockMark next;
        if (!source_.NextMark(bit_, bit_ + kLongestBlockBits, &next)) {
            // No magic follows (a damaged one, or data cut off): the block may still be sound.
            next = {source_.ReadableEnd(bit_ + kLongestBlockBits), false};
            if (next.bit < bit_ + kMagicBits + 32) return {Item::Kind::Damaged};
            nothingFollows_ = true;
        }
        BlockJob* job = TakeJob();
        job->startBit = bit_;
        job->level = level_;
        SetEnd(job, next);
        job->endIsKnown = !nothingFollows_;
        if (pool_) pool_->Submit(job);
        bit_ = next.bit;
        markIsStreamEnd_ = next.streamEnd;
        return {Item::Kind::Block, job};
    }

    // "BZh", the level, and a block or end-of-stream magic right after them.
    bool ReadStreamHeader() {
        const uint64_t byte = bit_ / 8;
        static const uint8_t kSignature[] = {'B', 'Z', 'h'};
        headerReadable_ = true;
        headerPresent_ = false;
        for (uint64_t i = 0; i < kStreamHeaderBytes; ++i) {
            if (!source_.Have(byte + i + 1)) {
                headerReadable_ = i == 0 && !source_.ReadFailed();
                return false;
            }
            const uint8_t value = source_.Byte(byte + i);
            if (i < 3 ? value != kSignature[i] : (value < '1' || value > '9')) return false;
        }
        headerPresent_ = true;
        level_ = source_.Byte(byte + 3) - '0';
        bit_ = (byte + kStreamHeaderBytes) * 8;
        if (!source_.Have(byte + kStreamHeaderBytes + kMagicBits / 8)) return false;
        const uint64_t magic = source_.Bits(bit_, kMagicBits);
        if (magic != kBlockMagic && magic != kStreamEndMagic) return false;
        markIsStreamEnd_ = magic == kStreamEndMagic;
        atStreamHeader_ = false;
        return true;
    }

    // Where no stream header is: after a whole stream, the end of the file or bytes that are no
    // stream end the data as they do for the bzip2 tool; anything else is damage.
    Item::Kind HeaderEnd() const {
        if (headerPresent_ || streamsPlanned_ == 0) return Item::Kind::Damaged;
        return headerReadable_ ? Item::Kind::End : Item::Kind::Damaged;
    }

    void SetEnd(BlockJob* job, const BlockMark& end) {
        job->endBit = end.bit;
        job->endIsStreamEnd = end.streamEnd;
        job->crc = static_cast<uint32_t>(source_.Bits(job->startBit + kMagicBits, 32));
        source_.Build(job->startBit, job->endBit, job->level, &job->stream);
    }

    // ---- collecting, in order ----

    // A block that is sound but ends before the next magic is followed by damage: it is written,
    // and the expansion ends there.
    Outcome Collect(BlockJob* job) {
        if (!Decoded(job) && !(job->endIsKnown && Rejoin(job))) return Finish(Outcome::Damaged);
        combinedCrc_ = CombineBlockCrc(combinedCrc_, job->crc);
        bool written;
        if (job->Complete()) {
            written = writer_.Add(job->output.data.get(), job->output.size);
        } else {
            // Too long to hold: its CRC is right, and the same bits decode to the same bytes.
            bool stopped = false;
            written = decoder_.DecodeInPieces(job->stream, job->result.byLibrary,
                                              [this, &stopped](const uint8_t* bytes, size_t count) {
                                                  stopped = !writer_.Add(bytes, count);
                                                  return !stopped;
                                              });
            if (!written && !stopped) return Finish(Outcome::Damaged);
        }
        if (written) return job->result.endsEarly ? Finish(Outcome::Damaged) : Outcome::Complete;
        return writer_.WriteFailed() ? Outcome::WriteFailed : Outcome::Cancelled;
    }

    bool Decoded(BlockJob* job) {
        if (pool_) {
            pool_->WaitFor(job);
        } else {
            job->Decode(&decoder_, keepBytes_);
        }
        return job->result.sound;
    }

    // The block did not decode: either it is damaged, or its end was a magic inside its data.
    // Joins it to the next candidate until it decodes; then plans afresh from its true end.
    bool Rejoin(BlockJob* job) {
        if (pool_) pool_->WaitForAll();
        hooks_.Joining(job->startBit);
        for (int joins = 0; joins < kMostJoins; ++joins) {
            // Where a block decodes on its own, a block really starts: the failed one is damaged.
            if (!job->endIsStreamEnd && StartsBlock(job->endBit, job->level)) return false;
            BlockMark next;
            if (!source_.NextMark(job->endBit, job->startBit + kLongestBlockBits, &next)) return false;
            SetEnd(job, next);
            job->Decode(&decoder_, keepBytes_);
            if (job->result.sound) {
                PlanAfresh(job);
                return true;
            }
        }
        return false;
    }

    bool StartsBlock(uint64_t bit, unsigned level) {
        for (const Item& item : plan_) {
            if (item.kind == Item::Kind::Block && item.job->startBit == bit && item.job->level == level) {
                return item.job->result.sound;
            }
        }
        BlockMark next;
        if (!source_.NextMark(bit, bit + kLongestBlockBits, &next)) return false;
        BlockJob probe;
        probe.startBit = bit;
        probe.level = level;
        SetEnd(&probe, next);
        // Only whether it is sound matters: it keeps none of its output.
        probe.Decode(&decoder_, 0);
        return probe.result.sound;
    }

    void PlanAfresh(const BlockJob* job) {
        for (const Item& item : plan_) {
            if (item.job) ReturnJob(item.job);
        }
        plan_.clear();
        planEnded_ = false;
        nothingFollows_ = false;
        atStreamHeader_ = false;
        bit_ = job->endBit;
        markIsStreamEnd_ = job->endIsStreamEnd;
        level_ = job->level;
        streamsPlanned_ = streamsDone_;
    }

    Outcome Finish(Outcome outcome) {
        if (outcome == Outcome::Complete && source_.ReadFailed()) outcome = Outcome::Damaged;
        if (!writer_.Finish()) {
            if (!writer_.WriteFailed()) return Outcome::Cancelled;
            if (outcome == Outcome::Complete) return Outcome::WriteFailed;
        }
        return outcome;
    }

    uint64_t OldestBitNeeded() const {
        for (const Item& item : plan_) {
            if (item.job) return item.job->startBit;
        }
        return bit_;
    }

    BlockJob* TakeJob() {
        ++jobsOut_;
        if (freeJobs_.empty()) {
            jobs_.emplace_back(new BlockJob);
            return jobs_.back().get();
        }
        BlockJob* job = freeJobs_.back();
        freeJobs_.pop_back();
        return job;
    }

    void ReturnJob(BlockJob* job) {
        --jobsOut_;
        freeJobs_.push_back(job);
    }

    CompressedSource source_;
    ChunkWriter writer_;
    const unsigned mostJobs_;
    const size_t keepBytes_;
    ExpansionHooks& hooks_;
    // Declared before the pool, so that the pool has stopped before they go.
    std::vector<std::unique_ptr<BlockJob>> jobs_;
    std::vector<BlockJob*> freeJobs_;
    unsigned jobsOut_ = 0;
    // The calling thread's: one-thread expansion, blocks too long to hold, joins after damage.
    BlockDecoder decoder_;
    std::unique_ptr<DecoderPool> pool_;

    std::deque<Item> plan_;
    bool planEnded_ = false;
    bool nothingFollows_ = false;
    bool atStreamHeader_ = true;
    bool headerReadable_ = true;
    bool headerPresent_ = false;
    bool markIsStreamEnd_ = false;
    uint64_t bit_ = 0;
    unsigned level_ = 9;
    unsigned streamsPlanned_ = 0;
    unsigned streamsDone_ = 0;
    uint32_t combinedCrc_ = 0;
};

bool CloseOutput(StdioFile& output) {
    FILE* file = output.release();
    bool flushed = fflush(file) == 0;
    bool closed = fclose(file) == 0;
    return flushed && closed;
}

// One expansion of sourceBytes from pieces read ahead by the caller, or, when pieces is null, read
// here from source up to limit; into file, or to output when it is not null. Every thread it
// started has ended when it returns, so before any message is shown.
Outcome RunExpansion(SourcePieces* pieces, HANDLE source, uint64_t limit, uint64_t sourceBytes, FILE* file,
                     const ExpandedBytes* output, ProgressSink& progress) {
    const unsigned threads = sourceBytes >= kParallelFromBytes ? DecodingThreads() : 1;
    std::unique_ptr<ReadAhead> ownReader;
    if (!pieces) {
        ownReader.reset(new ReadAhead(source, limit, threads > 1, kSourcePieceBytes, kSourcePieces));
        pieces = ownReader.get();
    }
    Expansion expansion(*pieces, sourceBytes, file, output, progress, threads);
    return expansion.Run();
}

// True for a complete expansion; otherwise false, after the message the outcome calls for.
bool Reported(Outcome outcome, const wchar_t* sourceName, ProgressSink& progress) {
    switch (outcome) {
        case Outcome::Cancelled:
            return false;
        case Outcome::Damaged:
            ReportExpandFailure(progress.Owner(), sourceName, kSourceDamaged);
            return false;
        case Outcome::WriteFailed:
            ReportExpandFailure(progress.Owner(), sourceName, kDestinationFailure);
            return false;
        case Outcome::Complete:
            break;
    }
    return true;
}

}  // namespace

void SetExpansionThreads(unsigned count) { expansionThreads = count; }

void SetExpansionHooks(ExpansionHooks* hooks) { expansionHooks = hooks ? hooks : &noExpansionHooks; }

bool ExpandBz2File(const wchar_t* sourcePath, const wchar_t* destinationPath, ProgressSink& progress,
                   const OpenedSource* opened) {
    if (wcscmp(PathFindExtensionW(sourcePath), L".bz2") != 0) return false;

    wchar_t destination[kPathCapacity];
    StdioFile output;
    if (CopyText(destination, destinationPath)) output.reset(_wfsopen(destination, L"wb", _SH_DENYNO));
    if (!output) {
        ReportExpandFailure(progress.Owner(), sourcePath, kDestinationFailure);
        return false;
    }
    // Whole runs of chunks go to the system directly.
    setvbuf(output.get(), nullptr, _IONBF, 0);

    FileHandle source;
    uint64_t sourceBytes = opened ? opened->size : 0;
    if (!opened) {
        // Opened by its wide path, so any name the file system holds can be expanded.
        source.reset(CreateFileW(sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        LARGE_INTEGER size{};
        if (!source || !GetFileSizeEx(source.get(), &size)) {
            ReportExpandFailure(progress.Owner(), sourcePath, kSourceUnopenable);
            return false;
        }
        sourceBytes = static_cast<uint64_t>(size.QuadPart);
    }

    const Outcome outcome = RunExpansion(opened ? opened->pieces : nullptr, source.get(), UINT64_MAX, sourceBytes,
                                         output.get(), nullptr, progress);
    if (!Reported(outcome, sourcePath, progress)) return false;
    if (!CloseOutput(output)) {
        ReportExpandFailure(progress.Owner(), sourcePath, kDestinationFailure);
        return false;
    }
    return true;
}

bool ExpandBz2Stream(HANDLE source, uint64_t sourceBytes, const wchar_t* sourceName, const ExpandedBytes& output,
                     ProgressSink& progress) {
    const Outcome outcome = RunExpansion(nullptr, source, sourceBytes, sourceBytes, nullptr, &output, progress);
    return Reported(outcome, sourceName, progress);
}
