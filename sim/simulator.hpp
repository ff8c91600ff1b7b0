// The running instrument: the send loop that spaces reports, answers polls and injects faults,
// with the sent log, the record of what it received, and its counters.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "instrument.hpp"
#include "lines.hpp"
#include "output_file.hpp"

namespace vpisim {

// Apply `kind` to every `every`-th report (counting from 1), or at random with `probability`.
struct FaultRule {
    Fault kind = Fault::None;
    unsigned every = 0;
    double probability = 0.0;
};

struct SimOptions {
    std::vector<int> streams{1};
    int lastParameter = 12;      // parameters 5..lastParameter are sent
    int intervalMs = 500;        // between two reports (streams take turns)
    std::uint32_t seed = 1;
    std::vector<FaultRule> faults;
    int resyncPauseMs = 1300;    // silence after a cut or reversed report
    bool answerPolls = true;
    std::uint64_t maxReports = 0;  // 0: no limit
};

// The running instrument. Start() spawns its thread; Stop() ends it.
class Simulator {
public:
    Simulator(SimLine& line, SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    void Start();
    void Stop();
    // Runs on the calling thread until `stop` is set (or maxReports were sent).
    void Run(const std::atomic<bool>& stop);

    // Requests from outside (demo, tests), taken up by the running loop.
    void InjectSilence(int milliseconds);
    void InjectOnce(Fault fault);  // the next report gets this fault
    void SetPaused(bool paused);

    // One line per report to this file (kept by the caller), plus the in-memory copy.
    void SetSentLog(vpitools::OutputFile* log);
    // Received bytes (what the driver sent) to this capture, with timing. The caller writes the
    // header; offsets count from the start of Run().
    void SetRecord(vpitools::OutputFile* capture);
    // Called (on the simulator's thread) after each report or event, for displays.
    void SetEventHook(std::function<void(const std::string&)> hook);

    std::vector<SentReport> Sent() const;
    std::uint64_t PollsAnswered() const { return pollsAnswered_.load(); }
    std::uint64_t ReportsSent() const { return reportsSent_.load(); }
    // Reports the line did not take whole (write failed or timed out).
    std::uint64_t ReportsUnwritten() const { return reportsUnwritten_.load(); }
    bool Silent() const;
    // Why the line went away, once it did (Run() has then ended); "" before.
    // Only after Run() has returned: the line is the running loop's.
    std::string LineLost() const { return line_.Lost(); }
    // The first failure of the sent log or the capture ("cannot write FILE: reason"), "" while
    // both are well; that output stops, the instrument goes on.
    std::string OutputFailure() const;
    // Bytes recorded to the capture so far.
    std::uint64_t RecordedBytes() const;

private:
    void SendOne(bool polled);
    void Event(const std::string& text);
    void TakeInput(int waitMs);

    SimLine& line_;
    SimOptions options_;
    std::map<int, StreamValues> values_;
    std::size_t nextStream_ = 0;
    std::uint64_t sequence_ = 0;
    std::mt19937 random_;
    std::string inputTail_;

    mutable std::mutex mutex_;
    std::vector<SentReport> sent_;
    vpitools::OutputFile* sentLog_ = nullptr;
    vpitools::OutputFile* record_ = nullptr;
    std::function<void(const std::string&)> eventHook_;
    std::string outputFailure_;
    std::uint64_t recordedBytes_ = 0;
    std::vector<Fault> pendingFaults_;
    std::chrono::steady_clock::time_point silentUntil_{};
    std::chrono::steady_clock::time_point resyncUntil_{};
    std::chrono::steady_clock::time_point started_{};
    bool pollPending_ = false;  // simulator thread only
    bool paused_ = false;

    std::atomic<std::uint64_t> pollsAnswered_{0};
    std::atomic<std::uint64_t> reportsSent_{0};
    std::atomic<std::uint64_t> reportsUnwritten_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vpisim
