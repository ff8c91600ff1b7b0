#include "simcore.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <cstdio>
#include <sstream>

namespace vpisim {

namespace {

// Dry air by volume, in percent, and how many decimals the instrument prints for each. The
// decimals keep every value at five or six significant digits, so a float holds the printed
// value exactly enough that two different texts never collapse into one float.
struct Gas {
    const char* name;
    double percent;
    int decimals;
};
constexpr Gas kGases[] = {
    {"N2", 78.0840, 4},   {"O2", 20.9460, 4},   {"Ar", 0.93400, 5},   {"CO2", 0.04150, 5},
    {"Ne", 0.001818, 6},  {"He", 0.000524, 6},  {"CH4", 0.000190, 6}, {"Kr", 0.000114, 6},
    {"H2", 0.0000550, 7}, {"N2O", 0.0000330, 7}, {"CO", 0.0000100, 7}, {"Xe", 0.0000087, 8},
};
constexpr int kFirstParameter = 5;
constexpr int kGasCount = static_cast<int>(sizeof kGases / sizeof kGases[0]);

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

constexpr std::string_view kPoll = "@;390\n\r";

}  // namespace

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::None: return "none";
        case Fault::Noise: return "noise";
        case Fault::Cut: return "cut";
        case Fault::Reversed: return "reversed";
        case Fault::Malformed: return "malformed";
        case Fault::Overlong: return "overlong";
    }
    return "?";
}

std::optional<Fault> FaultFromName(std::string_view name) {
    for (Fault f : {Fault::None, Fault::Noise, Fault::Cut, Fault::Reversed, Fault::Malformed,
                    Fault::Overlong}) {
        if (name == FaultName(f)) return f;
    }
    return std::nullopt;
}

std::string ParameterName(int parameter) {
    int index = parameter - kFirstParameter;
    if (index >= 0 && index < kGasCount) return kGases[index].name;
    return "m/z " + std::to_string(parameter);
}

std::string SentReport::LogLine() const {
    std::ostringstream line;
    line << "seq=" << sequence << " stream=" << (stream < 10 ? "0" : "") << stream
         << " fault=" << FaultName(fault) << (polled ? " polled" : "") << " 01=" << value01
         << " 02=" << value02 << " 03=" << value03;
    for (const auto& [number, text] : parameters) {
        line << ' ' << (number < 10 ? "0" : "") << number << '=' << text;
    }
    return line.str();
}

StreamValues::StreamValues(int stream, int lastParameter, std::uint32_t seed)
    : lastParameter_(lastParameter),
      random_(seed ^ (static_cast<std::uint32_t>(stream) * 2654435761u)) {
    for (int p = kFirstParameter; p <= lastParameter; ++p) {
        int index = p - kFirstParameter;
        Channel c{};
        if (index < kGasCount) {
            c.base = kGases[index].percent;
            c.decimals = kGases[index].decimals;
        } else {
            // Channels past the gas table: ion currents in arbitrary units around 1, printed
            // short so that a report of all 95 parameters still fits the receiver's 1001
            // characters.
            c.base = 0.5 + 0.1 * (p % 13);
            c.decimals = 3;
        }
        // Streams sample different points of the plant, so their levels differ a little.
        c.base *= 1.0 + 0.01 * ((stream * 7 + p) % 5 - 2);
        c.value = c.base;
        channels_.push_back(c);
    }
}

std::map<int, std::string> StreamValues::Next() {
    std::map<int, std::string> texts;
    std::normal_distribution<double> step(0.0, 0.002);
    std::uniform_int_distribution<int> coin(0, 1);
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        Channel& c = channels_[i];
        c.value += c.base * step(random_);
        c.value = std::clamp(c.value, c.base * 0.97, c.base * 1.03);
        double unit = std::pow(10.0, -c.decimals);
        std::string text = Fixed(std::max(c.value, unit), c.decimals);
        if (text == c.lastText) {
            // Never the same text twice in a row: every report moves every gate.
            double nudged = std::round(c.value / unit) * unit + (coin(random_) ? unit : -unit);
            if (nudged < unit) nudged = 2 * unit;
            c.value = nudged;
            text = Fixed(nudged, c.decimals);
        }
        c.lastText = text;
        texts[kFirstParameter + static_cast<int>(i)] = text;
    }
    return texts;
}

std::string FormatReport(int header, const SentReport& report) {
    char head[96];
    std::snprintf(head, sizeof head, "a;%d;01;%02d;02;%02d;03;%ld;04;%02d", header,
                  report.value01 % 100, report.value02 % 100, report.value03 % 10000000L,
                  report.stream % 100);
    std::string text = head;
    for (const auto& [number, value] : report.parameters) {
        char tag[8];
        std::snprintf(tag, sizeof tag, ";%02d;", number);
        text += tag;
        text += value;
    }
    return text;
}

// ---------------------------------------------------------------------------------------------

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
    thread_ = std::thread([this] { Run(stop_); });
}

void Simulator::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
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

// ---------------------------------------------------------------------------------------------

std::string FormatCaptureChunk(const CaptureChunk& chunk) {
    static const char* kHex = "0123456789abcdef";
    std::string line = std::to_string(chunk.offsetMs);
    line += ' ';
    for (unsigned char c : chunk.bytes) {
        line += kHex[c >> 4];
        line += kHex[c & 15];
    }
    return line;
}

namespace {
constexpr std::string_view kHeaderStart = "# vpivg-sim capture ";
constexpr std::string_view kEndLine = "# end bytes=";

// The value of "key=" in a header line: up to the next " key=" or the end.
std::string HeaderField(std::string_view line, std::string_view key,
                        std::initializer_list<std::string_view> keys) {
    std::size_t at = line.find(" " + std::string(key) + "=");
    if (at == std::string_view::npos) return {};
    at += key.size() + 2;
    std::size_t end = line.size();
    for (std::string_view other : keys) {
        std::size_t next = line.find(" " + std::string(other) + "=", at);
        if (next != std::string_view::npos) end = std::min(end, next);
    }
    return std::string(line.substr(at, end - at));
}
}  // namespace

std::string FormatCaptureHeader(const CaptureHeader& header) {
    return std::string(kHeaderStart) + "start=" + header.start + " port=" + header.port +
           " device=" + header.device + " line=" + header.line +
           "\n# <ms offset> <hex bytes>\n";
}

std::optional<CaptureHeader> ParseCaptureHeader(std::string_view text) {
    std::string_view first = text.substr(0, text.find('\n'));
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    if (first.rfind(kHeaderStart, 0) != 0) return std::nullopt;
    // The port and device may hold spaces (a Linux path can); the keys cannot.
    const std::string_view line = first.substr(kHeaderStart.size() - 1);
    const auto keys = {std::string_view("start"), std::string_view("port"),
                       std::string_view("device"), std::string_view("line")};
    CaptureHeader header;
    header.start = HeaderField(line, "start", keys);
    header.port = HeaderField(line, "port", keys);
    header.device = HeaderField(line, "device", keys);
    header.line = HeaderField(line, "line", keys);
    if (header.start.empty() || header.port.empty()) return std::nullopt;
    return header;
}

std::string FormatCaptureEnd(std::uint64_t bytes) {
    return std::string(kEndLine) + std::to_string(bytes) + "\n";
}

bool CaptureHasEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::size_t start = text.rfind('\n');
    std::string_view last = text.substr(start == std::string_view::npos ? 0 : start + 1);
    return last.rfind(kEndLine, 0) == 0;
}

bool ParseCapture(std::string_view text, std::vector<CaptureChunk>* chunks, std::string* why) {
    chunks->clear();
    int lineNumber = 0;
    std::uint64_t previous = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        line.remove_prefix(first);
        auto fail = [&](const std::string& what) {
            if (why) *why = "line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        std::size_t space = line.find_first_of(" \t");
        std::string_view offsetText = line.substr(0, space);
        std::uint64_t offset = 0;
        if (offsetText.empty() || offsetText.size() > 12) return fail("bad time offset");
        for (char c : offsetText) {
            if (c < '0' || c > '9') return fail("time offset is not a number of milliseconds");
            offset = offset * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (offset < previous) return fail("time offsets must not go backwards");
        previous = offset;
        std::string bytes;
        std::string_view hex = space == std::string_view::npos ? "" : line.substr(space);
        int nibbles = 0;
        int current = 0;
        for (char c : hex) {
            if (c == ' ' || c == '\t') continue;
            int v;
            if (c >= '0' && c <= '9') v = c - '0';
            else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
            else return fail(std::string("not a hex digit: '") + c + "'");
            current = current * 16 + v;
            if (++nibbles % 2 == 0) {
                bytes += static_cast<char>(current);
                current = 0;
            }
        }
        if (nibbles % 2) return fail("odd number of hex digits");
        chunks->push_back({offset, std::move(bytes)});
    }
    return true;
}

bool ReplayCapture(SimLine& line, const std::vector<CaptureChunk>& chunks,
                   const std::atomic<bool>& stop, double speed) {
    using Clock = std::chrono::steady_clock;
    if (speed <= 0) speed = 1.0;
    auto start = Clock::now();
    for (const CaptureChunk& chunk : chunks) {
        auto due = start + std::chrono::microseconds(
                               static_cast<long long>(chunk.offsetMs * 1000.0 / speed));
        while (Clock::now() < due) {
            if (stop) return false;
            auto left = due - Clock::now();
            std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(20)));
        }
        if (stop) return false;
        if (!line.Write(chunk.bytes)) return false;
    }
    return true;
}

bool ParseNumberList(std::string_view text, int low, int high, std::vector<int>* numbers,
                     std::string* why) {
    numbers->clear();
    auto fail = [&](const std::string& what) {
        if (why) *why = what;
        return false;
    };
    auto number = [&](std::string_view part, int* out) {
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
        if (part.empty() || part.size() > 6) return false;
        int v = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        *out = v;
        return true;
    };
    if (text.find_first_not_of(" \t") == std::string_view::npos) return fail("empty list");
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        std::size_t dash = item.find('-');
        int first, last;
        if (dash == std::string_view::npos) {
            if (!number(item, &first)) return fail("'" + std::string(item) + "' is not a number");
            last = first;
        } else {
            if (!number(item.substr(0, dash), &first) || !number(item.substr(dash + 1), &last)) {
                return fail("'" + std::string(item) + "' is not a range like 1-3");
            }
            if (last < first) return fail("range '" + std::string(item) + "' runs backwards");
        }
        if (first < low || last > high) {
            return fail(std::to_string(first == last ? first : (first < low ? first : last)) +
                        " is outside " + std::to_string(low) + ".." + std::to_string(high));
        }
        for (int v = first; v <= last; ++v) numbers->push_back(v);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    std::sort(numbers->begin(), numbers->end());
    numbers->erase(std::unique(numbers->begin(), numbers->end()), numbers->end());
    return true;
}

}  // namespace vpisim
