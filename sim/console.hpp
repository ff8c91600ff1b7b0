// What vpivg-sim tells the person running it: timestamped lines on stdout, errors on stderr,
// and all of both in the log file when there is one. Every write is checked; a failure is said
// once on stderr and remembered for the exit status.
#pragma once

#include <mutex>
#include <string>

#include "output_file.hpp"

namespace vpisim {

class Console {
public:
    explicit Console(bool quiet) : quiet_(quiet) {}

    // Adds every line from now on to `path` (appended; a log runs on across runs).
    bool OpenLog(const std::string& path);
    // "2026-12-08T14:03:07.123Z text" on stdout (unless quiet) and in the log, in UTC like the
    // host's log.
    void Say(const std::string& text);
    // "vpivg-sim: text" on stderr, and with its time in the log.
    void Complain(const std::string& text);
    // Closes the log, checking its last write.
    void Close();
    // False once a write to stdout or the log failed.
    bool Ok() const;

private:
    void ToLog(const std::string& line);
    void Stream(std::FILE* stream, const char* what, const std::string& text);

    bool quiet_;
    mutable std::mutex mutex_;
    vpitools::OutputFile log_;
    bool failed_ = false;
    bool stdoutFailed_ = false;
};

}  // namespace vpisim
