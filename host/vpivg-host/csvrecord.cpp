#include "csvrecord.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace vpihost {

namespace {

std::string Reason(int error) { return std::strerror(error); }

}  // namespace

CsvRecord::~CsvRecord() { Close(); }

bool CsvRecord::Open(const std::string& path, bool overwrite, std::string* why) {
    std::lock_guard lock(mutex_);
    // A record of an earlier run is never lost to a repeated command.
    std::error_code ignored;
    if (!overwrite && std::filesystem::exists(path, ignored)) {
        *why = path + " exists; give --overwrite to replace it, or another --csv file";
        return false;
    }
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        *why = "cannot write " + path + ": " + Reason(errno);
        return false;
    }
    path_ = path;
    committed_ = 0;
    failed_ = false;
    pending_ = "time,vpi,address,value\n";
    return true;
}

bool CsvRecord::IsOpen() const {
    std::lock_guard lock(mutex_);
    return file_ != nullptr;
}

void CsvRecord::Add(std::string row) {
    std::lock_guard lock(mutex_);
    if (!file_ || failed_) return;
    pending_ += row;
    pending_ += '\n';
}

bool CsvRecord::WriteLocked(const std::string& bytes) {
    if (bytes.empty()) return true;
    errno = 0;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() && std::fflush(file_) == 0;
#if !defined(_WIN32)
    // Some file systems report a full disk only when the data leave the page cache.
    ok = ok && ::fdatasync(fileno(file_)) == 0;
#endif
    if (ok) {
        committed_ += bytes.size();
        return true;
    }
    int error = errno ? errno : EIO;
    failed_ = true;
    failure_ = "cannot write " + path_ + ": " + Reason(error) + "; the record stops here, after its last whole row";
    std::fclose(file_);
    file_ = nullptr;
    // Cut the partial row away, so no half-written line looks like a value.
    std::error_code ignored;
    std::filesystem::resize_file(path_, committed_, ignored);
    return false;
}

bool CsvRecord::Flush() {
    std::lock_guard lock(mutex_);
    if (failed_) return false;
    if (!file_) return true;
    std::string bytes;
    bytes.swap(pending_);
    return WriteLocked(bytes);
}

std::optional<std::string> CsvRecord::TakeFailure() {
    std::lock_guard lock(mutex_);
    std::optional<std::string> failure;
    failure.swap(failure_);
    return failure;
}

bool CsvRecord::Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

void CsvRecord::Close() {
    bool flushed = Flush();
    std::lock_guard lock(mutex_);
    if (!file_) return;
    if (flushed && std::fclose(file_) != 0 && !failed_) {
        failed_ = true;
        failure_ = "cannot write " + path_ + ": " + Reason(errno);
    }
    file_ = nullptr;
}

}  // namespace vpihost
