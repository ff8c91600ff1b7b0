#include "console.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.hpp"
#include "ports.hpp"
#include "stop_signal.hpp"

namespace vpisim {

bool Console::OpenLog(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (log_.Append(path)) return true;
    failed_ = true;
    std::fprintf(stderr, "vpivg-sim: %s\n", log_.Error().c_str());
    return false;
}

void Console::ToLog(const std::string& line) {
    if (!log_.IsOpen()) return;
    if (!log_.Write(line + "\n")) {
        failed_ = true;
        std::fprintf(stderr, "vpivg-sim: %s; the log stops here\n", log_.Error().c_str());
    }
}

void Console::Stream(std::FILE* stream, const char* what, const std::string& text) {
    vpitools::ClearOsError();
    if (std::fputs(text.c_str(), stream) >= 0 && std::fflush(stream) == 0) return;
    const unsigned long error = vpitools::LastOsError();
    if (stream == stdout) {
        // Said once; the run goes on, the exit status tells. But when whoever read the output
        // has gone (`| head`), nobody will see the run: it ends in order, its capture whole.
        if (!stdoutFailed_) {
            std::fprintf(stderr, "vpivg-sim: cannot write to %s: %s%s\n", what,
                         vpitools::OsErrorText(error).c_str(),
                         error == EPIPE ? "; stopping" : "");
        }
        stdoutFailed_ = true;
        if (error == EPIPE) vpitools::RequestStop();
    }
    failed_ = true;
}

void Console::Say(const std::string& text) {
    const std::string line = vpitools::IsoTimestamp() + " " + text;
    std::lock_guard lock(mutex_);
    if (!quiet_ && !stdoutFailed_) Stream(stdout, "standard output", line + "\n");
    ToLog(line);
}

void Console::Complain(const std::string& text) {
    const std::string stamp = vpitools::IsoTimestamp();
    std::lock_guard lock(mutex_);
    Stream(stderr, "standard error", "vpivg-sim: " + text + "\n");
    ToLog(stamp + " error: " + text);
}

void Console::Close() {
    std::lock_guard lock(mutex_);
    const bool wasOpen = log_.IsOpen();
    if (!log_.Close() && wasOpen && !failed_) {
        std::fprintf(stderr, "vpivg-sim: %s\n", log_.Error().c_str());
    }
    if (log_.Failed()) failed_ = true;
}

bool Console::Ok() const {
    std::lock_guard lock(mutex_);
    return !failed_;
}

}  // namespace vpisim
