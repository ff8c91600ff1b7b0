// The instrument simulator's core: report formatting with drifting gas-analysis values, the
// send loop that answers polls and injects faults, the sent log, and capture record/replay.
//
// It is a library so that the vpivg-sim program, the host's demo and the tests all drive the
// same instrument.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli.hpp"
#include "output_file.hpp"

namespace vpisim {

// The instrument's side of the cable.
class SimLine {
public:
    virtual ~SimLine() = default;
    // Writes every byte or fails.
    virtual bool Write(std::string_view bytes) = 0;
    // Whatever arrives within `timeoutMs` (possibly nothing); at most `max` bytes.
    virtual std::string Read(std::size_t max, int timeoutMs) = 0;
    // Why the line is gone for good (adapter pulled, far end closed), "" while it is there.
    // Once gone, reads return nothing at once and writes fail: the caller must stop.
    virtual std::string Lost() const { return {}; }
};

// A serial device opened by its Win32 name ("COM5", "\\.\COM12", "/dev/ttyUSB0") through the
// platform layer, so the same names work on both targets, with the given line settings. Null
// with `why` set on failure, naming the device and the reason.
std::unique_ptr<SimLine> OpenSerialLine(const vpitools::LineOptions& options, std::string* why);
#if !defined(_WIN32)
// The master side of a pseudo-terminal (or any descriptor); the descriptor stays the caller's.
std::unique_ptr<SimLine> MakeDescriptorLine(int fd);
#endif

// What a fault did to one report.
enum class Fault {
    None,
    Noise,      // junk bytes (never an "a") ahead of the report; the report itself is intact
    Cut,        // the report stops part way, no trailer; a pause lets the receiver give up
    Reversed,   // the trailer is CR LF instead of LF CR; a pause lets the receiver give up
    Malformed,  // a field the parser refuses (tag, length or order)
    Overlong,   // a line far longer than the receiver collects
};
const char* FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);

// Apply `kind` to every `every`-th report (counting from 1), or at random with `probability`.
struct FaultRule {
    Fault kind = Fault::None;
    unsigned every = 0;
    double probability = 0.0;
};

// One report as the simulator put it on the line.
struct SentReport {
    std::uint64_t sequence = 0;
    int stream = 0;
    int value01 = 0;
    int value02 = 0;
    long value03 = 0;
    std::map<int, std::string> parameters;  // parameter number -> value text as sent
    Fault fault = Fault::None;
    bool polled = false;  // sent in answer to a poll
    // True when the report reached the line whole and well formed, so the driver must publish
    // it: untouched reports and those that only had noise ahead of them.
    bool Intact() const { return fault == Fault::None || fault == Fault::Noise; }
    std::string LogLine() const;
};

// Drifting values for one stream. Each value keeps a fixed number of decimals, so the text is
// what the float on the far side must equal, and never repeats the previous text, so every
// report changes every gate.
class StreamValues {
public:
    StreamValues(int stream, int lastParameter, std::uint32_t seed);
    // Moves every value one step and returns the texts for parameters 5..lastParameter.
    std::map<int, std::string> Next();
    int LastParameter() const { return lastParameter_; }

private:
    struct Channel {
        double base;
        double value;
        int decimals;
        std::string lastText;
    };
    int lastParameter_;
    std::vector<Channel> channels_;  // index 0 = parameter 5
    std::mt19937 random_;
};

// Gas names of the parameters, for display ("N2", "O2", ...; "m/z 40" style past the table).
std::string ParameterName(int parameter);

// The report text "a;<header>;01;..;02;..;03;..;04;..;05;..." without trailer.
std::string FormatReport(int header, const SentReport& report);

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

// Capture files: one line per chunk, "<ms offset> <hex bytes>", '#' starts a comment. A
// capture begins with a header line saying when, where and at what line settings it was made,
// and a capture that was finished properly ends with an end line; both are comments to replay.
struct CaptureChunk {
    std::uint64_t offsetMs;
    std::string bytes;
};
struct CaptureHeader {
    std::string start;   // ISO 8601 with the offset from UTC
    std::string port;    // as given, e.g. "COM5"
    std::string device;  // what it resolved to, e.g. "/dev/ttyUSB0"
    std::string line;    // "9600 8N1"
};
// "# vpivg-sim capture start=... port=... device=... line=9600 8N1" and the column legend.
std::string FormatCaptureHeader(const CaptureHeader& header);
// The header of a capture text, if it has one on its first line.
std::optional<CaptureHeader> ParseCaptureHeader(std::string_view text);
// "# end bytes=N": written when the recording ended as planned.
std::string FormatCaptureEnd(std::uint64_t bytes);
// True when the text carries the end line, so the recording was not cut short.
bool CaptureHasEnd(std::string_view text);
bool ParseCapture(std::string_view text, std::vector<CaptureChunk>* chunks, std::string* why);
std::string FormatCaptureChunk(const CaptureChunk& chunk);
// Writes the chunks at their offsets; false if a write failed or `stop` was set first.
bool ReplayCapture(SimLine& line, const std::vector<CaptureChunk>& chunks,
                   const std::atomic<bool>& stop, double speed = 1.0);

// "1-3,5" -> {1,2,3,5}; every number within [low, high]; sorted, no duplicates.
bool ParseNumberList(std::string_view text, int low, int high, std::vector<int>* numbers,
                     std::string* why);

}  // namespace vpisim
