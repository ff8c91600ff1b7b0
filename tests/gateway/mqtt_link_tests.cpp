// The MQTT link against a real mosquitto on 127.0.0.1: the Sparkplug session on the wire (births
// before data, seq over more than 256 messages, NDEATH at a planned stop, bdSeq one more on the
// next connection), commands from the broker, the JSON poll topic, and every broker failure said
// with the address and the reason while the link keeps trying.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "bdseq_file.hpp"
#include "json_protocol.hpp"
#include "link_testing.hpp"

using namespace gateway;
using brokertest::Broker;
using brokertest::Count;
using brokertest::Message;
using brokertest::Subscriber;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

using namespace linktest;


TEST(MqttLink, BirthsComeBeforeDataAndSeqRunsOnOverManyMessages) {
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("bdseq");
    Lines lines;
    std::uint64_t firstBdSeq = 0;
    constexpr int kReports = 300;
    {
        SparkplugProtocol node = Node();
        BdSeqFile bdSeq((folder / "node.bdseq").string());
        MqttLink link(Settings(broker->Port()), node, bdSeq, lines.Function());
        ASSERT_TRUE(link.Start(&why)) << why;
        ASSERT_TRUE(lines.WaitFor("connected (bdSeq 0)")) << lines.All();
        for (int i = 0; i < kReports; ++i) link.Report(ReportOf(i, 1796747846000 + i));
        ASSERT_TRUE(sub.WaitFor([&](const std::vector<Message>& m) {
            return Count(m, "spBv1.0/plant/DDATA/gw1/VPI1") == kReports;
        })) << lines.All();
        EXPECT_EQ(link.Status().state, LinkStatus::State::Connected);
        link.Stop();
        EXPECT_GE(link.Status().published, static_cast<std::uint64_t>(kReports + 3));
    }
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/NDEATH/gw1") == 1; }));
    std::vector<Message> got = sub.Messages();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kReports + 3));
    EXPECT_EQ(got[0].topic, "spBv1.0/plant/NBIRTH/gw1");
    EXPECT_EQ(got[1].topic, "spBv1.0/plant/DBIRTH/gw1/VPI1");
    firstBdSeq = BdSeqOf(got[0]);
    EXPECT_EQ(firstBdSeq, 0u);
    for (std::size_t i = 0; i + 1 < got.size(); ++i) {
        auto payload = gatewaytest::Unpack(got[i].payload);
        ASSERT_NE(payload, nullptr);
        EXPECT_EQ(payload->seq, i % 256) << got[i].topic;
        if (i >= 2) {
            const SparkplugB__Metric* p05 = gatewaytest::FindMetric(*payload, "I01/P05");
            ASSERT_NE(p05, nullptr);
            EXPECT_EQ(p05->double_value, ReportOf(static_cast<int>(i - 2), 0).values[2].value);
        }
    }
    // The planned stop's NDEATH carries the connection's bdSeq, and QoS 1.
    EXPECT_EQ(BdSeqOf(got.back()), firstBdSeq);
    EXPECT_EQ(got.back().qos, 1);

    // The next connection, by a new process as far as the file knows, is one more.
    sub.Clear();
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(broker->Port()), node, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/NBIRTH/gw1") == 1; }));
    EXPECT_EQ(BdSeqOf(sub.Messages()[0]), firstBdSeq + 1);
    fs::remove_all(folder);
}

TEST(MqttLink, RebirthAndPollComeFromTheBroker) {
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("cmd");
    Lines lines;
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(broker->Port()), node, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(lines.WaitFor("connected")) << lines.All();
    link.Report(ReportOf(1, 1796747846000));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/DDATA/gw1/VPI1") == 1; }));
    sub.Clear();

    ASSERT_TRUE(sub.Publish("spBv1.0/plant/NCMD/gw1", gatewaytest::BooleanCommand("Node Control/Rebirth", true), 0));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/DBIRTH/gw1/VPI1") == 1; }));
    std::vector<Message> got = sub.Messages();
    ASSERT_EQ(got.size(), 3u);  // the command itself, NBIRTH, DBIRTH
    EXPECT_EQ(got[1].topic, "spBv1.0/plant/NBIRTH/gw1");
    EXPECT_EQ(BdSeqOf(got[1]), 0u) << "a rebirth keeps the connection's bdSeq";

    EXPECT_TRUE(link.TakePolls().empty());
    ASSERT_TRUE(sub.Publish("spBv1.0/plant/DCMD/gw1/VPI1", gatewaytest::BooleanCommand("Device Control/Poll", true), 0));
    std::vector<int> polls;
    for (int i = 0; i < 250 && polls.empty(); ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        polls = link.TakePolls();
    }
    EXPECT_EQ(polls, std::vector<int>{1});
    fs::remove_all(folder);
}

TEST(MqttLink, JsonStatusIsRetainedAndAnyMessageOnThePollTopicPolls) {
    START_BROKER(brokertest::BrokerOptions{});
    fs::path folder = Scratch("json");
    Lines lines;
    JsonProtocol json(JsonSettings{"vpivg/gw1", 1}, Devices());
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    {
        MqttLink link(Settings(broker->Port()), json, bdSeq, lines.Function());
        ASSERT_TRUE(link.Start(&why)) << why;
        ASSERT_TRUE(lines.WaitFor("connected")) << lines.All();
        link.Report(ReportOf(1, 1796747846123));
        // A subscriber that comes later still reads the node's state: it is retained.
        Subscriber sub(broker->Port(), {"vpivg/gw1/#"});
        ASSERT_TRUE(sub.Ok());
        ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "vpivg/gw1/status") == 1; }));
        // Retained messages of several topics come in no set order: find the node's own.
        const std::vector<Message> seen = sub.Messages();
        auto status = std::find_if(seen.begin(), seen.end(),
                                   [](const Message& m) { return m.topic == "vpivg/gw1/status"; });
        ASSERT_NE(status, seen.end());
        EXPECT_EQ(status->payload, "online");
        EXPECT_TRUE(status->retain);
        ASSERT_TRUE(sub.Publish("vpivg/gw1/VPI1/poll", "", 1));
        std::vector<int> polls;
        for (int i = 0; i < 250 && polls.empty(); ++i) {
            std::this_thread::sleep_for(milliseconds(20));
            polls = link.TakePolls();
        }
        EXPECT_EQ(polls, std::vector<int>{1});
    }
    Subscriber after(broker->Port(), {"vpivg/gw1/status"});
    ASSERT_TRUE(after.WaitFor([](const std::vector<Message>& m) { return !m.empty(); }));
    EXPECT_EQ(after.Messages()[0].payload, "offline") << "the planned stop says so, retained";
    fs::remove_all(folder);
}

TEST(MqttLink, AnIdleLinkKeepsItsSessionAliveWithPings) {
    // The broker ends a session it hears nothing on for one and a half keepalives (mosquitto
    // checks now and then, so a silent client goes after 11 to 15 s at 5 s); an idle link must
    // ping within that, from its own turns.
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("keepalive");
    Lines lines;
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    LinkSettings settings = Settings(broker->Port());
    settings.keepaliveS = 5;
    MqttLink link(settings, node, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(lines.WaitFor("connected (bdSeq 0)")) << lines.All();
    std::this_thread::sleep_for(std::chrono::milliseconds(15000));
    link.Report(ReportOf(1, 1796747846000));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/DDATA/gw1/VPI1") == 1; }))
        << lines.All();
    EXPECT_EQ(lines.CountOf("connection lost"), 0u) << lines.All();
    EXPECT_EQ(Count(sub.Messages(), "spBv1.0/plant/NBIRTH/gw1"), 1) << "a second session";
    link.Stop();
    fs::remove_all(folder);
}

TEST(MqttLink, AnAbsentBrokerIsSaidAndRetriedWithBackOff) {
    int port = brokertest::FreePort();
    fs::path folder = Scratch("absent");
    Lines lines;
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(port), node, bdSeq, lines.Function());
    std::string why;
    ASSERT_TRUE(link.Start(&why)) << why;
    const std::string where = "MQTT mqtt://127.0.0.1:" + std::to_string(port) + ": Connection refused; retrying in ";
    ASSERT_TRUE(lines.WaitFor(where + "1 s")) << lines.All();
    ASSERT_TRUE(lines.WaitFor(where + "2 s", milliseconds(5000))) << lines.All();
    // Reports while the broker is away cost nothing and wait for no one.
    auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) link.Report(ReportOf(i, 1796747846000 + i));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    LinkStatus status = link.Status();
    EXPECT_EQ(status.state, LinkStatus::State::Retrying);
    EXPECT_EQ(status.lastError, "Connection refused");
    auto stopAt = std::chrono::steady_clock::now();
    link.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(3));
    fs::remove_all(folder);
}

TEST(MqttLink, AFullQueueIsCountedAndSaidOnce) {
    fs::path folder = Scratch("full");
    Lines lines;
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    LinkSettings settings = Settings(brokertest::FreePort());
    settings.queueLimit = 0;  // every entry finds the queue full
    MqttLink link(settings, node, bdSeq, lines.Function());
    std::string why;
    ASSERT_TRUE(link.Start(&why)) << why;
    for (int i = 0; i < 5; ++i) link.Report(ReportOf(i, 0));
    EXPECT_EQ(link.Status().overflowed, 5u);
    EXPECT_EQ(lines.CountOf("the queue to the broker is full (0 entries); 1 reports and link changes dropped"), 1u)
        << lines.All();
    EXPECT_EQ(lines.CountOf("queue to the broker is full"), 1u) << "said at most once a minute";
    link.Stop();
    fs::remove_all(folder);
}

// TLS and logins: one broker with a password file and two TLS listeners (the right certificate
// for 127.0.0.1, and one for another name).
class MqttLinkSecured : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = Scratch("tls");
        std::string why;
        if (!ca_.Make(folder_ / "ca", &why)) GTEST_SKIP() << why;
        brokertest::BrokerOptions options;
        options.anonymous = false;
        options.users = {{"plant", "s3cret word"}};
        options.tls = &ca_;
        broker_ = Broker::Start(folder_ / "broker", options, &why);
        if (!broker_) GTEST_SKIP() << why;
    }
    void TearDown() override {
        broker_.reset();
        fs::remove_all(folder_);
    }
    // Runs a link until `part` is in its log; returns the log.
    std::string RunUntil(LinkSettings settings, const std::string& part, LinkStatus* status = nullptr) {
        Lines lines;
        SparkplugProtocol node = Node();
        BdSeqFile bdSeq((folder_ / "node.bdseq").string());
        MqttLink link(std::move(settings), node, bdSeq, lines.Function());
        std::string why;
        EXPECT_TRUE(link.Start(&why)) << why;
        EXPECT_TRUE(lines.WaitFor(part)) << lines.All() << broker_->Log();
        if (status) *status = link.Status();
        return lines.All();
    }
    fs::path folder_;
    brokertest::TestCa ca_;
    std::unique_ptr<Broker> broker_;
};

TEST_F(MqttLinkSecured, TlsWithTheTestCaAndAPasswordConnects) {
    LinkSettings settings = Settings(broker_->TlsPort(), true);
    settings.caFile = ca_.caFile.string();
    settings.user = "plant";
    fs::path passwordFile = folder_ / "password";
    std::ofstream(passwordFile) << "s3cret word\nnot this line\n";
    std::string why;
    ASSERT_TRUE(ReadPasswordFile(passwordFile.string(), &settings.password, &why)) << why;
    EXPECT_EQ(settings.password, "s3cret word");
    LinkStatus status;
    RunUntil(settings, "MQTT mqtts://127.0.0.1:" + std::to_string(broker_->TlsPort()) + ": connected", &status);
    EXPECT_EQ(status.state, LinkStatus::State::Connected);
}

TEST_F(MqttLinkSecured, ARefusedLoginIsSaidWithTheBrokersReason) {
    LinkSettings settings = Settings(broker_->Port());
    settings.user = "plant";
    settings.password = "wrong";
    LinkStatus status;
    RunUntil(settings,
             "MQTT mqtt://127.0.0.1:" + std::to_string(broker_->Port()) +
                 ": the broker refused the connection: Connection Refused: not authorised.; retrying in 1 s",
             &status);
    EXPECT_EQ(status.state, LinkStatus::State::Retrying);
}

TEST_F(MqttLinkSecured, AnUnknownCaIsSaidAsTheCertificatesFault) {
    LinkSettings settings = Settings(broker_->TlsPort(), true);
    settings.caFile = ca_.strangerCaFile.string();
    settings.user = "plant";
    settings.password = "s3cret word";
    RunUntil(settings, "MQTT mqtts://127.0.0.1:" + std::to_string(broker_->TlsPort()) +
                           ": TLS: the broker's certificate is refused: self-signed certificate in certificate chain; "
                           "retrying in 1 s");
}

TEST_F(MqttLinkSecured, ACertificateForAnotherNameIsRefused) {
    LinkSettings settings = Settings(broker_->OtherNameTlsPort(), true);
    settings.caFile = ca_.caFile.string();
    settings.user = "plant";
    settings.password = "s3cret word";
    RunUntil(settings, "MQTT mqtts://127.0.0.1:" + std::to_string(broker_->OtherNameTlsPort()) +
                           ": TLS: the broker's certificate is refused: IP address mismatch; retrying in 1 s");
}

// The broker goes away mid-session and comes back on the same port: the loss is said, the link
// connects again with the next bdSeq and births everything again.
TEST(MqttLink, ALostBrokerIsSaidAndTheNextSessionBirthsAgain) {
    fs::path folder = Scratch("lost");
    std::string why;
    auto broker = Broker::Start(folder / "b1", brokertest::BrokerOptions{}, &why);
    if (!broker) GTEST_SKIP() << why;
    const int port = broker->Port();
    Lines lines;
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(port), node, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(lines.WaitFor("connected (bdSeq 0)")) << lines.All();
    link.Report(ReportOf(1, 1796747846000));
    broker.reset();
    // The reason is the broker's closing, or a write that met the closed socket first.
    ASSERT_TRUE(lines.WaitFor("MQTT mqtt://127.0.0.1:" + std::to_string(port) + ": connection lost: ")) << lines.All();
    EXPECT_TRUE(lines.CountOf("connection lost: the broker closed the connection; retrying in 1 s") +
                    lines.CountOf("connection lost: Broken pipe; retrying in 1 s") ==
                1)
        << lines.All();
    // Reports while it is away keep the device's values for the next birth.
    link.Report(ReportOf(2, 1796747847000));

    brokertest::BrokerOptions again;
    again.port = port;
    broker = Broker::Start(folder / "b2", again, &why);
    ASSERT_TRUE(broker) << why;
    Subscriber sub(port, {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    ASSERT_TRUE(lines.WaitFor("connected (bdSeq 1)", milliseconds(15000))) << lines.All();
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/DBIRTH/gw1/VPI1") == 1; }));
    auto birth = gatewaytest::Unpack(sub.Messages().back().payload);
    ASSERT_NE(birth, nullptr);
    const SparkplugB__Metric* p05 = gatewaytest::FindMetric(*birth, "I01/P05");
    ASSERT_NE(p05, nullptr);
    EXPECT_EQ(p05->double_value, ReportOf(2, 0).values[2].value);
    link.Stop();
    fs::remove_all(folder);
}

// With a primary host: no birth before its STATE says online; offline ends the session (NDEATH,
// DISCONNECT) and the next one waits for online again.
TEST(MqttLink, APrimaryHostGatesTheBirthsAndItsOfflineEndsTheSession) {
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("primary");
    Lines lines;
    SparkplugProtocol node(SparkplugIds{"plant", "gw1", "scada"}, Devices(), "test 1.0");
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(broker->Port()), node, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(lines.WaitFor("connected (bdSeq 0)")) << lines.All();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(Count(sub.Messages(), "spBv1.0/plant/NBIRTH/gw1"), 0u) << "no birth before the host is online";

    ASSERT_TRUE(sub.Publish("spBv1.0/STATE/scada", R"({"online":true,"timestamp":1796747846000})", 1, true));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/NBIRTH/gw1") == 1; }));
    ASSERT_TRUE(sub.Publish("spBv1.0/STATE/scada", R"({"online":false,"timestamp":1796747847000})", 1, true));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/NDEATH/gw1") == 1; }));
    ASSERT_TRUE(lines.WaitFor("connected (bdSeq 1)")) << lines.All();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(Count(sub.Messages(), "spBv1.0/plant/NBIRTH/gw1"), 1u) << "the retained offline holds the births back";
    link.Stop();
    fs::remove_all(folder);
}

// libmosquitto may write a QoS 0 message inside the publish call and say so before the call
// returns: such a message must not be counted in flight, or the link stops after a thousand.
TEST(MqttLink, FarMoreMessagesThanMayBeInFlightAllGoOut) {
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"spBv1.0/plant/#"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("many");
    Lines lines;
    SparkplugProtocol node = Node();
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(broker->Port()), node, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(lines.WaitFor("connected")) << lines.All();
    for (int i = 0; i < 3000; ++i) {
        link.Report(ReportOf(i, 1796747846000 + i));
        if (i % 500 == 499) std::this_thread::sleep_for(milliseconds(50));  // within the queue's bound
    }
    EXPECT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return Count(m, "spBv1.0/plant/DDATA/gw1/VPI1") == 3000; }))
        << Count(sub.Messages(), "spBv1.0/plant/DDATA/gw1/VPI1") << " of 3000 arrived";
    fs::remove_all(folder);
}

TEST(MqttLink, QosOneMessagesGoOutWithoutWaitingForTheAcknowledgementsOfTheOnesBefore) {
    // A broker across a network acknowledges a round trip later. A link that held its messages
    // back after a few unacknowledged ones would carry only that many per round trip, and send
    // each of the rest as a packet of its own once an acknowledgement came.
    START_BROKER(brokertest::BrokerOptions{});
    Subscriber sub(broker->Port(), {"vpivg/gw1/VPI1/I01"});
    ASSERT_TRUE(sub.Ok());
    fs::path folder = Scratch("window");
    Lines lines;
    JsonProtocol json(JsonSettings{"vpivg/gw1", 1}, Devices());
    BdSeqFile bdSeq((folder / "node.bdseq").string());
    MqttLink link(Settings(broker->Port()), json, bdSeq, lines.Function());
    ASSERT_TRUE(link.Start(&why)) << why;
    ASSERT_TRUE(lines.WaitFor("connected")) << lines.All();
    link.Report(ReportOf(0, 1796747846000));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return m.size() == 1; }));

    broker->Pause();
    constexpr int kReports = 300;
    const std::size_t before = broker->UnreadBytes();
    for (int i = 1; i <= kReports; ++i) link.Report(ReportOf(i, 1796747846000 + i));
    // Each report is a PUBLISH of well over 60 bytes (its topic and JSON text).
    const std::size_t wanted = kReports * 60;
    auto sent = [&] { return broker->UnreadBytes() - before; };
    for (int i = 0; i < 250 && sent() < wanted; ++i) std::this_thread::sleep_for(milliseconds(20));
    const std::size_t sentBeforeResume = sent();
    broker->Resume();
    EXPECT_GE(sentBeforeResume, wanted) << "only " << sentBeforeResume << " bytes went out before an acknowledgement";
    EXPECT_TRUE(sub.WaitFor([](const std::vector<Message>& m) { return m.size() == kReports + 1; }))
        << sub.Messages().size() << " of " << kReports + 1 << " arrived";
    fs::remove_all(folder);
}
