// The CRC-32 check of installed files on a thread of its own, one file at a time, so that the
// next file's transfer does not wait for it; a file that one read covers is checked at once
// instead, since handing it over would cost more than the check. The installing thread collects
// each outcome in list order, and shows any failure itself: boxes never come from two threads.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/handles.h"
#include "install/progress_state.h"
#include "records/list_format.h"
#include "transfer/crc32.h"

class CrcVerifier {
public:
    CrcVerifier();
    // Waits for the check under way, whose outcome then no longer matters, and ends the thread.
    ~CrcVerifier();
    CrcVerifier(const CrcVerifier&) = delete;
    CrcVerifier& operator=(const CrcVerifier&) = delete;

    // Starts checking the entry's installed file, through readBack when the transfer left it
    // open for reading (it is closed after the check), else by its path. The entry must outlive
    // the check, and the check started before must have been collected.
    void Start(const FileEntry& entry, FileHandle readBack);

    // Waits for the check started last, if one was; false after its failure was shown and set as
    // the status. True when nothing was started.
    bool Collect(ProgressState& progress);

private:
    void CheckFiles();
    static FileCrcCheck Check(const FileEntry& entry, FileHandle readBack);

    std::mutex lock_;
    std::condition_variable changed_;
    const FileEntry* entry_ = nullptr;  // the file being checked, or the one collected next
    FileHandle readBack_;
    bool checked_ = false;
    bool stopping_ = false;
    FileCrcCheck outcome_ = FileCrcCheck::kMatches;
    std::thread thread_;
};
