// The on-disk store: order, exact values, what survives a restart and a kill, the size bound,
// and the files it cannot use.
#include "store.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "scratch.hpp"

namespace gateway {
namespace {

namespace fs = std::filesystem;

std::uint64_t Bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Reports with values of every kind a double can hold: random bit patterns (NaNs with payloads,
// denormals, infinities), signed zeros, and times before and after the report's own.
std::vector<Report> RandomReports(std::mt19937_64& random, int n, EpochMs start) {
    std::vector<Report> reports;
    for (int i = 0; i < n; ++i) {
        Report r;
        r.vpi = 1 + static_cast<int>(random() % 255);
        r.stream = 1 + static_cast<int>(random() % 99);
        r.timeMs = start + i * 250;
        int values = static_cast<int>(random() % 24);
        for (int k = 0; k < values; ++k) {
            ReportValue v;
            v.param = 1 + static_cast<int>(random() % 99);
            std::uint64_t bits = random();
            std::memcpy(&v.value, &bits, sizeof bits);
            if (k == 0) v.value = -0.0;
            if (k == 1) v.value = std::numeric_limits<double>::denorm_min();
            v.timeMs = r.timeMs + static_cast<std::int64_t>(random() % 2000) - 1000;
            r.values.push_back(v);
        }
        reports.push_back(r);
    }
    return reports;
}

void ExpectSame(const Report& want, const Report& got) {
    EXPECT_EQ(want.vpi, got.vpi);
    EXPECT_EQ(want.stream, got.stream);
    EXPECT_EQ(want.timeMs, got.timeMs);
    ASSERT_EQ(want.values.size(), got.values.size());
    for (std::size_t i = 0; i < want.values.size(); ++i) {
        EXPECT_EQ(want.values[i].param, got.values[i].param);
        EXPECT_EQ(Bits(want.values[i].value), Bits(got.values[i].value)) << "value " << i;
        EXPECT_EQ(want.values[i].timeMs, got.values[i].timeMs);
    }
}

std::unique_ptr<Store> OpenOrFail(const fs::path& path, std::uint64_t maxBytes = 256ull << 20,
                                  std::vector<std::string>* notices = nullptr) {
    std::string error;
    auto store = Store::Open(path.string(), maxBytes, &error, notices);
    EXPECT_TRUE(store) << error;
    return store;
}

std::vector<StoredReport> All(Store& store) {
    std::vector<StoredReport> rows;
    std::string error;
    EXPECT_TRUE(store.Oldest(1u << 30, &rows, &error)) << error;
    return rows;
}

TEST(StoreValues, EncodingReadsBackBitForBitAndRefusesWhatItDidNotWrite) {
    std::mt19937_64 random(7);
    for (const Report& r : RandomReports(random, 200, 1765000000000)) {
        Report back;
        back.timeMs = r.timeMs;
        ASSERT_TRUE(DecodeValues(EncodeValues(r), &back));
        ExpectSame(r, Report{r.vpi, r.stream, r.timeMs, back.values, false});
    }
    Report r{1, 1, 1000, {{5, 78.0752, 1001}}, false};
    std::string blob = EncodeValues(r);
    Report back;
    EXPECT_FALSE(DecodeValues(blob.substr(0, blob.size() - 1), &back)) << "cut short";
    std::string badParam = blob;
    badParam[0] = 100;
    EXPECT_FALSE(DecodeValues(badParam, &back)) << "parameter 100";
    EXPECT_TRUE(DecodeValues("", &back));
    EXPECT_TRUE(back.values.empty());
}

TEST(Store, KeepsOrderAndExactValuesAndRemovesWhatIsDelivered) {
    auto folder = gatewaytest::FreshFolder("order");
    auto store = OpenOrFail(folder / "g.db");
    ASSERT_TRUE(store);
    std::mt19937_64 random(11);
    std::vector<Report> sent = RandomReports(random, 300, 1765000000000);
    std::string error;
    std::vector<ReportId> ids;
    // Batches of 37: rows inserted several to a statement and one by one.
    for (std::size_t at = 0; at < sent.size(); at += 37) {
        std::vector<Report> batch(sent.begin() + static_cast<long>(at),
                                  sent.begin() + static_cast<long>(std::min(sent.size(), at + 37)));
        std::vector<ReportId> batchIds;
        ASSERT_TRUE(store->Append(batch, &error, &batchIds)) << error;
        ASSERT_EQ(batchIds.size(), batch.size());
        ids.insert(ids.end(), batchIds.begin(), batchIds.end());
    }
    EXPECT_EQ(store->Count(), 300u);
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(store->LastId(), ids.back());

    std::vector<StoredReport> rows;
    ASSERT_TRUE(store->Oldest(10, &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 10u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].id, ids[i]);
        ExpectSame(sent[i], rows[i].report);
    }
    // Reading on from an id, up to another.
    ASSERT_TRUE(store->Read(5, ids[99], ids[101], &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].id, ids[100]);
    ExpectSame(sent[101], rows[1].report);

    auto span = store->Span(&error);
    ASSERT_TRUE(span) << error;
    EXPECT_EQ(span->firstMs, sent.front().timeMs);
    EXPECT_EQ(span->lastMs, sent.back().timeMs);

    // Delivered out of order and in runs, one of them twice. Until a write carries them to the
    // disk, the count and the reads already leave them out.
    store->Remove({ids[3], ids[0], ids[1], ids[2], ids[10], ids[3]});
    EXPECT_EQ(store->Count(), 295u);
    ASSERT_TRUE(store->Oldest(7, &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0].id, ids[4]);
    EXPECT_EQ(rows[6].id, ids[11]);
    // Ids already gone are ignored.
    store->Remove({ids[0], 0, store->LastId() + 1});
    EXPECT_EQ(store->Count(), 295u);
    ASSERT_TRUE(store->RemoveUpTo(ids[149], &error)) << error;
    EXPECT_EQ(store->Count(), 150u);
    auto left = All(*store);
    ASSERT_EQ(left.size(), 150u);
    for (std::size_t i = 0; i < left.size(); ++i) {
        EXPECT_EQ(left[i].id, ids[150 + i]);
        ExpectSame(sent[150 + i], left[i].report);
    }
    ASSERT_TRUE(store->RemoveUpTo(store->LastId(), &error)) << error;
    EXPECT_EQ(store->Count(), 0u);
    EXPECT_FALSE(store->Span(&error)) << "an empty store has no span";
    fs::remove_all(folder);
}

TEST(Store, SurvivesReopenAndNeverReusesAnId) {
    auto folder = gatewaytest::FreshFolder("reopen");
    std::mt19937_64 random(3);
    auto sent = RandomReports(random, 50, 1765000000000);
    std::string error;
    ReportId last = 0;
    {
        auto store = OpenOrFail(folder / "g.db");
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->Append(sent, &error)) << error;
        last = store->LastId();
    }
    {
        auto store = OpenOrFail(folder / "g.db");
        ASSERT_TRUE(store);
        EXPECT_EQ(store->Count(), 50u);
        EXPECT_EQ(store->LastId(), last);
        auto rows = All(*store);
        ASSERT_EQ(rows.size(), sent.size());
        for (std::size_t i = 0; i < rows.size(); ++i) ExpectSame(sent[i], rows[i].report);
        // Everything delivered: a later report still gets a new id, so a forwarder's marks of
        // what it sent never point at a newer report.
        ASSERT_TRUE(store->RemoveUpTo(last, &error)) << error;
    }
    auto store = OpenOrFail(folder / "g.db");
    ASSERT_TRUE(store);
    EXPECT_EQ(store->Count(), 0u);
    std::vector<ReportId> ids;
    ASSERT_TRUE(store->Append({sent[0]}, &error, &ids)) << error;
    EXPECT_GT(ids.at(0), last);
    fs::remove_all(folder);
}

// Delivered reports leave the file with the next append, or with the next sync when no append
// comes; both are written in the same transaction as what they carry.
TEST(Store, RemovalsReachTheFileWithTheNextAppendOrSync) {
    auto folder = gatewaytest::FreshFolder("removals");
    std::mt19937_64 random(13);
    auto sent = RandomReports(random, 40, 1765000000000);
    std::string error;
    std::vector<ReportId> ids;
    ReportId last = 0;
    {
        auto store = OpenOrFail(folder / "g.db");
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->Append({sent.begin(), sent.begin() + 20}, &error, &ids)) << error;
        store->Remove({ids.begin(), ids.begin() + 10});
        EXPECT_TRUE(store->HasUnwrittenRemovals());
        std::vector<ReportId> more;
        ASSERT_TRUE(store->Append({sent.begin() + 20, sent.end()}, &error, &more)) << error;
        EXPECT_FALSE(store->HasUnwrittenRemovals()) << "carried by the append";
        EXPECT_EQ(store->Count(), 30u);
        // Everything else, the newest too: no append follows, the sync carries them.
        std::vector<ReportId> rest(ids.begin() + 10, ids.end());
        rest.insert(rest.end(), more.begin(), more.end());
        store->Remove(rest);
        EXPECT_EQ(store->Count(), 0u);
        ASSERT_TRUE(store->Sync(&error)) << error;
        EXPECT_FALSE(store->HasUnwrittenRemovals());
        last = store->LastId();
        // Kept open, as a kill -9 would leave it: what the sync wrote must be in the file.
        fs::copy_file(folder / "g.db", folder / "k.db");
        fs::copy_file(folder / "g.db-wal", folder / "k.db-wal");
    }
    auto store = OpenOrFail(folder / "k.db");
    ASSERT_TRUE(store);
    EXPECT_EQ(store->Count(), 0u);
    EXPECT_EQ(store->LastId(), last) << "the newest left, its id is still not given again";
    std::vector<ReportId> after;
    ASSERT_TRUE(store->Append({sent[0]}, &error, &after)) << error;
    EXPECT_EQ(after.at(0), last + 1);
    fs::remove_all(folder);
}

// A store made while the table's ids were SQLite's AUTOINCREMENT goes on from its sequence.
TEST(Store, AStoreWithAnAutoincrementTableGoesOnFromItsSequence) {
    auto folder = gatewaytest::FreshFolder("autoincrement");
    auto path = folder / "g.db";
    const char* older =
        "CREATE TABLE reports(id INTEGER PRIMARY KEY AUTOINCREMENT, vpi INTEGER NOT NULL,"
        " stream INTEGER NOT NULL, time_ms INTEGER NOT NULL, vals BLOB NOT NULL);"
        "CREATE TABLE state(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
        "INSERT INTO reports VALUES (41, 3, 7, 1765000000000, x'');"
        "INSERT INTO reports VALUES (42, 3, 7, 1765000000250, x'');"
        "DELETE FROM reports WHERE id = 42;";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, older, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
    std::mt19937_64 random(17);
    auto sent = RandomReports(random, 2, 1765000001000);
    std::string error;
    {
        auto store = OpenOrFail(path);
        ASSERT_TRUE(store);
        EXPECT_EQ(store->Count(), 1u);
        EXPECT_EQ(store->LastId(), 42);
        std::vector<ReportId> ids;
        ASSERT_TRUE(store->Append(sent, &error, &ids)) << error;
        EXPECT_EQ(ids, (std::vector<ReportId>{43, 44}));
        ASSERT_TRUE(store->RemoveUpTo(44, &error)) << error;
    }
    auto store = OpenOrFail(path);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->LastId(), 44);
    fs::remove_all(folder);
}

TEST(Store, WhatAppendReturnedIsThereAfterTheProcessIsKilled) {
    auto folder = gatewaytest::FreshFolder("kill");
    std::mt19937_64 random(5);
    auto sent = RandomReports(random, 400, 1765000000000);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        std::string error;
        auto store = Store::Open((folder / "g.db").string(), 256ull << 20, &error);
        if (!store) _exit(3);
        for (std::size_t at = 0; at < sent.size(); at += 40) {
            std::vector<Report> batch(sent.begin() + static_cast<long>(at), sent.begin() + static_cast<long>(at + 40));
            if (!store->Append(batch, &error)) _exit(4);
        }
        // Told only once every Append has returned; killed before anything closes the store.
        if (write(ready[1], "x", 1) != 1) _exit(5);
        for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the child could not store its reports";
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    close(ready[0]);
    // The WAL is still beside the file: the kill left it unchecked-in.
    EXPECT_TRUE(fs::exists(folder / "g.db-wal"));

    auto store = OpenOrFail(folder / "g.db");
    ASSERT_TRUE(store);
    auto rows = All(*store);
    ASSERT_EQ(rows.size(), sent.size());
    for (std::size_t i = 0; i < rows.size(); ++i) ExpectSame(sent[i], rows[i].report);
    fs::remove_all(folder);
}

TEST(Store, IsHeldByOneGatewayAtATime) {
    auto folder = gatewaytest::FreshFolder("twice");
    auto first = OpenOrFail(folder / "g.db");
    ASSERT_TRUE(first);
    std::string error;
    EXPECT_FALSE(Store::Open((folder / "g.db").string(), 256ull << 20, &error));
    EXPECT_NE(error.find((folder / "g.db").string()), std::string::npos) << error;
    EXPECT_NE(error.find("another process"), std::string::npos) << error;
    first.reset();
    EXPECT_TRUE(OpenOrFail(folder / "g.db")) << "free again once the first is closed";
    fs::remove_all(folder);
}

TEST(Store, AtItsBoundDropsTheOldestAndSaysHowManyAndWhen) {
    auto folder = gatewaytest::FreshFolder("bound");
    const std::uint64_t bound = 96 * 1024;
    auto store = OpenOrFail(folder / "g.db", bound);
    ASSERT_TRUE(store);
    std::mt19937_64 random(9);
    auto sent = RandomReports(random, 3000, 1765000000000);
    std::string error;
    std::uint64_t dropped = 0;
    Dropped firstTake;
    for (std::size_t at = 0; at < sent.size(); at += 20) {
        std::vector<Report> batch(sent.begin() + static_cast<long>(at), sent.begin() + static_cast<long>(at + 20));
        ASSERT_TRUE(store->Append(batch, &error)) << error;
        if (at == 1500) {
            firstTake = store->TakeDropped();
            dropped += firstTake.count;
        }
    }
    Dropped secondTake = store->TakeDropped();
    dropped += secondTake.count;
    EXPECT_EQ(store->TakeDropped().count, 0u) << "counted once";

    ASSERT_GT(firstTake.count, 0u) << "3000 reports of up to 24 values cannot fit 96 KiB";
    EXPECT_EQ(store->Count() + dropped, sent.size());
    // What went is the oldest, and the spans say exactly which acquisition times were lost.
    auto rows = All(*store);
    ASSERT_EQ(rows.size(), store->Count());
    ExpectSame(sent[dropped], rows.front().report);
    ExpectSame(sent.back(), rows.back().report);
    EXPECT_EQ(firstTake.span.firstMs, sent[0].timeMs);
    EXPECT_EQ(firstTake.span.lastMs, sent[firstTake.count - 1].timeMs);
    EXPECT_EQ(secondTake.span.firstMs, sent[firstTake.count].timeMs);
    EXPECT_EQ(secondTake.span.lastMs, sent[dropped - 1].timeMs);

    // The file itself stays near its bound: freed pages are used again.
    store.reset();
    EXPECT_LE(fs::file_size(folder / "g.db"), bound + 16 * 4096);
    fs::remove_all(folder);
}

TEST(Store, AFolderItCannotWriteIsSaidWithThePathAndTheReason) {
    auto folder = gatewaytest::FreshFolder("unwritable");
    std::string error;
    auto missing = folder / "no-such-folder" / "g.db";
    EXPECT_FALSE(Store::Open(missing.string(), 256ull << 20, &error));
    EXPECT_NE(error.find(missing.string()), std::string::npos) << error;
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    // Root writes anywhere permissions say: a read-only file system stops it for real.
    gatewaytest::Tmpfs tmpfs(folder / "ro", "size=1m,mode=0755");
    if (!tmpfs.Mounted()) {
        fs::remove_all(folder);
        GTEST_SKIP() << tmpfs.Why();
    }
    auto path = folder / "ro" / "g.db";
    {
        auto store = OpenOrFail(path);
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->Append({Report{1, 1, 1000, {{5, 1.5, 1000}}, false}}, &error)) << error;
    }
    ASSERT_TRUE(tmpfs.RemountReadOnly()) << std::strerror(errno);
    EXPECT_FALSE(Store::Open(path.string(), 256ull << 20, &error));
    EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    EXPECT_NE(error.find("Read-only file system"), std::string::npos) << error;
    auto fresh = folder / "ro" / "new.db";
    EXPECT_FALSE(Store::Open(fresh.string(), 256ull << 20, &error));
    EXPECT_NE(error.find(fresh.string()), std::string::npos) << error;
    EXPECT_NE(error.find("Read-only file system"), std::string::npos) << error;
}

TEST(Store, AFullDiskIsSaidAndWhatWasStoredStays) {
    auto folder = gatewaytest::FreshFolder("full");
    gatewaytest::Tmpfs tmpfs(folder / "small", "size=192k");
    if (!tmpfs.Mounted()) {
        fs::remove_all(folder);
        GTEST_SKIP() << tmpfs.Why();
    }
    auto path = folder / "small" / "g.db";
    auto store = OpenOrFail(path);
    ASSERT_TRUE(store);
    std::mt19937_64 random(13);
    std::string error;
    std::uint64_t stored = 0;
    bool failed = false;
    for (int i = 0; i < 500 && !failed; ++i) {
        auto batch = RandomReports(random, 20, 1765000000000 + i * 5000);
        if (store->Append(batch, &error)) {
            stored += batch.size();
        } else {
            failed = true;
        }
    }
    ASSERT_TRUE(failed) << "192 KiB took 10000 reports";
    EXPECT_GT(stored, 100u) << error;
    EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    // The failed batch is not half there, and what came before is.
    EXPECT_EQ(store->Count(), stored);
    EXPECT_EQ(All(*store).size(), stored);
    store.reset();
}

TEST(Store, ADamagedFileIsMovedAsideAndANewStoreStarts) {
    auto folder = gatewaytest::FreshFolder("corrupt");
    auto path = folder / "g.db";
    std::string garbage(20000, '\0');
    std::mt19937 random(1);
    for (char& c : garbage) c = static_cast<char>(random());
    {
        std::ofstream out(path, std::ios::binary);
        out << garbage;
    }
    // A WAL beside it must go with it, or the new store would read it.
    {
        std::ofstream out(folder / "g.db-wal", std::ios::binary);
        out << "not a wal";
    }
    std::vector<std::string> notices;
    auto store = OpenOrFail(path, 256ull << 20, &notices);
    ASSERT_TRUE(store);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(path.string()), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find("moved aside"), std::string::npos) << notices[0];
    fs::path aside;
    for (const auto& entry : fs::directory_iterator(folder)) {
        auto name = entry.path().filename().string();
        if (name.starts_with("g.db.corrupt-") && !name.ends_with("-wal")) aside = entry.path();
    }
    ASSERT_FALSE(aside.empty()) << "no g.db.corrupt-<time> beside the store";
    EXPECT_NE(notices[0].find(aside.string()), std::string::npos) << notices[0];
    EXPECT_EQ(gatewaytest::ReadAll(aside), garbage) << "kept as it was, never deleted";
    EXPECT_EQ(gatewaytest::ReadAll(aside.string() + "-wal"), "not a wal");

    std::string error;
    ASSERT_TRUE(store->Append({Report{2, 3, 5000, {{7, 2.25, 5001}}, false}}, &error)) << error;
    EXPECT_EQ(All(*store).size(), 1u);
    store.reset();

    // A real store whose pages were overwritten in the middle: the quick check finds it.
    {
        auto again = OpenOrFail(path);
        ASSERT_TRUE(again);
        std::mt19937_64 values(2);
        ASSERT_TRUE(again->Append(RandomReports(values, 2000, 1765000000000), &error)) << error;
    }
    {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(4096 * 3);
        std::string junk(4096 * 4, '\xA5');
        file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        ASSERT_TRUE(file.good());
    }
    notices.clear();
    auto fresh = OpenOrFail(path, 256ull << 20, &notices);
    ASSERT_TRUE(fresh);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("moved aside"), std::string::npos) << notices[0];
    EXPECT_EQ(fresh->Count(), 0u);
    int asideFiles = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        auto name = entry.path().filename().string();
        if (name.starts_with("g.db.corrupt-") && !name.ends_with("-wal")) ++asideFiles;
    }
    EXPECT_EQ(asideFiles, 2) << "the second damaged file did not replace the first";
    fs::remove_all(folder);
}

TEST(Store, BdSeqGoesOnAcrossRestartsAndWrapsAfter255) {
    auto folder = gatewaytest::FreshFolder("bdseq");
    std::string error;
    {
        auto store = OpenOrFail(folder / "g.db");
        ASSERT_TRUE(store);
        EXPECT_EQ(store->NextBdSeq(&error), 0) << error;
        EXPECT_EQ(store->NextBdSeq(&error), 1) << error;
    }
    {
        auto store = OpenOrFail(folder / "g.db");
        ASSERT_TRUE(store);
        EXPECT_EQ(store->NextBdSeq(&error), 2) << error;
        for (int n = 3; n <= 255; ++n) ASSERT_EQ(store->NextBdSeq(&error), n) << error;
    }
    auto store = OpenOrFail(folder / "g.db");
    ASSERT_TRUE(store);
    EXPECT_EQ(store->NextBdSeq(&error), 0) << "after 255 comes 0";
    EXPECT_EQ(store->NextBdSeq(&error), 1) << error;
    fs::remove_all(folder);
}

TEST(Store, RefusesABoundTooSmallToHoldAnything) {
    std::string error;
    EXPECT_FALSE(Store::Open("/tmp/never-made.db", 4096, &error));
    EXPECT_NE(error.find("too small"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists("/tmp/never-made.db"));
}

}  // namespace
}  // namespace gateway
