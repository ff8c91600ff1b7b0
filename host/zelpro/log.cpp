// The host log behind err: one formatted line per call, kept by a capture when a test asks for
// it and shown through the sink when its level is shown.
#include <cstdarg>
#include <cstdio>

#include <zelpro/zelpro.h>

#include "state.hpp"

namespace zelpro {
namespace detail {
namespace {

bool IsShown(int level) {
    // The byte trace is far too chatty for a console unless asked for; everything else shows.
    return level != kLevelTrace || Runtime().log.showTrace.load(std::memory_order_relaxed);
}

// Set while this thread is inside the sink, so a sink that logs cannot deadlock on the output
// lock or recurse without end: its own lines go straight to standard error.
thread_local bool insideSink = false;

void WriteStandardError(int level, const char* text, std::size_t length) {
    // One call per line, so lines from several threads do not interleave within a line.
    std::fprintf(stderr, "[%d] %.*s\n", level, static_cast<int>(length), text);
}

void Show(int level, const char* text, std::size_t length) {
    LogState& log = Runtime().log;
    if (insideSink) {
        WriteStandardError(level, text, length);
        return;
    }
    std::lock_guard output(log.outputMutex);
    insideSink = true;
    bool shown = true;
    try {
        shown = log.sink.Call(level, std::string(text, length));
    } catch (...) {
        // No memory for the line: nothing to be done within a C call.
    }
    insideSink = false;
    if (!shown) WriteStandardError(level, text, length);
}

void Capture(int level, const char* text, std::size_t length) {
    LogState& log = Runtime().log;
    if (!log.capturing.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard lock(log.captureMutex);
    if (log.capturing.load(std::memory_order_relaxed)) {
        log.captured.push_back(LogLine{level, std::string(text, length)});
    }
}

}  // namespace

void ResetLog() {
    LogState& log = Runtime().log;
    log.showTrace.store(false);
    {
        std::lock_guard lock(log.captureMutex);
        log.capturing.store(false);
        log.captured.clear();
    }
    log.sink.Set({});
}

}  // namespace detail

using detail::LogState;
using detail::Runtime;

void ShowTrace(bool show) { Runtime().log.showTrace.store(show); }

void detail::InstallLogSink(LogSink sink) { Runtime().log.sink.Set(std::move(sink)); }

void StartCapture() {
    LogState& log = Runtime().log;
    std::lock_guard lock(log.captureMutex);
    log.captured.clear();
    log.capturing.store(true, std::memory_order_release);
}

std::vector<LogLine> TakeCapture() {
    LogState& log = Runtime().log;
    std::lock_guard lock(log.captureMutex);
    log.capturing.store(false);
    std::vector<LogLine> lines;
    lines.swap(log.captured);
    return lines;
}

std::vector<LogLine> PeekCapture() {
    LogState& log = Runtime().log;
    std::lock_guard lock(log.captureMutex);
    return log.captured;
}

}  // namespace zelpro

extern "C" ZEL_API int err(int level, const char* format, ...) {
    if (format == nullptr) {
        return -1;
    }
    // A line nobody will see or keep is not formatted at all: the byte trace comes once per
    // received byte and would otherwise cost more than everything else on the report's path.
    const bool shown = zelpro::detail::IsShown(level);
    if (!shown && !zelpro::detail::Runtime().log.capturing.load(std::memory_order_relaxed)) {
        return 0;
    }
    // A fixed buffer: a line longer than it is cut, never written past.
    char text[zelpro::detail::kLogLineCapacity];
    va_list arguments;
    va_start(arguments, format);
    const int formatted = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (formatted < 0) {
        return -1;
    }
    const std::size_t length =
        static_cast<std::size_t>(formatted) < sizeof text ? static_cast<std::size_t>(formatted)
                                                          : sizeof text - 1;
    zelpro::detail::Capture(level, text, length);
    if (shown) {
        zelpro::detail::Show(level, text, length);
    }
    return static_cast<int>(length);
}
