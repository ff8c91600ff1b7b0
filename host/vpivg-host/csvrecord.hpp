// The CSV record of gate values. Rows come from the driver's threads as values are written and
// are handed to the file in one write per flush, whole rows only; a failed write leaves the
// file cut back to its last whole row (see OutputFile), and nothing more is written.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "output_file.hpp"

namespace vpihost {

class CsvRecord {
public:
    // Creates the file with its header row. An existing file is kept unless `overwrite`.
    // False with the file and the reason in `why`.
    bool Open(const std::string& path, bool overwrite, std::string* why);
    void Add(const std::string& row);  // without its line end; any thread
    // Whether a file is open, without the lock: a caller builds no row that would go nowhere.
    bool Recording() const { return open_.load(std::memory_order_relaxed); }
    // Writes what was added. False once a write failed; the failure is given out once.
    bool Flush();
    std::optional<std::string> TakeFailure();
    void Close();

private:
    bool WriteLocked();

    std::mutex mutex_;
    vpitools::OutputFile file_;
    std::string pending_;
    bool reported_ = false;
    std::atomic<bool> open_{false};
};

}  // namespace vpihost
