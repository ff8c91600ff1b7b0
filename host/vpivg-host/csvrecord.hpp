// The CSV record of gate values. Rows are collected as they come (any thread) and written in
// one piece per flush; a failed write cuts the file back to its last whole row, so what is left
// reads as complete rows only, and nothing more is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

namespace vpihost {

class CsvRecord {
public:
    CsvRecord() = default;
    ~CsvRecord();
    CsvRecord(const CsvRecord&) = delete;
    CsvRecord& operator=(const CsvRecord&) = delete;

    // Creates the file with its header row. An existing file is kept unless `overwrite`.
    // False with the file and the reason in `why`.
    bool Open(const std::string& path, bool overwrite, std::string* why);
    bool IsOpen() const;
    void Add(std::string row);  // without its line end
    // Writes what was added. False once a write failed; the failure is given out once.
    bool Flush();
    std::optional<std::string> TakeFailure();
    bool Failed() const;
    void Close();

private:
    bool WriteLocked(const std::string& bytes);

    mutable std::mutex mutex_;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::string pending_;
    std::uint64_t committed_ = 0;  // bytes of whole rows known to be in the file
    bool failed_ = false;
    std::optional<std::string> failure_;
};

}  // namespace vpihost
