#include "store.hpp"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

namespace gateway {

namespace {

// A statement's bound values and step state go back to fresh on every path out.
class Reset {
public:
    explicit Reset(sqlite3_stmt* statement) : statement_(statement) {}
    ~Reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    Reset(const Reset&) = delete;
    Reset& operator=(const Reset&) = delete;

private:
    sqlite3_stmt* statement_;
};

// What a row takes beside its values, at most: its cell pointer and header, the id, VPI, stream
// and time.
constexpr std::uint64_t kRowOverhead = 40;

bool IsDamage(int code) {
    int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

void PutVarint(std::string* out, std::uint64_t v) {
    while (v >= 0x80) {
        out->push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<char>(v));
}

bool GetVarint(const std::string& in, std::size_t* at, std::uint64_t* v) {
    *v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (*at >= in.size()) return false;
        auto byte = static_cast<unsigned char>(in[(*at)++]);
        *v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

std::uint64_t ZigZag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ (std::uint64_t{0} - (static_cast<std::uint64_t>(v) >> 63));
}

std::int64_t UnZigZag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string UtcStamp() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// The damaged file and its WAL and shared-memory files go under a new name together: a WAL
// left behind would be read into the new store started at the old name.
bool MoveAside(const std::string& path, std::string* movedTo, std::string* error) {
    std::string base = path + ".corrupt-" + UtcStamp();
    std::string target = base;
    for (int n = 2; Exists(target) || Exists(target + "-wal") || Exists(target + "-shm"); ++n) {
        target = base + "-" + std::to_string(n);
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string from = path + suffix;
        if (!Exists(from)) continue;
        if (std::rename(from.c_str(), (target + suffix).c_str()) != 0) {
            *error = "store " + path + ": damaged, and it cannot be moved aside to " + target + suffix + ": " +
                     std::strerror(errno);
            return false;
        }
    }
    *movedTo = target;
    return true;
}

// Checked before SQLite reads the file: once it has, it treats a WAL beside a file that is no
// database as empty and cuts it to nothing, and the WAL may be all that is left of the reports.
bool HasDatabaseHeader(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return true;  // nothing to lose; opening it says what is wrong
    char header[16] = {};
    std::size_t got = std::fread(header, 1, sizeof header, file);
    std::fclose(file);
    return got == 0 || (got == sizeof header && std::memcmp(header, "SQLite format 3", 16) == 0);
}

// Why the OS will not let the store be written at `path`: SQLite's own errno is of its last
// attempt (after a refused read-write open it tries read-only), so ask again.
std::string WriteRefusal(const std::string& path) {
    if (access(path.c_str(), F_OK) == 0) {
        if (access(path.c_str(), R_OK | W_OK) != 0) return std::strerror(errno);
        return {};
    }
    auto slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) != 0) return "folder " + folder + ": " + std::strerror(errno);
    return {};
}

}  // namespace

void Dropped::Add(const Dropped& more) {
    if (more.count == 0) return;
    if (count == 0) {
        span = more.span;
    } else {
        span.firstMs = std::min(span.firstMs, more.span.firstMs);
        span.lastMs = std::max(span.lastMs, more.span.lastMs);
    }
    count += more.count;
}

std::string EncodeValues(const Report& report) {
    std::string out;
    out.reserve(report.values.size() * 11);
    for (const ReportValue& v : report.values) {
        PutVarint(&out, static_cast<std::uint64_t>(v.param));
        std::uint64_t bits = 0;
        static_assert(sizeof bits == sizeof v.value);
        std::memcpy(&bits, &v.value, sizeof bits);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(bits >> (8 * i)));
        PutVarint(&out, ZigZag(v.timeMs - report.timeMs));
    }
    return out;
}

bool DecodeValues(const std::string& blob, Report* report) {
    report->values.clear();
    std::size_t at = 0;
    while (at < blob.size()) {
        ReportValue v;
        std::uint64_t param = 0, offset = 0;
        if (!GetVarint(blob, &at, &param) || param < 1 || param > 99 || blob.size() - at < 8) return false;
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(static_cast<unsigned char>(blob[at + i])) << (8 * i);
        at += 8;
        if (!GetVarint(blob, &at, &offset)) return false;
        v.param = static_cast<int>(param);
        std::memcpy(&v.value, &bits, sizeof bits);
        v.timeMs = report->timeMs + UnZigZag(offset);
        report->values.push_back(v);
    }
    return true;
}

std::unique_ptr<Store> Store::Open(const std::string& path, std::uint64_t maxBytes, std::string* error,
                                   std::vector<std::string>* notices) {
    if (maxBytes < kMinBytes) {
        *error = "store " + path + ": a bound of " + std::to_string(maxBytes) + " bytes is too small (at least " +
                 std::to_string(kMinBytes) + ")";
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store(path, maxBytes));
    std::string why;
    Outcome outcome = store->Start(&why);
    if (outcome == Outcome::damaged) {
        store->Close();
        std::string movedTo;
        if (!MoveAside(path, &movedTo, error)) return nullptr;
        if (notices) {
            notices->push_back("store " + path + " was damaged (" + why + "); moved aside to " + movedTo +
                               ", a new store started");
        }
        outcome = store->Start(&why);
    }
    if (outcome != Outcome::ok) {
        store->Close();
        *error = why;
        return nullptr;
    }
    return store;
}

Store::~Store() { Close(); }

void Store::Close() {
    if (!toRemove_.empty()) {
        // Best effort: what is not written here is sent again after the next start.
        std::string ignored;
        WriteRemovalsAlone(&ignored);
    }
    for (sqlite3_stmt** s :
         {&begin_, &commit_, &insert_, &insertMany_, &read_, &removeRange_, &pageCount_, &freePages_, &keepLastId_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

std::string Store::Why(const std::string& what) const {
    std::string text = "store " + path_ + ": " + what;
    if (!db_) return text + ": out of memory";
    int code = sqlite3_extended_errcode(db_);
    text += std::string(": ") + sqlite3_errmsg(db_);
    // The OS's reason, where the failure came from a system call.
    int primary = code & 0xff;
    int sysErrno = sqlite3_system_errno(db_);
    if (sysErrno != 0 && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL ||
                          primary == SQLITE_READONLY || primary == SQLITE_PERM)) {
        text += std::string(" (") + std::strerror(sysErrno) + ")";
    } else if (primary == SQLITE_FULL) {
        // SQLite clears the errno of the short write it turns into SQLITE_FULL: it is ENOSPC.
        text += std::string(" (") + std::strerror(ENOSPC) + ")";
    }
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) text += " (another process has this store open)";
    return text;
}

bool Store::Exec(const char* sql, std::string* error) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    *error = Why(std::string("cannot run \"") + sql + "\"");
    return false;
}

// Steps a prepared statement that returns no rows, and leaves it fresh for the next time.
bool Store::Run(sqlite3_stmt* statement, const char* what, std::string* error) {
    Reset reset(statement);
    if (sqlite3_step(statement) == SQLITE_DONE) return true;
    *error = Why(what);
    return false;
}

Store::Outcome Store::Start(std::string* error) {
    // SQLite's count of its own memory takes a global lock on every allocation it makes, and
    // nothing here reads the count. Only possible before the library's first use in the process;
    // when too late the count simply stays on.
    static const int memoryCounted = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    (void)memoryCounted;
    if (!HasDatabaseHeader(path_)) {
        *error = "store " + path_ + ": not an SQLite database (its first bytes are not an SQLite header)";
        return Outcome::damaged;
    }
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (db_) sqlite3_extended_result_codes(db_, 1);
    if (rc != SQLITE_OK) {
        std::string refusal = WriteRefusal(path_);
        *error = refusal.empty() ? Why("cannot open") : "store " + path_ + ": cannot open to write: " + refusal;
        return Outcome::failed;
    }
    // SQLite falls back to reading only when it may not write; a store must be written.
    if (sqlite3_db_readonly(db_, "main") == 1) {
        std::string refusal = WriteRefusal(path_);
        *error = "store " + path_ + ": cannot open to write: " + (refusal.empty() ? "read-only" : refusal);
        return Outcome::failed;
    }
    // The gateway holds its store alone: a second one sending the same reports would double them.
    // With the exclusive lock, WAL needs no shared-memory file either.
    auto step = [&](const char* sql, const char* what, std::string* row) -> Outcome {
        sqlite3_stmt* statement = nullptr;
        int code = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
        if (code == SQLITE_OK) {
            code = sqlite3_step(statement);
            if (code == SQLITE_ROW && row) {
                auto text = sqlite3_column_text(statement, 0);
                *row = text ? reinterpret_cast<const char*>(text) : "";
            }
            if (code == SQLITE_ROW || code == SQLITE_DONE) code = SQLITE_OK;
        }
        if (code != SQLITE_OK) {
            // The step's error stays on the connection until the statement is finalized.
            *error = Why(what);
            sqlite3_finalize(statement);
            return IsDamage(code) ? Outcome::damaged : Outcome::failed;
        }
        sqlite3_finalize(statement);
        return Outcome::ok;
    };
    std::string mode, check;
    Outcome o = step("PRAGMA locking_mode=EXCLUSIVE", "cannot lock", nullptr);
    if (o == Outcome::ok) o = step("PRAGMA journal_mode=WAL", "cannot read", &mode);
    if (o != Outcome::ok) return o;
    if (mode != "wal") {
        *error = "store " + path_ + ": cannot switch to WAL mode (the journal mode stays '" + mode + "')";
        return Outcome::failed;
    }
    // NORMAL: a commit does not wait for the disk; Sync, which the forwarder calls once a second
    // while there is something new, syncs the WAL. A power loss so takes at most the last
    // second's reports, for one or two syncs a second instead of one per batch (FULL), which
    // under load cost more than the store's whole work besides. A kill -9 loses nothing
    // committed either way: the OS has it.
    if ((o = step("PRAGMA synchronous=NORMAL", "cannot set synchronous=NORMAL", nullptr)) != Outcome::ok) return o;
    // The WAL is cut back to 4 MB at each checkpoint instead of keeping its largest size.
    if ((o = step("PRAGMA journal_size_limit=4194304", "cannot limit the WAL", nullptr)) != Outcome::ok) return o;
    if ((o = step("PRAGMA quick_check(1)", "cannot check", &check)) != Outcome::ok) return o;
    if (check != "ok") {
        *error = "store " + path_ + ": quick check: " + check;
        return Outcome::damaged;
    }
    // The store gives the ids itself (one more than the last): AUTOINCREMENT would write its
    // sqlite_sequence page with every commit, half of what a commit puts in the log. A store
    // made with an AUTOINCREMENT table keeps it and is read and written the same way.
    const char* schema =
        "CREATE TABLE IF NOT EXISTS reports("
        " id INTEGER PRIMARY KEY, vpi INTEGER NOT NULL, stream INTEGER NOT NULL,"
        " time_ms INTEGER NOT NULL, vals BLOB NOT NULL);"
        "CREATE TABLE IF NOT EXISTS state(key TEXT PRIMARY KEY, value INTEGER NOT NULL);";
    int code = sqlite3_exec(db_, schema, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        *error = Why("cannot make its tables");
        return IsDamage(code) ? Outcome::damaged : Outcome::failed;
    }
    std::string pageSize, counted, last, sequenced;
    if ((o = step("PRAGMA page_size", "cannot read the page size", &pageSize)) != Outcome::ok) return o;
    if ((o = step("SELECT count(*) FROM reports", "cannot count", &counted)) != Outcome::ok) return o;
    // Ids are never given twice, even after everything was delivered and removed: the last one
    // given is kept beside the reports whenever the newest of them leaves (and, in a store with
    // an AUTOINCREMENT table, in its sqlite_sequence).
    if ((o = step("SELECT max(coalesce((SELECT max(id) FROM reports), 0),"
                  " coalesce((SELECT value FROM state WHERE key = 'last_id'), 0))",
                  "cannot read", &last)) != Outcome::ok) {
        return o;
    }
    if ((o = step("SELECT count(*) FROM sqlite_master WHERE name = 'sqlite_sequence'", "cannot read",
                  &sequenced)) != Outcome::ok) {
        return o;
    }
    lastId_ = std::stoll(last);
    if (sequenced != "0") {
        if ((o = step("SELECT coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'reports'), 0)", "cannot read",
                      &last)) != Outcome::ok) {
            return o;
        }
        lastId_ = std::max<ReportId>(lastId_, std::stoll(last));
    }
    pageSize_ = std::max<std::int64_t>(512, std::stoll(pageSize));
    pageLimit_ = static_cast<std::int64_t>(maxBytes_ / static_cast<std::uint64_t>(pageSize_));
    count_ = std::stoull(counted);
    return Prepare(error) ? Outcome::ok : Outcome::failed;
}

bool Store::Prepare(std::string* error) {
    std::string insertMany = "INSERT INTO reports(id, vpi, stream, time_ms, vals) VALUES (?, ?, ?, ?, ?)";
    for (std::size_t i = 1; i < kRowsPerInsert; ++i) insertMany += ", (?, ?, ?, ?, ?)";
    struct {
        sqlite3_stmt** statement;
        const char* sql;
    } const statements[] = {
        {&begin_, "BEGIN IMMEDIATE"},
        {&commit_, "COMMIT"},
        {&insert_, "INSERT INTO reports(id, vpi, stream, time_ms, vals) VALUES (?1, ?2, ?3, ?4, ?5)"},
        {&insertMany_, insertMany.c_str()},
        {&read_,
         "SELECT id, vpi, stream, time_ms, vals FROM reports WHERE id > ?1 AND id <= ?2 ORDER BY id LIMIT ?3"},
        {&removeRange_, "DELETE FROM reports WHERE id BETWEEN ?1 AND ?2"},
        {&pageCount_, "PRAGMA page_count"},
        {&freePages_, "PRAGMA freelist_count"},
        {&keepLastId_, "INSERT OR REPLACE INTO state(key, value) VALUES ('last_id', ?1)"},
    };
    for (const auto& s : statements) {
        if (sqlite3_prepare_v3(db_, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.statement, nullptr) != SQLITE_OK) {
            *error = Why("cannot prepare its statements");
            return false;
        }
    }
    return true;
}

bool Store::UsedPages(std::int64_t* pages, std::string* error) {
    std::int64_t counts[2] = {0, 0};
    sqlite3_stmt* const statements[2] = {pageCount_, freePages_};
    for (int i = 0; i < 2; ++i) {
        Reset reset(statements[i]);
        if (sqlite3_step(statements[i]) != SQLITE_ROW) {
            *error = Why("cannot measure its size");
            return false;
        }
        counts[i] = sqlite3_column_int64(statements[i], 0);
    }
    *pages = counts[0] - counts[1];
    return true;
}

// Inside the append's transaction: the oldest reports go, `chunk` at a time, until the pages in
// use fit the bound again. Freed pages are reused by later appends, so the file stops growing
// once it has reached the bound.
bool Store::DropOldestWhileFull(std::size_t chunk, std::string* error) {
    for (;;) {
        std::int64_t used = 0;
        if (!UsedPages(&used, error)) return false;
        pendingUsedPages_ = used;
        if (used <= pageLimit_) return true;
        sqlite3_stmt* oldest = nullptr;
        const char* sql =
            "SELECT count(*), min(time_ms), max(time_ms), max(id) FROM"
            " (SELECT id, time_ms FROM reports ORDER BY id LIMIT ?1)";
        if (sqlite3_prepare_v2(db_, sql, -1, &oldest, nullptr) != SQLITE_OK) {
            *error = Why("cannot find its oldest reports");
            return false;
        }
        sqlite3_bind_int64(oldest, 1, static_cast<std::int64_t>(chunk));
        if (sqlite3_step(oldest) != SQLITE_ROW) {
            *error = Why("cannot find its oldest reports");
            sqlite3_finalize(oldest);
            return false;
        }
        Dropped d;
        d.count = static_cast<std::uint64_t>(sqlite3_column_int64(oldest, 0));
        d.span = {sqlite3_column_int64(oldest, 1), sqlite3_column_int64(oldest, 2)};
        ReportId upTo = sqlite3_column_int64(oldest, 3);
        sqlite3_finalize(oldest);
        if (d.count == 0) return true;  // nothing left to drop
        Reset reset(removeRange_);
        sqlite3_bind_int64(removeRange_, 1, 0);
        sqlite3_bind_int64(removeRange_, 2, upTo);
        if (sqlite3_step(removeRange_) != SQLITE_DONE) {
            *error = Why("cannot drop its oldest reports");
            return false;
        }
        pendingDrop_.Add(d);
        pendingDropThrough_ = upTo;
    }
}

// Inside a transaction: the delivered reports go, one statement per run of consecutive ids.
// `removed` says how many rows went, for the count once the transaction commits.
bool Store::WriteRemovals(std::uint64_t* removed, std::string* error) {
    *removed = 0;
    for (std::size_t i = 0; i < toRemove_.size();) {
        std::size_t j = i;
        while (j + 1 < toRemove_.size() && toRemove_[j + 1] == toRemove_[j] + 1) ++j;
        Reset reset(removeRange_);
        sqlite3_bind_int64(removeRange_, 1, toRemove_[i]);
        sqlite3_bind_int64(removeRange_, 2, toRemove_[j]);
        if (sqlite3_step(removeRange_) != SQLITE_DONE) {
            *error = Why("cannot remove delivered reports");
            return false;
        }
        *removed += static_cast<std::uint64_t>(sqlite3_changes(db_));
        i = j + 1;
    }
    return true;
}

bool Store::KeepLastId(std::string* error) {
    Reset reset(keepLastId_);
    sqlite3_bind_int64(keepLastId_, 1, lastId_);
    if (sqlite3_step(keepLastId_) == SQLITE_DONE) return true;
    *error = Why("cannot keep its last id");
    return false;
}

// Runs `work` between BEGIN IMMEDIATE and COMMIT; when any of it fails, all of it is rolled back.
template <typename Work>
bool Store::InTransaction(Work&& work, std::string* error) {
    if (!Run(begin_, "cannot begin a transaction", error)) return false;
    bool ok = work(error) && Run(commit_, "cannot commit", error);
    // A failed COMMIT may have ended the transaction already; then this does nothing.
    if (!ok && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return ok;
}

// The removals in a transaction of their own, for when no append comes to carry them.
bool Store::WriteRemovalsAlone(std::string* error) {
    if (toRemove_.empty()) return true;
    std::uint64_t removed = 0;
    bool ok = InTransaction(
        [&](std::string* why) {
            // The newest report leaves: its id must not be given again after a restart.
            return WriteRemovals(&removed, why) && (toRemove_.back() != lastId_ || KeepLastId(why));
        },
        error);
    if (ok) Removed(removed);
    return ok;
}

void Store::Removed(std::uint64_t rows) {
    count_ -= std::min(count_, rows);
    toRemove_.clear();
}

bool Store::Append(const std::vector<Report>& reports, std::string* error, std::vector<ReportId>* ids) {
    if (ids) ids->clear();
    if (reports.empty()) return true;
    pendingDrop_ = Dropped{};
    pendingDropThrough_ = 0;
    std::uint64_t removed = 0;
    std::uint64_t bytes = 0;
    pendingUsedPages_ = -1;
    bool ok = InTransaction(
        [&](std::string* why) {
            // The removals first, so the bound below measures what is left after them.
            if (!WriteRemovals(&removed, why)) return false;
            ReportId id = lastId_;
            // Whole groups of kRowsPerInsert in one statement each, the rest one by one: a
            // statement's own work (its cursor, its checks) is then shared by a group.
            for (std::size_t at = 0; at < reports.size();) {
                const std::size_t rows = reports.size() - at >= kRowsPerInsert ? kRowsPerInsert : 1;
                sqlite3_stmt* insert = rows > 1 ? insertMany_ : insert_;
                Reset reset(insert);
                for (std::size_t i = 0; i < rows; ++i) {
                    const Report& r = reports[at + i];
                    blobs_[i] = EncodeValues(r);
                    const int first = static_cast<int>(i) * 5;
                    sqlite3_bind_int64(insert, first + 1, ++id);
                    sqlite3_bind_int(insert, first + 2, r.vpi);
                    sqlite3_bind_int(insert, first + 3, r.stream);
                    sqlite3_bind_int64(insert, first + 4, r.timeMs);
                    sqlite3_bind_blob(insert, first + 5, blobs_[i].data(), static_cast<int>(blobs_[i].size()),
                                      SQLITE_STATIC);
                    bytes += blobs_[i].size() + kRowOverhead;
                }
                if (sqlite3_step(insert) != SQLITE_DONE) {
                    *why = Why("cannot store a report");
                    return false;
                }
                at += rows;
            }
            // Measuring the file is two statements of every commit's few; it is left out while
            // the pages written since the last measurement, counted twice over, cannot reach the
            // bound yet.
            if (usedPages_ >= 0 &&
                usedPages_ + static_cast<std::int64_t>(2 * (bytesSinceMeasured_ + bytes)) / pageSize_ + 2 < pageLimit_) {
                return true;
            }
            // A few percent at a time, measured again after each: a batch larger than what the
            // bound leaves room for then loses its own oldest reports, not all of them.
            return DropOldestWhileFull(std::max<std::size_t>(16, (count_ + reports.size()) / 32), why);
        },
        error);
    if (!ok) return false;
    Removed(removed);
    if (pendingUsedPages_ >= 0) {
        usedPages_ = pendingUsedPages_;
        bytesSinceMeasured_ = 0;
    } else {
        bytesSinceMeasured_ += bytes;
    }
    if (ids) {
        ids->reserve(reports.size());
        for (std::size_t i = 1; i <= reports.size(); ++i) ids->push_back(lastId_ + static_cast<ReportId>(i));
    }
    lastId_ += static_cast<ReportId>(reports.size());
    count_ += reports.size();
    count_ -= std::min<std::uint64_t>(count_, pendingDrop_.count);
    dropped_.Add(pendingDrop_);
    droppedThrough_ = std::max(droppedThrough_, pendingDropThrough_);
    return true;
}

bool Store::Sync(std::string* error) {
    if (!WriteRemovalsAlone(error)) return false;
    // A checkpoint syncs the WAL before it copies it into the file (and the file after).
    int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    *error = Why("cannot sync to the disk");
    return false;
}

bool Store::Read(std::size_t n, ReportId afterId, ReportId upToId, std::vector<StoredReport>* out,
                 std::string* error) {
    out->clear();
    if (n == 0 || upToId <= afterId) return true;
    // Rows delivered but not yet removed on the disk are passed over; the limit leaves room for
    // them so that `n` are still read where there are.
    auto removedFrom = std::upper_bound(toRemove_.begin(), toRemove_.end(), afterId);
    auto removedTo = std::upper_bound(removedFrom, toRemove_.end(), upToId);
    std::size_t limit = std::min<std::size_t>(n, std::numeric_limits<int>::max()) +
                        static_cast<std::size_t>(removedTo - removedFrom);
    Reset reset(read_);
    sqlite3_bind_int64(read_, 1, afterId);
    sqlite3_bind_int64(read_, 2, upToId);
    sqlite3_bind_int64(read_, 3, static_cast<std::int64_t>(limit));
    int rc;
    while ((rc = sqlite3_step(read_)) == SQLITE_ROW) {
        StoredReport s;
        s.id = sqlite3_column_int64(read_, 0);
        if (std::binary_search(removedFrom, removedTo, s.id)) continue;
        s.report.vpi = sqlite3_column_int(read_, 1);
        s.report.stream = sqlite3_column_int(read_, 2);
        s.report.timeMs = sqlite3_column_int64(read_, 3);
        auto data = static_cast<const char*>(sqlite3_column_blob(read_, 4));
        std::string blob(data ? data : "", static_cast<std::size_t>(sqlite3_column_bytes(read_, 4)));
        if (!DecodeValues(blob, &s.report)) {
            // A row this program did not write: it can never be sent, and must not stop the
            // ones after it. It is counted with the dropped ones.
            dropped_.Add(Dropped{1, {s.report.timeMs, s.report.timeMs}});
            continue;
        }
        out->push_back(std::move(s));
    }
    if (rc != SQLITE_DONE) {
        *error = Why("cannot read its reports");
        out->clear();
        return false;
    }
    return true;
}

void Store::Remove(const std::vector<ReportId>& ids) {
    const std::size_t before = toRemove_.size();
    for (ReportId id : ids) {
        if (id > droppedThrough_ && id <= lastId_) toRemove_.push_back(id);
    }
    // Delivered ids mostly come in order, after those already waiting: then this is one pass.
    auto added = toRemove_.begin() + static_cast<std::ptrdiff_t>(before);
    std::sort(added, toRemove_.end());
    std::inplace_merge(toRemove_.begin(), added, toRemove_.end());
    toRemove_.erase(std::unique(toRemove_.begin(), toRemove_.end()), toRemove_.end());
}

bool Store::RemoveUpTo(ReportId id, std::string* error) {
    std::uint64_t removed = 0;
    bool ok = InTransaction(
        [&](std::string* why) {
            if (!WriteRemovals(&removed, why)) return false;
            Reset reset(removeRange_);
            sqlite3_bind_int64(removeRange_, 1, 0);
            sqlite3_bind_int64(removeRange_, 2, id);
            if (sqlite3_step(removeRange_) != SQLITE_DONE) {
                *why = Why("cannot remove delivered reports");
                return false;
            }
            removed += static_cast<std::uint64_t>(sqlite3_changes(db_));
            return id < lastId_ || KeepLastId(why);
        },
        error);
    if (ok) Removed(removed);
    return ok;
}

std::optional<TimeSpan> Store::Span(std::string* error) {
    if (!WriteRemovalsAlone(error)) return std::nullopt;
    const char* sql =
        "SELECT (SELECT time_ms FROM reports ORDER BY id LIMIT 1), (SELECT time_ms FROM reports ORDER BY id DESC "
        "LIMIT 1)";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK || sqlite3_step(statement) != SQLITE_ROW) {
        *error = Why("cannot read its time span");
        sqlite3_finalize(statement);
        return std::nullopt;
    }
    std::optional<TimeSpan> span;
    if (sqlite3_column_type(statement, 0) != SQLITE_NULL) {
        span = TimeSpan{sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1)};
    }
    sqlite3_finalize(statement);
    return span;
}

Dropped Store::TakeDropped() {
    Dropped d = dropped_;
    dropped_ = Dropped{};
    return d;
}

std::optional<int> Store::NextBdSeq(std::string* error) {
    if (!Exec("BEGIN IMMEDIATE", error)) return std::nullopt;
    sqlite3_stmt* statement = nullptr;
    int next = 0;
    bool ok = sqlite3_prepare_v2(db_, "SELECT value FROM state WHERE key = 'bdseq'", -1, &statement, nullptr) ==
              SQLITE_OK;
    if (ok) {
        int rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) next = static_cast<int>(sqlite3_column_int64(statement, 0) & 0xff);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    if (ok) {
        std::string sql = "INSERT OR REPLACE INTO state(key, value) VALUES ('bdseq', " + std::to_string((next + 1) % 256) + ")";
        ok = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
             sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (!ok) {
        *error = Why("cannot keep the session number (bdSeq)");
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return std::nullopt;
    }
    return next;
}

}  // namespace gateway
