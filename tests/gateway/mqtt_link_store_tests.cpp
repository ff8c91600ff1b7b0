// The MQTT link with its store: a report leaves the store only once a checkpoint's PUBACK says the
// broker has it, nothing is let go while the session is not publishing (a primary host away), and
// at the store's bound the oldest reports go, counted and said with their span.
#include <gtest/gtest.h>

#include <thread>

#include "bdseq_file.hpp"
#include "forwarder.hpp"
#include "link_testing.hpp"
#include "store.hpp"

using namespace linktest;
using brokertest::Count;
using brokertest::Subscriber;

namespace {

constexpr EpochMs kBase = 1796747846000;  // 2026-12-08 16:37:26 UTC

struct StoredLink {
    explicit StoredLink(const fs::path& folder, int port, std::uint64_t storeBytes = 16 * 1024 * 1024,
                        const std::string& primaryHost = "")
        : node(SparkplugIds{"plant", "gw1", primaryHost}, Devices(), "test 1.0"),
          bdSeq((folder / "node.bdseq").string()) {
        std::string why;
        store = Store::Open((folder / "gw1.db").string(), storeBytes, &why);
        EXPECT_NE(store, nullptr) << why;
        forwarder = std::make_unique<Forwarder>(store.get(), ForwarderSettings{});
        link = std::make_unique<MqttLink>(Settings(port), node, bdSeq, lines.Function());
        link->UseStore(*forwarder, CheckpointTopic("plant", "gw1"), store->Path());
        EXPECT_TRUE(link->Start(&why)) << why;
    }
    ForwarderStatus Status() const { return *link->Status().store; }
    // Waits until `done` holds for the store's status (10 s at most).
    template <typename Done>
    bool WaitFor(Done done) const {
        for (int i = 0; i < 500; ++i) {
            if (done(Status())) return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return done(Status());
    }

    Lines lines;
    SparkplugProtocol node;
    BdSeqFile bdSeq;
    std::unique_ptr<Store> store;
    std::unique_ptr<Forwarder> forwarder;
    std::unique_ptr<MqttLink> link;  // last: it goes first
};

}  // namespace

TEST(MqttLinkStore, AReportLeavesTheStoreOnceTheCheckpointAfterItIsAcknowledged) {
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#", "vpivg/plant/gw1/checkpoint"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("confirmed");
    StoredLink gw(folder, broker->Port());
    ASSERT_TRUE(gw.lines.WaitFor("connected")) << gw.lines.All();
    // Reports stored before the session began publishing would be its backlog, sent historical.
    std::this_thread::sleep_for(milliseconds(300));
    for (int i = 0; i < 1200; ++i) gw.link->Report(ReportOf(i, kBase + i));
    EXPECT_TRUE(gw.WaitFor([](const ForwarderStatus& s) { return s.confirmed == 1200 && s.stored == 0; }))
        << gw.Status().confirmed << " confirmed, " << gw.Status().stored << " stored, " << gw.Status().inFlight
        << " in flight, replaying " << gw.Status().replaying << ", last error " << gw.link->Status().lastError << "\n"
        << gw.lines.All();
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) {
        return Count(m, "spBv1.0/plant/DDATA/gw1/VPI1") == 1200 && m.back().topic == "vpivg/plant/gw1/checkpoint";
    }));
    std::vector<Message> got = sub.Messages();
    // Live data is not historical; a checkpoint follows the data it confirms, once 500 have gone
    // (the turn that passes 500 may have handed out up to 1000 more).
    std::size_t sinceCheckpoint = 0, checkpoints = 0;
    for (const Message& m : got) {
        if (m.topic == "vpivg/plant/gw1/checkpoint") {
            EXPECT_EQ(m.qos, 1);
            EXPECT_TRUE(m.payload.empty());
            EXPECT_LT(sinceCheckpoint, 1500u);
            sinceCheckpoint = 0;
            ++checkpoints;
        } else if (m.topic == "spBv1.0/plant/DDATA/gw1/VPI1") {
            auto payload = gatewaytest::Unpack(m.payload);
            ASSERT_NE(payload, nullptr);
            EXPECT_FALSE(payload->metrics[0]->has_is_historical && payload->metrics[0]->is_historical);
            ++sinceCheckpoint;
        }
    }
    EXPECT_EQ(sinceCheckpoint, 0u) << "the last data is confirmed too";
    EXPECT_GE(checkpoints, 2u);
    fs::remove_all(folder);
}

TEST(MqttLinkStore, NothingIsLetGoWhileThePrimaryHostHoldsTheBirths) {
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("primary");
    StoredLink gw(folder, broker->Port(), 16 * 1024 * 1024, "scada");
    ASSERT_TRUE(gw.lines.WaitFor("connected")) << gw.lines.All();
    for (int i = 0; i < 20; ++i) gw.link->Report(ReportOf(i, kBase + i));
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(gw.Status().stored, 20u) << "connected, but nothing may be published yet";
    EXPECT_EQ(Count(sub.Messages(), "spBv1.0/plant/DDATA/gw1/VPI1"), 0u);

    ASSERT_TRUE(sub.Publish("spBv1.0/STATE/scada", R"({"online":true,"timestamp":1796747846000})", 1, true));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/DDATA/gw1/VPI1") == 20; }))
        << gw.lines.All();
    EXPECT_TRUE(gw.WaitFor([](const ForwarderStatus& s) { return s.stored == 0 && s.confirmed == 20; }));
    // Kept until the host came: they go out as what they are now, stored data.
    auto payload = gatewaytest::Unpack(sub.Messages().back().payload);
    ASSERT_NE(payload, nullptr);
    EXPECT_TRUE(payload->metrics[0]->is_historical);
    ASSERT_TRUE(sub.Publish("spBv1.0/STATE/scada", "", 1, true));  // no retained state for later tests
    fs::remove_all(folder);
}

TEST(MqttLinkStore, AtItsBoundTheStoreDropsTheOldestAndTheLinkSaysHowManyAndWhen) {
    fs::path folder = Scratch("bound");
    StoredLink gw(folder, brokertest::FreePort(), Store::kMinBytes);  // no broker there
    const int reports = 4000;
    for (int i = 0; i < reports; ++i) gw.link->Report(ReportOf(i, kBase + i * 1000LL));
    ASSERT_TRUE(gw.lines.WaitFor("oldest reports were dropped")) << gw.lines.All();
    EXPECT_TRUE(gw.WaitFor([&](const ForwarderStatus& s) { return s.stored + s.dropped == reports; }))
        << gw.Status().stored << " stored, " << gw.Status().dropped << " dropped";
    EXPECT_GT(gw.Status().dropped, 0u);
    EXPECT_GT(gw.Status().stored, 100u) << "the newest are kept";
    const std::string all = gw.lines.All();
    EXPECT_NE(all.find("MQTT store " + gw.store->Path() + ": full; the "), std::string::npos) << all;
    EXPECT_NE(all.find("(acquired 2026-12-08 16:37:26 UTC to "), std::string::npos) << all;
    EXPECT_EQ(gw.lines.CountOf("oldest reports were dropped"), 1u) << "said once a minute, not once a batch";
    fs::remove_all(folder);
}
