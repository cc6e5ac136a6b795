#include "progress_report.h"

#include <windows.h>

#include "base/text.h"
#include "tool_text.h"

namespace {

constexpr uint64_t kLineEveryMilliseconds = 2000;
// How much the rate since the previous line counts in the rate shown: about the last 10 seconds.
constexpr double kRecentWeight = 0.3;

std::wstring Duration(uint64_t seconds) {
    if (seconds < 120) return FormatText(L"%llu s", static_cast<unsigned long long>(seconds));
    return FormatText(L"%llu min %02llu s", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
}

// Megabytes a second; 0 before any time has passed.
double Rate(uint64_t bytes, uint64_t milliseconds) {
    return milliseconds ? static_cast<double>(bytes) / 1000.0 / static_cast<double>(milliseconds) : 0.0;
}

}  // namespace

ProgressReport::ProgressReport(bool quiet, Clock clock, Output output)
    : quiet_(quiet),
      clock_(clock ? std::move(clock) : Clock([] { return static_cast<uint64_t>(GetTickCount64()); })),
      output_(output ? std::move(output) : Output(PrintErrorLine)),
      lastEvent_(clock_()),
      lastLine_(lastEvent_) {}

ProgressReport::Phase* ProgressReport::Find(const std::wstring& name) {
    for (Phase& phase : phases_)
        if (phase.name == name) return &phase;
    return nullptr;
}

void ProgressReport::Begin(const std::wstring& phase, uint64_t total) {
    Phase* known = Find(phase);
    if (!known) {
        phases_.push_back({phase});
        known = &phases_.back();
    }
    *known = {phase, total};
    lastEvent_ = clock_();
}

void ProgressReport::Add(const std::wstring& name, uint64_t bytes) {
    Phase* phase = Find(name);
    if (!phase) return;
    const uint64_t now = clock_();
    phase->milliseconds += now - lastEvent_;
    phase->done += bytes;
    lastEvent_ = now;
    if (now - lastLine_ < kLineEveryMilliseconds) return;
    lastLine_ = now;
    const double recent = Rate(phase->done - phase->shownDone, phase->milliseconds - phase->shownMilliseconds);
    const double rate = phase->shownRate > 0 ? kRecentWeight * recent + (1 - kRecentWeight) * phase->shownRate : recent;
    phase->shownDone = phase->done;
    phase->shownMilliseconds = phase->milliseconds;
    phase->shownRate = rate;
    const uint64_t done = phase->total && phase->done > phase->total ? phase->total : phase->done;
    std::wstring text = L"mkdisc: " + phase->name;
    if (phase->total)
        text += FormatText(L"  %d%%  %ls of %ls MB", static_cast<int>(done * 100 / phase->total),
                           Megabytes(done).c_str(), Megabytes(phase->total).c_str());
    else
        text += L"  " + Megabytes(done) + L" MB found";
    if (phase->total) text += FormatText(L"  %.1f MB/s", rate);
    if (phase->total && rate > 0)
        text += L"  " +
                Duration(
                    static_cast<uint64_t>(static_cast<double>(phase->total - done) / 1000.0 / rate / 1000.0 + 0.5)) +
                L" left";
    Show(text);
}

void ProgressReport::End(const std::wstring& name) {
    Phase* phase = Find(name);
    if (!phase) return;
    phase->milliseconds += clock_() - lastEvent_;
    lastEvent_ = clock_();
    // A rate means little for a phase that only finds its bytes, or over less than a second.
    const bool rated = phase->total && phase->milliseconds >= 1000;
    Show(L"mkdisc: " + phase->name + L" done  " + Megabytes(phase->done) + L" MB in " +
         Duration((phase->milliseconds + 500) / 1000) +
         (rated ? FormatText(L"  %.1f MB/s", Rate(phase->done, phase->milliseconds)) : std::wstring()));
    lastLine_ = lastEvent_;
}

void ProgressReport::Show(const std::wstring& text) {
    if (!quiet_) output_(text);
}
