// The gateway's on-disk store: every report is written here before it is published, and leaves
// only once the broker has it. One SQLite file in WAL mode, one row per report, a transaction per
// batch. The file survives the process (kill -9): a committed batch is the OS's when Append
// returns. It is on the disk after the next Sync (synchronous=NORMAL), which the forwarder does
// once a second while there is anything new, so a power cut takes at most the last second.
//
// Delivered reports leave with the next write's transaction (the next Append, else the next
// Sync) rather than in one of their own: under load that halves the transactions and writes the
// table's newest page once per batch instead of twice. A kill -9 before that write only means
// they are sent again, which delivery at least once allows.
//
// Not thread-safe: one thread (the forwarder's caller) uses a Store.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "report.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace gateway {

using ReportId = std::int64_t;  // increasing with every append, never reused

struct StoredReport {
    ReportId id = 0;
    Report report;  // as appended; `historical` is the reader's to set
};

// The acquisition times of the oldest and the newest report of a set.
struct TimeSpan {
    EpochMs firstMs = 0;
    EpochMs lastMs = 0;
};

// Reports the store let go because it reached its size bound.
struct Dropped {
    std::uint64_t count = 0;
    TimeSpan span;  // meaningful when count > 0

    void Add(const Dropped& more);
};

class Store {
public:
    // Opens or makes the store at `path`, bounded to `maxBytes` (at least kMinBytes). A damaged
    // file (not a database, or failing its quick check) is renamed to <path>.corrupt-<UTC time>,
    // with its -wal and -shm beside it under the same new name, and a new store is started; what
    // was done is added to `notices`. Fails (nullptr, `error` naming the path and the reason) only
    // when no store can be made at all: the folder or file is not writable, the disk is full, the
    // file is in use by another process, a damaged file cannot be moved aside.
    static std::unique_ptr<Store> Open(const std::string& path, std::uint64_t maxBytes,
                                       std::string* error, std::vector<std::string>* notices = nullptr);
    static constexpr std::uint64_t kMinBytes = std::uint64_t{64} * 1024;

    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Appends the reports in order, in one transaction. When the file would pass its bound the
    // oldest reports go first (counted: TakeDropped). `ids`, if given, receives each report's id.
    // False: nothing of this batch was stored; `error` says why (path and reason).
    bool Append(const std::vector<Report>& reports, std::string* error,
                std::vector<ReportId>* ids = nullptr);

    // Up to `n` reports with afterId < id <= upToId, oldest first.
    bool Read(std::size_t n, ReportId afterId, ReportId upToId, std::vector<StoredReport>* out,
              std::string* error);
    // The `n` oldest reports.
    bool Oldest(std::size_t n, std::vector<StoredReport>* out, std::string* error) {
        return Read(n, 0, LastId(), out, error);
    }

    // Everything committed so far onto the disk (a WAL checkpoint, which syncs the log first).
    bool Sync(std::string* error);

    // Delivered reports leave: at once for Count and the reads, on the disk with the next write.
    // Ids no longer stored (dropped by the bound, removed before) are ignored.
    void Remove(const std::vector<ReportId>& ids);
    // Everything up to `id` leaves, in a transaction of its own.
    bool RemoveUpTo(ReportId id, std::string* error);
    // Removals not yet written (to know whether a Sync is wanted).
    bool HasUnwrittenRemovals() const { return !toRemove_.empty(); }

    // Reports stored and not removed. A removal of ids that had already gone is corrected when it
    // is written.
    std::uint64_t Count() const { return count_ - std::min<std::uint64_t>(count_, toRemove_.size()); }
    // The id the last append gave (0 before any); later appends give greater ids.
    ReportId LastId() const { return lastId_; }
    // The acquisition times of the oldest and newest stored report; nullopt when empty.
    std::optional<TimeSpan> Span(std::string* error);
    // What the bound made the store drop since the last call; the count then starts from 0.
    Dropped TakeDropped();

    // The bdSeq of the next MQTT session (0..255, then 0 again), kept in the store so a
    // restarted gateway goes on counting.
    std::optional<int> NextBdSeq(std::string* error);

    const std::string& Path() const { return path_; }
    std::uint64_t MaxBytes() const { return maxBytes_; }

private:
    Store(std::string path, std::uint64_t maxBytes) : path_(std::move(path)), maxBytes_(maxBytes) {}
    enum class Outcome { ok, damaged, failed };
    Outcome Start(std::string* error);
    bool Prepare(std::string* error);
    void Close();
    std::string Why(const std::string& what) const;
    bool Exec(const char* sql, std::string* error);
    bool DropOldestWhileFull(std::size_t chunk, std::string* error);
    bool UsedPages(std::int64_t* pages, std::string* error);
    bool Run(sqlite3_stmt* statement, const char* what, std::string* error);
    template <typename Work>
    bool InTransaction(Work&& work, std::string* error);
    bool WriteRemovals(std::uint64_t* removed, std::string* error);
    bool WriteRemovalsAlone(std::string* error);
    void Removed(std::uint64_t rows);
    bool KeepLastId(std::string* error);

    std::string path_;
    std::uint64_t maxBytes_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    // Reports inserted by one statement of insertMany_.
    static constexpr std::size_t kRowsPerInsert = 16;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* insertMany_ = nullptr;
    std::string blobs_[kRowsPerInsert];  // the values of the rows being inserted
    sqlite3_stmt* read_ = nullptr;
    sqlite3_stmt* removeRange_ = nullptr;
    sqlite3_stmt* pageCount_ = nullptr;
    sqlite3_stmt* freePages_ = nullptr;
    sqlite3_stmt* keepLastId_ = nullptr;
    std::int64_t pageSize_ = 4096;
    std::int64_t pageLimit_ = 0;
    std::int64_t usedPages_ = -1;          // as last measured (-1: not yet)
    std::uint64_t bytesSinceMeasured_ = 0;  // appended since
    std::int64_t pendingUsedPages_ = -1;    // measured in the append under way
    std::uint64_t count_ = 0;
    ReportId lastId_ = 0;
    ReportId droppedThrough_ = 0;      // the bound has dropped every id up to here
    std::vector<ReportId> toRemove_;   // delivered, not yet removed on the disk; sorted, distinct
    Dropped dropped_;      // since the last TakeDropped
    Dropped pendingDrop_;  // in the append under way, counted once it commits
    ReportId pendingDropThrough_ = 0;
};

// The values of a report as stored: for each value its parameter, the double's 8 bytes as they
// are (so it reads back bit for bit, NaNs and signed zeros included) and its time as an offset
// from the report's. Exposed for the tests.
std::string EncodeValues(const Report& report);
bool DecodeValues(const std::string& blob, Report* report);

}  // namespace gateway
