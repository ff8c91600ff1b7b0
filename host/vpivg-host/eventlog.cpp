#include "eventlog.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string_view>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "formatting.hpp"

namespace vpihost {

namespace {

// Enough for the tallest terminal; older lines live on in the log file.
constexpr std::size_t kPaneLinesKept = 200;

const char* const kDumpStart = "***** Start Printing Received Data *****";
const char* const kDumpEnd = "***** End Of Received Data Buffer *****";
const char* const kTraceHeading = "VPIVG: The following data Data Receieved for VPI %d";

// One byte of the driver's dump, "Buf[12] = 3f(h)"; nullopt for any other text.
std::optional<unsigned char> DumpByte(std::string_view text) {
    constexpr std::string_view kHead = "Buf[", kMiddle = "] = ", kTail = "(h)";
    if (text.substr(0, kHead.size()) != kHead) return std::nullopt;
    text.remove_prefix(kHead.size());
    const std::size_t middle = text.find(kMiddle);
    if (middle == std::string_view::npos || text.size() < middle + kMiddle.size() + kTail.size() ||
        text.substr(text.size() - kTail.size()) != kTail) {
        return std::nullopt;
    }
    unsigned index = 0, value = 0;
    const char* indexEnd = text.data() + middle;
    const char* valueBegin = indexEnd + kMiddle.size();
    const char* valueEnd = text.data() + text.size() - kTail.size();
    auto [i, indexError] = std::from_chars(text.data(), indexEnd, index);
    auto [v, valueError] = std::from_chars(valueBegin, valueEnd, value, 16);
    if (indexError != std::errc() || i != indexEnd || valueError != std::errc() || v != valueEnd) {
        return std::nullopt;
    }
    return static_cast<unsigned char>(value & 0xFF);
}

}  // namespace

EventLog::EventLog(bool plain) : plain_(plain) {}

EventLog::~EventLog() { CloseFile(); }

bool EventLog::OpenFile(const std::string& path, int sizeKb, std::string* why) {
    try {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            path, static_cast<std::size_t>(sizeKb) * 1024, kLogFilesKept - 1);
        auto logger = std::make_shared<spdlog::logger>("vpivg-host", sink);
        // The CSV's clock: the system clock in UTC, to the millisecond.
        logger->set_pattern("%Y-%m-%dT%H:%M:%S.%eZ %v", spdlog::pattern_time_type::utc);
        logger->set_level(spdlog::level::trace);
        // Every line reaches the file at once: a crash or a full disk must not swallow the
        // last messages, which are the ones that explain it.
        logger->flush_on(spdlog::level::trace);
        logger->set_error_handler([this, path](const std::string& message) {
            // Called with mutex_ held (from Add): note it, stop using the file.
            if (!fileFailed_) failure_ = "cannot write " + path + ": " + message;
            fileFailed_ = true;
        });
        std::lock_guard lock(mutex_);
        file_ = std::move(logger);
        filePath_ = path;
        fileFailed_ = false;
        return true;
    } catch (const spdlog::spdlog_ex& e) {
        *why = "cannot write " + path + ": " + e.what();
        return false;
    }
}

void EventLog::CloseFile() {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    if (!fileFailed_) file_->flush();
    file_.reset();
}

void EventLog::Add(const std::string& screenLine, const std::string& fileLine) {
    std::lock_guard lock(mutex_);
    pane_.push_back(screenLine);
    while (pane_.size() > kPaneLinesKept) pane_.pop_front();
    if (plain_) pendingPlain_.push_back(screenLine);
    if (file_ && !fileFailed_) file_->info(fileLine);
}

void EventLog::Host(const std::string& text) {
    Add(TimeOfDay(std::chrono::system_clock::now()) + " host: " + text, "host: " + text);
}

void EventLog::Driver(int level, const std::string& text) {
    if (text.empty()) return;  // the dump's framing blank lines
    std::string line;
    {
        std::lock_guard lock(mutex_);
        Dump& dump = dumps_[std::this_thread::get_id()];
        int vpi = 0;
        if (std::sscanf(text.c_str(), kTraceHeading, &vpi) == 1) {
            dump.vpi = vpi;
            return;
        }
        if (text == kDumpStart) {
            dump.open = true;
            dump.bytes.clear();
            return;
        }
        if (auto byte = dump.open ? DumpByte(text) : std::nullopt) {
            dump.bytes += static_cast<char>(*byte);
            return;
        }
        if (dump.open && text == kDumpEnd) {
            line = (dump.vpi ? "VPI " + std::to_string(dump.vpi) + " " : std::string()) + "received " +
                   std::to_string(dump.bytes.size()) + " bytes: " + EscapeBytes(dump.bytes);
            dumps_.erase(std::this_thread::get_id());
        } else {
            line = text;
        }
    }
    std::string tagged = "[" + std::to_string(level) + "] " + line;
    Add(TimeOfDay(std::chrono::system_clock::now()) + " " + tagged, tagged);
}

std::vector<std::string> EventLog::Pane(std::size_t rows) const {
    std::lock_guard lock(mutex_);
    std::size_t first = pane_.size() > rows ? pane_.size() - rows : 0;
    return std::vector<std::string>(pane_.begin() + static_cast<std::ptrdiff_t>(first), pane_.end());
}

std::vector<std::string> EventLog::TakePlain() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    lines.swap(pendingPlain_);
    return lines;
}

std::optional<std::string> EventLog::TakeFailure() {
    std::lock_guard lock(mutex_);
    std::optional<std::string> failure;
    failure.swap(failure_);
    return failure;
}

bool EventLog::FileFailed() const {
    std::lock_guard lock(mutex_);
    return fileFailed_;
}

}  // namespace vpihost
