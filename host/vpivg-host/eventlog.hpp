// Everything the driver says and everything the host does: kept for the screen's log pane, the
// plain output, and the log file (with date and milliseconds, size-limited with rotation).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace spdlog {
class logger;
}

namespace vpihost {

constexpr int kLogFilesKept = 3;  // the current log and two rotated ones

class EventLog {
public:
    // `plain`: every line is also kept for the plain output (TakePlain).
    explicit EventLog(bool plain);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Starts the log file; rotates to path.1, path.2 once it holds `sizeKb`. False with the
    // file and the OS reason in `why`.
    bool OpenFile(const std::string& path, int sizeKb, std::string* why);
    // Writes what is buffered and closes the file. Nothing more is written to it.
    void CloseFile();

    void Host(const std::string& text);               // a host event
    void Driver(int level, const std::string& text);  // the driver's err lines, any thread

    std::vector<std::string> Pane(std::size_t rows) const;  // the last `rows` lines
    std::vector<std::string> TakePlain();
    // The log file's write failure ("cannot write FILE: reason"), given out once.
    std::optional<std::string> TakeFailure();
    bool FileFailed() const;

private:
    // A received-data dump arrives one byte per line; it is assembled into one line per report.
    struct Dump {
        int vpi = 0;           // from the trace's heading line; 0: not told
        bool open = false;
        std::string bytes;
    };
    void Add(const std::string& screenLine, const std::string& fileLine);

    bool plain_;
    mutable std::mutex mutex_;
    std::deque<std::string> pane_;
    std::vector<std::string> pendingPlain_;
    std::map<std::thread::id, Dump> dumps_;
    std::shared_ptr<spdlog::logger> file_;
    std::string filePath_;
    bool fileFailed_ = false;
    std::optional<std::string> failure_;
};

}  // namespace vpihost
