#include "simulator.hpp"

#include <algorithm>
#include <string_view>

#include "capture.hpp"

namespace vpisim {

namespace {

// The poll command the driver sends; the instrument answers it with a report.
constexpr std::string_view kPoll = "@;390\n\r";

}  // namespace

Simulator::Simulator(SimLine& line, SimOptions options)
    : line_(line), options_(std::move(options)), random_(options_.seed) {
    if (options_.streams.empty()) options_.streams.push_back(1);
    // The driver refuses a report shorter than 35 characters or one that ends with the stream
    // field, so at least one parameter is always sent.
    options_.lastParameter = std::clamp(options_.lastParameter, 5, 99);
    for (int stream : options_.streams) {
        values_.emplace(stream, StreamValues(stream, options_.lastParameter, options_.seed));
    }
}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
    stop_ = false;
    line_.Interrupt(false);
    thread_ = std::thread([this] { Run(stop_); });
}

void Simulator::Stop() {
    stop_ = true;
    // A report that waits for the far end to take it must not hold the stop.
    if (thread_.joinable()) {
        line_.Interrupt(true);
        thread_.join();
    }
}

void Simulator::InjectSilence(int milliseconds) {
    std::lock_guard lock(mutex_);
    silentUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

void Simulator::InjectOnce(Fault fault) {
    std::lock_guard lock(mutex_);
    pendingFaults_.push_back(fault);
}

void Simulator::SetPaused(bool paused) {
    std::lock_guard lock(mutex_);
    paused_ = paused;
}

void Simulator::SetSentLog(vpitools::OutputFile* log) {
    std::lock_guard lock(mutex_);
    sentLog_ = log;
}

void Simulator::SetRecord(vpitools::OutputFile* capture) {
    std::lock_guard lock(mutex_);
    record_ = capture;
}

void Simulator::SetEventHook(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(mutex_);
    eventHook_ = std::move(hook);
}

std::vector<SentReport> Simulator::Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::string Simulator::OutputFailure() const {
    std::lock_guard lock(mutex_);
    return outputFailure_;
}

std::uint64_t Simulator::RecordedBytes() const {
    std::lock_guard lock(mutex_);
    return recordedBytes_;
}

bool Simulator::Silent() const {
    std::lock_guard lock(mutex_);
    return std::chrono::steady_clock::now() < silentUntil_;
}

void Simulator::Event(const std::string& text) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = eventHook_;
    }
    if (hook) hook(text);
}

void Simulator::TakeInput(int waitMs) {
    std::string bytes = line_.Read(512, std::max(waitMs, 1));
    if (bytes.empty()) return;
    {
        std::lock_guard lock(mutex_);
        if (record_ && !record_->Failed()) {
            auto offset = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started_).count();
            if (record_->Write(FormatCaptureChunk({static_cast<std::uint64_t>(offset), bytes}) +
                               '\n')) {
                recordedBytes_ += bytes.size();
            } else if (outputFailure_.empty()) {
                outputFailure_ = record_->Error();
            }
        }
    }
    inputTail_ += bytes;
    std::size_t at;
    while ((at = inputTail_.find(kPoll)) != std::string::npos) {
        inputTail_.erase(0, at + kPoll.size());
        bool silent;
        {
            std::lock_guard lock(mutex_);
            silent = std::chrono::steady_clock::now() < silentUntil_;
        }
        if (silent || !options_.answerPolls) {
            Event("poll received, not answered (silent)");
            continue;
        }
        pollPending_ = true;
    }
    // Keep only what could still begin a poll command.
    if (inputTail_.size() > kPoll.size()) inputTail_.erase(0, inputTail_.size() - kPoll.size());
}

void Simulator::SendOne(bool polled) {
    int stream = options_.streams[nextStream_++ % options_.streams.size()];
    SentReport report;
    report.sequence = ++sequence_;
    report.stream = stream;
    report.value01 = 10 + stream % 90;
    report.parameters = values_.at(stream).Next();
    report.value02 = static_cast<int>(report.parameters.size()) % 100;
    report.value03 = static_cast<long>(report.sequence % 10000000u);
    report.polled = polled;

    {
        std::lock_guard lock(mutex_);
        if (!pendingFaults_.empty() && !polled) {
            report.fault = pendingFaults_.front();
            pendingFaults_.erase(pendingFaults_.begin());
        }
    }
    if (report.fault == Fault::None && !polled) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        for (const FaultRule& rule : options_.faults) {
            bool hit = rule.every ? report.sequence % rule.every == 0
                                  : (rule.probability > 0 && chance(random_) < rule.probability);
            if (hit) {
                report.fault = rule.kind;
                break;
            }
        }
    }
    std::string text = FormatReport(static_cast<int>(report.sequence % 100000u), report);
    std::string bytes;
    bool resync = false;
    switch (report.fault) {
        case Fault::None:
            bytes = text + "\n\r";
            break;
        case Fault::Noise: {
            // Junk the receiver drops while it hunts for the start character: anything but "a".
            static constexpr std::string_view kJunk =
                "0123456789;:.,-+ ZzXxQq?!*#\t\x01\x7f\r\n\xfe\xc3";
            std::uniform_int_distribution<std::size_t> pick(0, kJunk.size() - 1);
            std::uniform_int_distribution<int> length(3, 40);
            int n = length(random_);
            for (int i = 0; i < n; ++i) bytes += kJunk[pick(random_)];
            bytes += text + "\n\r";
            break;
        }
        case Fault::Cut: {
            std::uniform_int_distribution<std::size_t> at(2, text.size() - 1);
            bytes = text.substr(0, at(random_));
            resync = true;
            break;
        }
        case Fault::Reversed:
            bytes = text + "\r\n";
            resync = true;
            break;
        case Fault::Malformed: {
            std::string bad = text;
            switch (report.sequence % 4) {
                case 0: bad.replace(2, bad.find(';', 2) - 2, "123456"); break;  // header too long
                case 1: bad[1] = ':'; break;                   // no separator after "a"
                case 2: {                                       // "01" value of 3 digits
                    std::size_t tag = bad.find(";01;");
                    bad.insert(tag + 4, "1");
                    break;
                }
                default: {                                      // tag "04" misspelt
                    std::size_t tag = bad.find(";04;");
                    bad[tag + 2] = '5';
                    break;
                }
            }
            bytes = bad + "\n\r";
            break;
        }
        case Fault::Overlong: {
            std::string filler;
            while (filler.size() < 1200) filler += ";99;1.2345";
            bytes = text + filler + "\n\r";
            break;
        }
    }
    bool ok = line_.Write(bytes);
    reportsSent_++;
    if (!ok) reportsUnwritten_++;
    std::string logLine = report.LogLine() + (ok ? "" : " write-failed");
    {
        std::lock_guard lock(mutex_);
        sent_.push_back(report);
        if (sentLog_ && !sentLog_->Failed() && !sentLog_->Write(logLine + '\n') &&
            outputFailure_.empty()) {
            outputFailure_ = sentLog_->Error();
        }
        if (resync) {
            resyncUntil_ = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(options_.resyncPauseMs);
        }
    }
    Event(logLine);
}

void Simulator::Run(const std::atomic<bool>& stop) {
    using Clock = std::chrono::steady_clock;
    started_ = Clock::now();
    auto next = started_;
    while (!stop) {
        if (options_.maxReports && reportsSent_ >= options_.maxReports) break;
        // A line that went away stays away: the program reports it and ends.
        if (!line_.Lost().empty()) break;
        auto now = Clock::now();
        bool silent, paused, resyncing;
        {
            std::lock_guard lock(mutex_);
            silent = now < silentUntil_;
            paused = paused_;
            resyncing = now < resyncUntil_;
        }
        if (silent || paused || resyncing) {
            if (silent) pollPending_ = false;
            TakeInput(20);
            if (next < now) next = now;
            continue;
        }
        if (pollPending_) {
            pollPending_ = false;
            pollsAnswered_++;
            Event("poll received, answering with a report");
            SendOne(true);
            continue;
        }
        if (now >= next) {
            SendOne(false);
            next += std::chrono::milliseconds(options_.intervalMs);
            if (next < now) next = now + std::chrono::milliseconds(options_.intervalMs);
            continue;
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        TakeInput(static_cast<int>(std::min<long long>(wait, 50)));
    }
}

}  // namespace vpisim
