// Store and forward, on a real store, with the clock in the test's hand: what is sent when, in
// what order, what leaves the store and what is sent again after a cut.
#include "forwarder.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "scratch.hpp"

namespace gateway {
namespace {

namespace fs = std::filesystem;

Report Numbered(int n) {
    // Values no decimal text would keep exactly.
    double value = 1.0 / (n + 3) + 1e-17 * n;
    return Report{1 + n % 4, 1, 1765000000000 + n * 100, {{5, value, 1765000000000 + n * 100 + 2}}, false};
}

int NumberOf(const Report& r) { return static_cast<int>((r.timeMs - 1765000000000) / 100); }

bool Same(const Report& a, const Report& b) {
    if (a.vpi != b.vpi || a.stream != b.stream || a.timeMs != b.timeMs || a.values.size() != b.values.size()) return false;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (a.values[i].param != b.values[i].param || a.values[i].timeMs != b.values[i].timeMs ||
            std::memcmp(&a.values[i].value, &b.values[i].value, sizeof(double)) != 0) {
            return false;
        }
    }
    return true;
}

class ForwarderTest : public ::testing::Test {
protected:
    void SetUp() override { folder_ = gatewaytest::FreshFolder("forwarder"); }
    void TearDown() override {
        forwarder_.reset();
        store_.reset();
        fs::remove_all(folder_);
    }
    void Start(ForwarderSettings settings = {}, std::uint64_t maxBytes = 64ull << 20) {
        forwarder_.reset();
        store_.reset();
        std::string error;
        store_ = Store::Open((folder_ / "g.db").string(), maxBytes, &error);
        ASSERT_TRUE(store_) << error;
        forwarder_ = std::make_unique<Forwarder>(store_.get(), settings);
    }
    void AddCommitted(int from, int to, SteadyMs now) {
        for (int n = from; n < to; ++n) forwarder_->Add(Numbered(n), 0);
        forwarder_->Flush();
        (void)now;
    }
    // Turns the link's loop from `from` to `to` in `step` ms steps, confirming every checkpoint
    // at once when `confirm`; what was taken, in order.
    std::vector<Outgoing> Run(SteadyMs from, SteadyMs to, SteadyMs step, bool confirm = true) {
        std::vector<Outgoing> all;
        for (SteadyMs t = from; t <= to; t += step) {
            forwarder_->Commit(t);
            for (Outgoing& o : forwarder_->Take(t)) all.push_back(std::move(o));
            if (auto token = forwarder_->Checkpoint(); token && confirm) forwarder_->Confirmed(*token);
        }
        return all;
    }

    fs::path folder_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Forwarder> forwarder_;
};

TEST_F(ForwarderTest, ALiveReportIsStoredBeforeItIsSentAndLeavesOnlyOnItsCheckpoint) {
    Start();
    forwarder_->Connected(0);
    forwarder_->Add(Numbered(1), 0);
    forwarder_->Add(Numbered(2), 0);
    EXPECT_TRUE(forwarder_->Take(0).empty()) << "sent before it was on the disk";
    forwarder_->Commit(3);
    EXPECT_EQ(store_->Count(), 2u);
    auto out = forwarder_->Take(0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(Same(out[0].report, Numbered(1)));
    EXPECT_TRUE(Same(out[1].report, Numbered(2)));
    EXPECT_FALSE(out[0].report.historical);
    EXPECT_GT(out[0].id, 0);
    EXPECT_TRUE(forwarder_->Take(0).empty()) << "sent twice in one session";
    EXPECT_EQ(forwarder_->Status().inFlight, 2u);

    auto token = forwarder_->Checkpoint();
    ASSERT_TRUE(token);
    EXPECT_FALSE(forwarder_->Checkpoint()) << "a checkpoint with nothing before it";
    EXPECT_EQ(store_->Count(), 2u) << "left the store before the broker had it";
    forwarder_->Confirmed(*token);
    EXPECT_EQ(store_->Count(), 0u);
    auto status = forwarder_->Status();
    EXPECT_EQ(status.inFlight, 0u);
    EXPECT_EQ(status.confirmed, 2u);

    // Acknowledged one by one instead.
    forwarder_->Add(Numbered(3), 97);
    forwarder_->Commit(100);
    out = forwarder_->Take(100);
    ASSERT_EQ(out.size(), 1u);
    forwarder_->Delivered({out[0].id});
    EXPECT_EQ(store_->Count(), 0u);
    EXPECT_FALSE(forwarder_->Checkpoint()) << "a delivered report still waits for a checkpoint";
}

TEST_F(ForwarderTest, BatchesAreCommittedAtMostEveryCommitPeriodAndTheCallerIsToldWhenToTurn) {
    ForwarderSettings settings;
    settings.commitEveryMs = 50;
    Start(settings);
    EXPECT_EQ(forwarder_->NextDue(0), -1) << "nothing to do";
    // Only a report that finds nothing waiting asks for the link to be woken: for the others
    // the link already waits for the commit.
    EXPECT_TRUE(forwarder_->Add(Numbered(1), 0));
    // The first report after a lull waits a period, so that those close behind it share the
    // commit.
    EXPECT_EQ(forwarder_->NextDue(0), 50);
    EXPECT_FALSE(forwarder_->Add(Numbered(2), 10));
    forwarder_->Commit(49);
    EXPECT_EQ(store_->Count(), 0u) << "committed before its period";
    EXPECT_EQ(forwarder_->NextDue(49), 1);
    forwarder_->Commit(50);
    EXPECT_EQ(store_->Count(), 2u) << "one batch of the two";
    // After a commit the link is asked to turn at the period's end even with nothing waiting,
    // so that a report added within the period needs no wake-up, and is committed then.
    EXPECT_EQ(forwarder_->NextDue(60), 40);
    EXPECT_FALSE(forwarder_->Add(Numbered(3), 70)) << "the link turns at 100 anyway";
    EXPECT_FALSE(forwarder_->Add(Numbered(4), 90));
    EXPECT_EQ(forwarder_->NextDue(90), 10);
    forwarder_->Commit(100);
    EXPECT_EQ(store_->Count(), 4u) << "a steady flow waits for no period of its own";
    // Past the period with nothing added, the next report wakes the link and waits its period.
    EXPECT_EQ(forwarder_->NextDue(150), 900) << "only the sync, a second after the first commit";
    EXPECT_TRUE(forwarder_->Add(Numbered(5), 160));
    forwarder_->Commit(160);
    EXPECT_EQ(store_->Count(), 4u);
    EXPECT_EQ(forwarder_->NextDue(160), 50);
    forwarder_->Commit(210);
    EXPECT_EQ(store_->Count(), 5u);
    // The bound on what a power cut may take holds whatever the caller asks for.
    settings.commitEveryMs = 5000;
    Start(settings);
    forwarder_->Add(Numbered(6), 0);
    forwarder_->Commit(0);
    forwarder_->Add(Numbered(7), 0);
    forwarder_->Commit(200);
    EXPECT_EQ(store_->Count(), 7u);
}

TEST_F(ForwarderTest, TheBacklogGoesOldestFirstAsHistoricalAtItsPaceAndLiveIsNotHeldBehindIt) {
    ForwarderSettings settings;
    settings.replayPerS = 500;
    Start(settings);
    AddCommitted(0, 2000, 0);  // stored while the broker was away
    forwarder_->Connected(1000);
    EXPECT_TRUE(forwarder_->Status().replaying);

    std::vector<Outgoing> sent;
    int liveSeen = 0;
    for (SteadyMs t = 1000; t <= 2000; t += 10) {
        if (t == 1500) forwarder_->Add(Numbered(5000), 0);  // a live report mid-replay
        forwarder_->Commit(t);
        for (Outgoing& o : forwarder_->Take(t)) {
            if (!o.report.historical) {
                ++liveSeen;
                EXPECT_EQ(NumberOf(o.report), 5000);
                EXPECT_EQ(t, 1500) << "the live report waited behind the backlog";
            }
            sent.push_back(std::move(o));
        }
        if (auto token = forwarder_->Checkpoint()) forwarder_->Confirmed(*token);
    }
    EXPECT_EQ(liveSeen, 1);
    // One second at 500 a second (the first turn has no time behind it).
    std::size_t historical = sent.size() - 1;
    EXPECT_GE(historical, 495u);
    EXPECT_LE(historical, 501u);
    int expect = 0;
    for (const Outgoing& o : sent) {
        if (!o.report.historical) continue;
        EXPECT_EQ(NumberOf(o.report), expect) << "out of order";
        EXPECT_TRUE(Same(o.report, Numbered(expect)));
        ++expect;
    }
    // A loop that turns late catches up by at most a fifth of a second's worth.
    auto late = forwarder_->Take(5000);
    EXPECT_LE(late.size(), 100u);
    EXPECT_GE(late.size(), 99u);
    if (auto token = forwarder_->Checkpoint()) forwarder_->Confirmed(*token);

    auto rest = Run(5010, 9000, 10);
    EXPECT_FALSE(forwarder_->Status().replaying);
    EXPECT_EQ(historical + late.size() + rest.size(), 2000u);
    EXPECT_EQ(store_->Count(), 0u);
}

TEST_F(ForwarderTest, WhatWasNotConfirmedBeforeACutIsSentAgainIdentical) {
    Start();
    forwarder_->Connected(0);
    AddCommitted(0, 10, 0);
    auto first = forwarder_->Take(0);
    ASSERT_EQ(first.size(), 10u);
    auto confirmedToken = forwarder_->Checkpoint();
    ASSERT_TRUE(confirmedToken);
    forwarder_->Confirmed(*confirmedToken);
    AddCommitted(10, 30, 0);
    auto second = forwarder_->Take(0);
    ASSERT_EQ(second.size(), 20u);
    auto lostToken = forwarder_->Checkpoint();  // its PUBACK never comes: the connection drops
    ASSERT_TRUE(lostToken);
    forwarder_->Disconnected();
    EXPECT_TRUE(forwarder_->Take(10).empty()) << "sending while disconnected";
    EXPECT_FALSE(forwarder_->Checkpoint());
    AddCommitted(30, 35, 10);  // while away

    forwarder_->Connected(100);
    forwarder_->Confirmed(*lostToken);  // the old connection's, late: must not remove anything
    EXPECT_EQ(store_->Count(), 25u);
    auto again = Run(100, 2000, 10);
    ASSERT_EQ(again.size(), 25u);
    for (std::size_t i = 0; i < again.size(); ++i) {
        EXPECT_TRUE(again[i].report.historical);
        EXPECT_EQ(NumberOf(again[i].report), static_cast<int>(10 + i));
        EXPECT_TRUE(Same(again[i].report, Numbered(static_cast<int>(10 + i)))) << "a duplicate that differs";
    }
    EXPECT_EQ(store_->Count(), 0u);
}

TEST_F(ForwarderTest, AfterARestartWhatWasStoredIsSent) {
    Start();
    forwarder_->Connected(0);
    AddCommitted(0, 40, 0);
    ASSERT_EQ(forwarder_->Take(0).size(), 40u);
    ASSERT_TRUE(forwarder_->Checkpoint());  // the process ends before the PUBACK
    Start();                                // a new process on the same file
    forwarder_->Connected(0);
    auto sent = Run(0, 1000, 10);
    ASSERT_EQ(sent.size(), 40u);
    for (int n = 0; n < 40; ++n) EXPECT_TRUE(Same(sent[static_cast<std::size_t>(n)].report, Numbered(n)));
    EXPECT_EQ(store_->Count(), 0u);
}

TEST_F(ForwarderTest, SendingWaitsWhenTooMuchIsUnconfirmed) {
    ForwarderSettings settings;
    settings.maxInFlight = 10;
    Start(settings);
    forwarder_->Connected(0);
    AddCommitted(0, 25, 0);
    EXPECT_EQ(forwarder_->Take(0).size(), 10u);
    auto token = forwarder_->Checkpoint();
    EXPECT_TRUE(forwarder_->Take(10).empty());
    forwarder_->Confirmed(*token);
    auto next = forwarder_->Take(20);
    ASSERT_EQ(next.size(), 10u);
    EXPECT_EQ(NumberOf(next[0].report), 10);
    forwarder_->Confirmed(*forwarder_->Checkpoint());
    EXPECT_EQ(forwarder_->Take(30).size(), 5u);
}

TEST_F(ForwarderTest, ReportsTheStoreDroppedAreCountedWithTheirSpan) {
    Start({}, 96 * 1024);
    for (int n = 0; n < 4000; ++n) {
        Report r = Numbered(n);
        for (int p = 6; p < 20; ++p) r.values.push_back({p, p * 1.5, r.timeMs});
        forwarder_->Add(r, 0);
        if (n % 50 == 49) forwarder_->Flush();
    }
    Dropped d = forwarder_->TakeDropped();
    ASSERT_GT(d.count, 0u);
    EXPECT_EQ(d.count + store_->Count(), 4000u);
    EXPECT_EQ(d.span.firstMs, Numbered(0).timeMs);
    EXPECT_EQ(d.span.lastMs, Numbered(static_cast<int>(d.count) - 1).timeMs);
    EXPECT_EQ(forwarder_->TakeDropped().count, 0u);
    EXPECT_EQ(forwarder_->Status().dropped, d.count);
    // What is left goes out, oldest first, from just after the last one dropped.
    forwarder_->Connected(0);
    auto sent = Run(0, 100, 10);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(NumberOf(sent[0].report), static_cast<int>(d.count));
}

TEST_F(ForwarderTest, WhenTheStoreCannotBeWrittenTheValuesStillGoOutAndTheFailureIsSaid) {
    gatewaytest::Tmpfs tmpfs(folder_ / "small", "size=160k");
    if (!tmpfs.Mounted()) GTEST_SKIP() << tmpfs.Why();
    std::string error;
    auto path = folder_ / "small" / "g.db";
    store_ = Store::Open(path.string(), 64ull << 20, &error);
    ASSERT_TRUE(store_) << error;
    forwarder_ = std::make_unique<Forwarder>(store_.get(), ForwarderSettings{});
    forwarder_->Connected(0);
    std::set<int> seen;
    bool held = false;
    for (int n = 0; n < 3000; ++n) {
        Report r = Numbered(n);
        for (int p = 6; p < 30; ++p) r.values.push_back({p, p * 0.1, r.timeMs});
        forwarder_->Add(r, 0);
        if (n % 20 == 19) {
            forwarder_->Flush();
            for (Outgoing& o : forwarder_->Take(n)) {
                if (o.id == 0) held = true;
                seen.insert(NumberOf(o.report));
            }
        }
    }
    ASSERT_TRUE(held) << "160 KiB took every report";
    EXPECT_EQ(seen.size(), 3000u) << "values lost to a full disk";
    auto errors = forwarder_->TakeErrors();
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors[0].find(path.string()), std::string::npos) << errors[0];
    EXPECT_NE(errors[0].find("No space left on device"), std::string::npos) << errors[0];
    EXPECT_TRUE(forwarder_->TakeErrors().empty()) << "said twice";
    forwarder_.reset();
    store_.reset();
}

// What was committed is synced to the disk within a second: the caller is told when to turn for
// it, and nothing is due once it is done.
TEST_F(ForwarderTest, ACommitIsSyncedToTheDiskWithinASecond) {
    Start();
    forwarder_->Add(Numbered(1), 0);
    forwarder_->Commit(3);
    EXPECT_EQ(forwarder_->NextDue(400), 603);
    forwarder_->Commit(1002);
    EXPECT_EQ(forwarder_->NextDue(1002), 1);
    forwarder_->Commit(1003);
    EXPECT_EQ(forwarder_->NextDue(1003), -1) << "synced: nothing left to do";
    EXPECT_TRUE(forwarder_->TakeErrors().empty());
}

// Live reports go out from memory while they fit and from the store once they do not (a link
// that could not send for a while): either way each once, in order, and with its values.
TEST_F(ForwarderTest, LiveReportsPastWhatIsKeptInMemoryAreReadBackInOrder) {
    ForwarderSettings settings;
    settings.maxPerTake = 100000;
    Start(settings);
    forwarder_->Connected(0);
    AddCommitted(0, 300, 0);
    std::vector<Outgoing> first = forwarder_->Take(1);
    AddCommitted(300, 9000, 2);  // more than memory keeps: read back from the store
    std::vector<Outgoing> rest = forwarder_->Take(3);
    AddCommitted(9000, 9100, 4);  // caught up: from memory again
    std::vector<Outgoing> last = forwarder_->Take(5);
    first.insert(first.end(), rest.begin(), rest.end());
    first.insert(first.end(), last.begin(), last.end());
    ASSERT_EQ(first.size(), 9100u);
    for (std::size_t i = 0; i < first.size(); ++i) {
        ASSERT_EQ(NumberOf(first[i].report), static_cast<int>(i));
        ASSERT_EQ(first[i].report.values[0].value, Numbered(static_cast<int>(i)).values[0].value) << i;
        ASSERT_FALSE(first[i].report.historical);
        if (i > 0) {
            ASSERT_GT(first[i].id, first[i - 1].id);
        }
    }
}

}  // namespace
}  // namespace gateway
