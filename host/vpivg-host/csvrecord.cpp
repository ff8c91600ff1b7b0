#include "csvrecord.hpp"

namespace vpihost {

bool CsvRecord::Open(const std::string& path, bool overwrite, std::string* why) {
    std::lock_guard lock(mutex_);
    if (!file_.Open(path, overwrite)) {
        *why = file_.Error();
        return false;
    }
    pending_ = "time,vpi,address,value\n";
    open_ = true;
    return true;
}

void CsvRecord::Add(const std::string& row) {
    std::lock_guard lock(mutex_);
    if (!file_.IsOpen()) return;
    pending_ += row;
    pending_ += '\n';
}

bool CsvRecord::WriteLocked() {
    if (pending_.empty() || !file_.IsOpen()) return !file_.Failed();
    bool ok = file_.Write(pending_);
    pending_.clear();
    return ok;
}

bool CsvRecord::Flush() {
    std::lock_guard lock(mutex_);
    return WriteLocked();
}

std::optional<std::string> CsvRecord::TakeFailure() {
    std::lock_guard lock(mutex_);
    if (!file_.Failed() || reported_) return std::nullopt;
    reported_ = true;
    return file_.Error() + "; the record ends at its last whole row";
}

void CsvRecord::Close() {
    std::lock_guard lock(mutex_);
    WriteLocked();
    file_.Close();
    open_ = false;
}

}  // namespace vpihost
