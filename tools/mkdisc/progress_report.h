// Progress lines for mkdisc's long work: each phase (scanning, compressing, writing an image,
// checking, ...) counts its bytes, and the publisher sees at most one line every two seconds with
// the phase, how far it is, its recent rate and the time left at that rate, and a last line per
// phase with its time and average rate.
// Phases may take turns (compressing and copying alternate file by file); each keeps its own
// bytes and the time spent on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ProgressReport {
public:
    using Clock = std::function<uint64_t()>;  // milliseconds from any start
    using Output = std::function<void(const std::wstring&)>;

    // quiet: no line at all. The clock and the output default to the system's and standard error.
    explicit ProgressReport(bool quiet, Clock clock = Clock(), Output output = Output());

    // Begins a phase of total bytes (0: the total is found as it goes).
    void Begin(const std::wstring& phase, uint64_t total);
    // Bytes of the phase done since the last call; the time since the last call counts as its.
    void Add(const std::wstring& phase, uint64_t bytes);
    // The phase's last line; nothing for a phase that was never begun.
    void End(const std::wstring& phase);

private:
    struct Phase {
        std::wstring name;
        uint64_t total = 0;
        uint64_t done = 0;
        uint64_t milliseconds = 0;
        // At its last line. The rate shown leans on the rate since then: work reported in bursts
        // (a compressed piece at a time) makes that jump, the average from the start lags.
        uint64_t shownDone = 0;
        uint64_t shownMilliseconds = 0;
        double shownRate = 0;
    };

    Phase* Find(const std::wstring& name);
    void Show(const std::wstring& text);

    bool quiet_;
    Clock clock_;
    Output output_;
    std::vector<Phase> phases_;
    uint64_t lastEvent_ = 0;
    uint64_t lastLine_ = 0;
};
