// The edge node's session as a Sparkplug host sees it: every payload is decoded with the code
// generated from the schema and checked field by field.
#include <gtest/gtest.h>

#include <stdexcept>

#include "gateway_testing.hpp"
#include "sparkplug_protocol.hpp"

using namespace gateway;
using gatewaytest::BooleanCommand;
using gatewaytest::FindMetric;
using gatewaytest::MetricNames;
using gatewaytest::Topics;
using gatewaytest::Unpack;

namespace {

constexpr EpochMs kT0 = 1796747846123;  // 2026-12-08T16:37:26.123Z

// VPI 1 binds stream 1 (the four fixed fields, P05, P07); VPI 2, named "Oven", stream 3.
std::vector<Device> Devices() {
    return {Device{1, "VPI1", {{1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 7}}},
            Device{2, "Oven", {{3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}}}};
}

SparkplugProtocol Node(std::string primaryHost = "") {
    return SparkplugProtocol(SparkplugIds{"plant", "gw1", std::move(primaryHost)}, Devices(),
                             "7.0.0");
}

Report StreamOneReport(EpochMs at, double p05, bool historical = false) {
    return Report{1, 1, at,
                  {{1, 7, at}, {2, 3, at + 1}, {3, 250, at + 1}, {4, 1, at + 2}, {5, p05, at + 3}},
                  historical};
}

Report OvenReport(EpochMs at) {
    return Report{2, 3, at, {{1, 11, at}, {2, 0, at}, {3, 65535, at}, {4, 3, at}, {5, 78.0752, at}}};
}

std::uint64_t SeqOf(const OutMessage& message) {
    auto payload = Unpack(message);
    EXPECT_TRUE(payload && payload->has_seq) << message.topic;
    return payload && payload->has_seq ? payload->seq : 9999;
}

const std::string kNbirth = "spBv1.0/plant/NBIRTH/gw1";
const std::string kNdeath = "spBv1.0/plant/NDEATH/gw1";
const std::string kNcmd = "spBv1.0/plant/NCMD/gw1";
const std::string kDbirth1 = "spBv1.0/plant/DBIRTH/gw1/VPI1";
const std::string kDdata1 = "spBv1.0/plant/DDATA/gw1/VPI1";
const std::string kDdeath1 = "spBv1.0/plant/DDEATH/gw1/VPI1";
const std::string kDbirthOven = "spBv1.0/plant/DBIRTH/gw1/Oven";
const std::string kDdataOven = "spBv1.0/plant/DDATA/gw1/Oven";

}  // namespace

TEST(SparkplugNode, WillBirthAndPlannedDeathCarryTheConnectionsBdSeq) {
    SparkplugProtocol node = Node();
    for (std::uint64_t bdSeq : {0u, 7u, 255u}) {
        const OutMessage will = node.Will(bdSeq);
        EXPECT_EQ(will.topic, kNdeath);
        EXPECT_EQ(will.qos, 1);
        EXPECT_FALSE(will.retain);
        auto payload = Unpack(will);
        ASSERT_TRUE(payload);
        EXPECT_FALSE(payload->has_seq) << "NDEATH carries no seq";
        ASSERT_EQ(payload->n_metrics, 1u);
        const SparkplugB__Metric& metric = *payload->metrics[0];
        EXPECT_STREQ(metric.name, "bdSeq");
        EXPECT_EQ(metric.datatype, static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Int64));
        ASSERT_EQ(metric.value_case, SPARKPLUG_B__METRIC__VALUE_LONG_VALUE);
        EXPECT_EQ(metric.long_value, bdSeq);
    }

    const std::vector<OutMessage> birth = node.OnConnected(42, kT0);
    ASSERT_EQ(Topics(birth), std::vector<std::string>{kNbirth}) << "no device has reported yet";
    EXPECT_EQ(birth[0].qos, 0);
    EXPECT_FALSE(birth[0].retain);
    auto nbirth = Unpack(birth[0]);
    ASSERT_TRUE(nbirth);
    EXPECT_TRUE(nbirth->has_seq);
    EXPECT_EQ(nbirth->seq, 0u);
    EXPECT_EQ(nbirth->timestamp, static_cast<std::uint64_t>(kT0));
    EXPECT_EQ(MetricNames(*nbirth),
              (std::vector<std::string>{"bdSeq", "Node Control/Rebirth", "Properties/Version"}));
    const SparkplugB__Metric* bdSeq = FindMetric(*nbirth, "bdSeq");
    EXPECT_EQ(bdSeq->datatype, static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Int64));
    EXPECT_EQ(bdSeq->long_value, 42u);
    const SparkplugB__Metric* rebirth = FindMetric(*nbirth, "Node Control/Rebirth");
    EXPECT_EQ(rebirth->datatype, static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Boolean));
    ASSERT_EQ(rebirth->value_case, SPARKPLUG_B__METRIC__VALUE_BOOLEAN_VALUE);
    EXPECT_FALSE(rebirth->boolean_value);
    const SparkplugB__Metric* version = FindMetric(*nbirth, "Properties/Version");
    EXPECT_EQ(version->datatype, static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__String));
    ASSERT_EQ(version->value_case, SPARKPLUG_B__METRIC__VALUE_STRING_VALUE);
    EXPECT_STREQ(version->string_value, "7.0.0");

    const std::vector<OutMessage> stop = node.OnStop(kT0 + 5000);
    ASSERT_EQ(Topics(stop), std::vector<std::string>{kNdeath});
    EXPECT_EQ(stop[0].qos, 1);
    EXPECT_FALSE(stop[0].retain);
    auto ndeath = Unpack(stop[0]);
    ASSERT_TRUE(ndeath);
    EXPECT_FALSE(ndeath->has_seq);
    ASSERT_EQ(ndeath->n_metrics, 1u);
    EXPECT_EQ(ndeath->metrics[0]->long_value, 42u);
}

TEST(SparkplugNode, SubscribesToItsCommandsAndToThePrimaryHostsState) {
    const std::vector<Subscription> plain = Node().Subscriptions();
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_EQ(plain[0].topic, kNcmd);
    EXPECT_EQ(plain[1].topic, "spBv1.0/plant/DCMD/gw1/+");
    EXPECT_EQ(plain[0].qos, 1);
    EXPECT_EQ(plain[1].qos, 1);

    const std::vector<Subscription> hosted = Node("scada1").Subscriptions();
    ASSERT_EQ(hosted.size(), 3u);
    EXPECT_EQ(hosted[2].topic, "spBv1.0/STATE/scada1");
    EXPECT_EQ(hosted[2].qos, 1);
}

TEST(SparkplugNode, RefusesIdsThatBreakTheTopicRules) {
    const auto make = [](SparkplugIds ids, std::vector<Device> devices) {
        SparkplugProtocol node(std::move(ids), std::move(devices), "1");
    };
    EXPECT_THROW(make({"pl/ant", "gw1", ""}, Devices()), std::invalid_argument);
    EXPECT_THROW(make({"plant", "gw#1", ""}, Devices()), std::invalid_argument);
    EXPECT_THROW(make({"plant", "", ""}, Devices()), std::invalid_argument);
    EXPECT_THROW(make({"plant", "gw1", "host+"}, Devices()), std::invalid_argument);
    EXPECT_THROW(make({"plant", "gw1", ""}, {Device{1, "a/b", {}}}), std::invalid_argument);
    EXPECT_THROW(make({"plant", "gw1", ""}, {Device{1, "A", {}}, Device{2, "A", {}}}),
                 std::invalid_argument);
    try {
        make({"plant", "gw/1", ""}, Devices());
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("\"gw/1\""), std::string::npos) << error.what();
    }
}

TEST(SparkplugDevice, FirstReportBringsTheBirthOfEveryMetricThenDataOfTheReportOnly) {
    SparkplugProtocol node = Node();
    node.OnConnected(3, kT0);
    const std::vector<OutMessage> first = node.OnReport(StreamOneReport(kT0 + 100, 1.5), kT0 + 200);
    ASSERT_EQ(Topics(first), (std::vector<std::string>{kDbirth1, kDdata1}));
    for (const OutMessage& message : first) {
        EXPECT_EQ(message.qos, 0);
        EXPECT_FALSE(message.retain);
    }

    auto dbirth = Unpack(first[0]);
    ASSERT_TRUE(dbirth);
    EXPECT_EQ(dbirth->seq, 1u);
    EXPECT_EQ(dbirth->timestamp, static_cast<std::uint64_t>(kT0 + 200));
    EXPECT_EQ(MetricNames(*dbirth),
              (std::vector<std::string>{"I01/P01", "I01/P02", "I01/P03", "I01/P04", "I01/P05",
                                        "I01/P07", "Device Control/Poll"}));
    for (const char* fixed : {"I01/P01", "I01/P02", "I01/P03", "I01/P04"}) {
        EXPECT_EQ(FindMetric(*dbirth, fixed)->datatype,
                  static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Int32)) << fixed;
    }
    for (const char* parameter : {"I01/P05", "I01/P07"}) {
        EXPECT_EQ(FindMetric(*dbirth, parameter)->datatype,
                  static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Double)) << parameter;
    }
    // Nothing was known before this report: every measured metric is born null, without a value.
    for (std::size_t i = 0; i + 1 < dbirth->n_metrics; ++i) {
        EXPECT_TRUE(dbirth->metrics[i]->has_is_null && dbirth->metrics[i]->is_null)
            << dbirth->metrics[i]->name;
        EXPECT_EQ(dbirth->metrics[i]->value_case, SPARKPLUG_B__METRIC__VALUE__NOT_SET);
    }
    const SparkplugB__Metric* poll = FindMetric(*dbirth, "Device Control/Poll");
    EXPECT_EQ(poll->datatype, static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Boolean));
    ASSERT_EQ(poll->value_case, SPARKPLUG_B__METRIC__VALUE_BOOLEAN_VALUE);
    EXPECT_FALSE(poll->boolean_value);

    auto ddata = Unpack(first[1]);
    ASSERT_TRUE(ddata);
    EXPECT_EQ(ddata->seq, 2u);
    EXPECT_EQ(MetricNames(*ddata), (std::vector<std::string>{"I01/P01", "I01/P02", "I01/P03",
                                                             "I01/P04", "I01/P05"}));
    const std::pair<const char*, std::uint32_t> fixed[] = {
        {"I01/P01", 7}, {"I01/P02", 3}, {"I01/P03", 250}, {"I01/P04", 1}};
    for (const auto& [name, value] : fixed) {
        const SparkplugB__Metric* metric = FindMetric(*ddata, name);
        EXPECT_EQ(metric->datatype, static_cast<std::uint32_t>(SPARKPLUG_B__DATA_TYPE__Int32));
        ASSERT_EQ(metric->value_case, SPARKPLUG_B__METRIC__VALUE_INT_VALUE) << name;
        EXPECT_EQ(metric->int_value, value) << name;
    }
    const SparkplugB__Metric* p05 = FindMetric(*ddata, "I01/P05");
    ASSERT_EQ(p05->value_case, SPARKPLUG_B__METRIC__VALUE_DOUBLE_VALUE);
    EXPECT_EQ(p05->double_value, 1.5);
    // Each value keeps the moment the host saw its gate written, and is live data.
    EXPECT_EQ(FindMetric(*ddata, "I01/P01")->timestamp, static_cast<std::uint64_t>(kT0 + 100));
    EXPECT_EQ(FindMetric(*ddata, "I01/P03")->timestamp, static_cast<std::uint64_t>(kT0 + 101));
    EXPECT_EQ(p05->timestamp, static_cast<std::uint64_t>(kT0 + 103));
    for (std::size_t i = 0; i < ddata->n_metrics; ++i) {
        EXPECT_FALSE(ddata->metrics[i]->has_is_historical && ddata->metrics[i]->is_historical);
        EXPECT_FALSE(ddata->metrics[i]->has_is_null && ddata->metrics[i]->is_null);
    }

    // The device is born: its next report is data alone, and another device is born on its own.
    const std::vector<OutMessage> second = node.OnReport(StreamOneReport(kT0 + 1100, 2.5), kT0 + 1200);
    ASSERT_EQ(Topics(second), std::vector<std::string>{kDdata1});
    EXPECT_EQ(SeqOf(second[0]), 3u);
    const std::vector<OutMessage> oven = node.OnReport(OvenReport(kT0 + 1300), kT0 + 1400);
    ASSERT_EQ(Topics(oven), (std::vector<std::string>{kDbirthOven, kDdataOven}));
    auto ovenData = Unpack(oven[1]);
    ASSERT_TRUE(ovenData);
    EXPECT_EQ(FindMetric(*ovenData, "I03/P03")->int_value, 65535u);
    EXPECT_EQ(FindMetric(*ovenData, "I03/P05")->double_value, 78.0752);
}

TEST(SparkplugDevice, DataCarriesOnlyMetricsTheBirthNamedAndTheHistoricalMark) {
    SparkplugProtocol node = Node();
    node.OnConnected(0, kT0);
    // A report of no bound gate is no sign of a device: it is not born on it.
    EXPECT_TRUE(node.OnReport(Report{1, 1, kT0, {{6, 1, kT0}}}, kT0).empty());
    // P06 is not bound for VPI 1: a Sparkplug host would reject a metric it was never told of.
    Report report{1, 1, kT0, {{5, 0.25, kT0}, {6, 9.5, kT0 + 1}}, true};
    const std::vector<OutMessage> out = node.OnReport(report, kT0 + 50000);
    ASSERT_EQ(Topics(out), (std::vector<std::string>{kDbirth1, kDdata1}));
    auto ddata = Unpack(out[1]);
    ASSERT_TRUE(ddata);
    ASSERT_EQ(MetricNames(*ddata), std::vector<std::string>{"I01/P05"});
    const SparkplugB__Metric& metric = *ddata->metrics[0];
    EXPECT_TRUE(metric.has_is_historical && metric.is_historical);
    EXPECT_EQ(metric.timestamp, static_cast<std::uint64_t>(kT0)) << "the time it was acquired";
    EXPECT_EQ(ddata->timestamp, static_cast<std::uint64_t>(kT0 + 50000)) << "the time it was sent";

    // Reports of a VPI that is not a device, or of no bound gate, send nothing.
    EXPECT_TRUE(node.OnReport(Report{9, 1, kT0, {{5, 1, kT0}}}, kT0).empty());
    EXPECT_TRUE(node.OnReport(Report{1, 1, kT0, {{6, 1, kT0}}}, kT0).empty());
}

TEST(SparkplugDevice, MetricsAreNamedByTheirStreamAndParameterInTwoDigits) {
    SparkplugProtocol node(SparkplugIds{"plant", "gw1", ""}, {Device{1, "VPI1", {{42, 10}, {42, 99}, {9, 1}}}},
                           "7.0.0");
    node.OnConnected(0, kT0);
    const std::vector<OutMessage> out =
        node.OnReport(Report{1, 42, kT0, {{10, 1.0, kT0}, {99, 2.0, kT0}}}, kT0);
    ASSERT_EQ(Topics(out), (std::vector<std::string>{kDbirth1, kDdata1}));
    auto dbirth = Unpack(out[0]);
    ASSERT_TRUE(dbirth);
    EXPECT_EQ(MetricNames(*dbirth),
              (std::vector<std::string>{"I42/P10", "I42/P99", "I09/P01", "Device Control/Poll"}));
}

TEST(SparkplugDevice, SeqCountsEveryBirthDataAndDeathAndWrapsAfter255) {
    SparkplugProtocol node = Node();
    std::vector<OutMessage> all = node.OnConnected(1, kT0);
    for (int i = 0; i < 300; ++i) {
        const EpochMs at = kT0 + 1000 * i;
        std::vector<OutMessage> out;
        if (i % 50 == 49) {
            out = node.OnLink(1, false, at);  // a death in between, counted like the rest
        } else {
            out = node.OnReport(StreamOneReport(at, i), at);
        }
        all.insert(all.end(), out.begin(), out.end());
    }
    ASSERT_GT(all.size(), 300u);
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(SeqOf(all[i]), i % 256) << "message " << i << " on " << all[i].topic;
    }
    EXPECT_EQ(SeqOf(node.OnReport(OvenReport(kT0), kT0)[0]), all.size() % 256);
}

TEST(SparkplugDevice, LinkLossIsOneDeathAndTheNextReportARebirthWithoutTheOldValues) {
    SparkplugProtocol node = Node();
    node.OnConnected(5, kT0);
    node.OnReport(StreamOneReport(kT0 + 100, 1.5), kT0 + 100);

    const std::vector<OutMessage> loss = node.OnLink(1, false, kT0 + 9000);
    ASSERT_EQ(Topics(loss), std::vector<std::string>{kDdeath1});
    EXPECT_EQ(loss[0].qos, 0);
    EXPECT_FALSE(loss[0].retain);
    auto ddeath = Unpack(loss[0]);
    ASSERT_TRUE(ddeath);
    EXPECT_EQ(ddeath->seq, 3u);
    EXPECT_EQ(ddeath->timestamp, static_cast<std::uint64_t>(kT0 + 9000));
    EXPECT_EQ(ddeath->n_metrics, 0u) << "a death publishes no values, zeros least of all";

    // The loss is said once; the link coming back says nothing until a report comes.
    EXPECT_TRUE(node.OnLink(1, false, kT0 + 9500).empty());
    EXPECT_TRUE(node.OnLink(1, true, kT0 + 10000).empty());
    EXPECT_TRUE(node.OnLink(2, false, kT0 + 10000).empty()) << "never born, so never dead";

    const std::vector<OutMessage> back = node.OnReport(StreamOneReport(kT0 + 11000, 4.5), kT0 + 11000);
    ASSERT_EQ(Topics(back), (std::vector<std::string>{kDbirth1, kDdata1}));
    auto dbirth = Unpack(back[0]);
    ASSERT_TRUE(dbirth);
    EXPECT_EQ(dbirth->seq, 4u);
    // The values from before the loss are stale: the new birth does not present them as current.
    const SparkplugB__Metric* p05 = FindMetric(*dbirth, "I01/P05");
    ASSERT_NE(p05, nullptr);
    EXPECT_TRUE(p05->has_is_null && p05->is_null);
    auto ddata = Unpack(back[1]);
    ASSERT_TRUE(ddata);
    EXPECT_EQ(FindMetric(*ddata, "I01/P05")->double_value, 4.5);
}

TEST(SparkplugDevice, RebirthRepeatsTheNodeAndEveryLiveDeviceWithTheirKnownValues) {
    SparkplugProtocol node = Node();
    node.OnConnected(17, kT0);
    node.OnReport(StreamOneReport(kT0 + 100, 1.5), kT0 + 100);
    node.OnReport(StreamOneReport(kT0 + 200, 2.5), kT0 + 200);
    node.OnReport(OvenReport(kT0 + 300), kT0 + 300);
    node.OnLink(2, false, kT0 + 400);  // the oven's link is down: it is not reborn

    Actions actions;
    const std::vector<OutMessage> out =
        node.OnMessage(kNcmd, BooleanCommand("Node Control/Rebirth", true), kT0 + 500, &actions);
    EXPECT_TRUE(actions.polls.empty());
    EXPECT_TRUE(actions.notes.empty());
    ASSERT_EQ(Topics(out), (std::vector<std::string>{kNbirth, kDbirth1}));
    auto nbirth = Unpack(out[0]);
    ASSERT_TRUE(nbirth);
    EXPECT_EQ(nbirth->seq, 0u);
    EXPECT_EQ(FindMetric(*nbirth, "bdSeq")->long_value, 17u) << "bdSeq belongs to the connection";
    auto dbirth = Unpack(out[1]);
    ASSERT_TRUE(dbirth);
    EXPECT_EQ(dbirth->seq, 1u);
    const SparkplugB__Metric* p05 = FindMetric(*dbirth, "I01/P05");
    EXPECT_FALSE(p05->has_is_null && p05->is_null);
    EXPECT_EQ(p05->double_value, 2.5);
    EXPECT_EQ(p05->timestamp, static_cast<std::uint64_t>(kT0 + 203)) << "when it was seen";
    EXPECT_EQ(FindMetric(*dbirth, "I01/P03")->int_value, 250u);
    const SparkplugB__Metric* p07 = FindMetric(*dbirth, "I01/P07");
    EXPECT_TRUE(p07->has_is_null && p07->is_null) << "never reported";
    EXPECT_EQ(SeqOf(node.OnReport(StreamOneReport(kT0 + 600, 3), kT0 + 600)[0]), 2u);

    // Rebirth false, or a rebirth of the wrong type, is no rebirth.
    Actions quiet;
    EXPECT_TRUE(
        node.OnMessage(kNcmd, BooleanCommand("Node Control/Rebirth", false), kT0, &quiet).empty());
    EXPECT_TRUE(quiet.notes.empty());
    EXPECT_TRUE(node.OnMessage(kNcmd,
                               BooleanCommand("Node Control/Rebirth", true,
                                              SPARKPLUG_B__DATA_TYPE__Int32),
                               kT0, &quiet)
                    .empty());
    EXPECT_EQ(quiet.notes.size(), 1u);
}

TEST(SparkplugDevice, PollCommandAsksTheHostToPollThatVpiAndBadCommandsAreNoted) {
    SparkplugProtocol node = Node();
    node.OnConnected(0, kT0);
    Actions actions;
    EXPECT_TRUE(node.OnMessage("spBv1.0/plant/DCMD/gw1/Oven",
                               BooleanCommand("Device Control/Poll", true), kT0, &actions)
                    .empty());
    EXPECT_EQ(actions.polls, std::vector<int>{2});
    EXPECT_TRUE(actions.notes.empty());
    EXPECT_FALSE(actions.reconnect);

    // Each of these is ignored and says why, naming the topic.
    const std::pair<std::string, std::string> bad[] = {
        {"spBv1.0/plant/DCMD/gw1/Kiln", BooleanCommand("Device Control/Poll", true)},
        {"spBv1.0/plant/DCMD/gw1/VPI1",
         BooleanCommand("Device Control/Poll", true, SPARKPLUG_B__DATA_TYPE__String)},
        {"spBv1.0/plant/DCMD/gw1/VPI1", BooleanCommand("I01/P05", true)},
        {"spBv1.0/plant/DCMD/gw1/VPI1", std::string("\xff\xff\xff\x01", 4)},
        {kNcmd, std::string("\x0a\x05", 2)},
        {"spBv1.0/plant/DCMD/gw2/VPI1", BooleanCommand("Device Control/Poll", true)},
    };
    for (const auto& [topic, payload] : bad) {
        Actions ignored;
        EXPECT_TRUE(node.OnMessage(topic, payload, kT0, &ignored).empty()) << topic;
        EXPECT_TRUE(ignored.polls.empty()) << topic;
        ASSERT_EQ(ignored.notes.size(), 1u) << topic;
        EXPECT_NE(ignored.notes[0].find(topic), std::string::npos) << ignored.notes[0];
    }
    Actions falsePoll;
    node.OnMessage("spBv1.0/plant/DCMD/gw1/VPI1", BooleanCommand("Device Control/Poll", false),
                   kT0, &falsePoll);
    EXPECT_TRUE(falsePoll.polls.empty());
    EXPECT_TRUE(falsePoll.notes.empty());
}

TEST(SparkplugSession, WhileDisconnectedNothingIsSentAndTheNextSessionBirthsWhatIsAlive) {
    SparkplugProtocol node = Node();
    node.OnConnected(1, kT0);
    node.OnReport(StreamOneReport(kT0, 1.5), kT0);
    node.OnReport(OvenReport(kT0), kT0);
    node.OnDisconnected();

    EXPECT_TRUE(node.OnReport(StreamOneReport(kT0 + 1000, 2.5), kT0 + 1000).empty());
    EXPECT_TRUE(node.OnLink(2, false, kT0 + 1000).empty()) << "the will said the node is dead";
    EXPECT_TRUE(node.OnStop(kT0 + 1000).empty()) << "no connection to say it on";

    const std::vector<OutMessage> births = node.OnConnected(2, kT0 + 2000);
    ASSERT_EQ(Topics(births), (std::vector<std::string>{kNbirth, kDbirth1}));
    auto nbirth = Unpack(births[0]);
    ASSERT_TRUE(nbirth);
    EXPECT_EQ(nbirth->seq, 0u);
    EXPECT_EQ(FindMetric(*nbirth, "bdSeq")->long_value, 2u);
    auto dbirth = Unpack(births[1]);
    ASSERT_TRUE(dbirth);
    EXPECT_EQ(dbirth->seq, 1u);
    EXPECT_EQ(FindMetric(*dbirth, "I01/P05")->double_value, 2.5) << "kept while disconnected";
    // The oven comes back with its next report.
    EXPECT_EQ(Topics(node.OnReport(OvenReport(kT0 + 3000), kT0 + 3000)),
              (std::vector<std::string>{kDbirthOven, kDdataOven}));
}

TEST(SparkplugSession, WithAPrimaryHostBirthsWaitForItsOnlineState) {
    SparkplugProtocol node = Node("scada1");
    const std::string state = "spBv1.0/STATE/scada1";
    EXPECT_TRUE(node.OnConnected(8, kT0).empty());
    EXPECT_TRUE(node.OnReport(StreamOneReport(kT0 + 10, 1.5), kT0 + 10).empty());
    Actions early;
    EXPECT_TRUE(node.OnMessage(kNcmd, BooleanCommand("Node Control/Rebirth", true), kT0, &early)
                    .empty());

    // A retained offline state at connect: keep waiting, no reconnect loop.
    Actions offline;
    EXPECT_TRUE(node.OnMessage(state, R"({"online":false,"timestamp":1000})", kT0, &offline).empty());
    EXPECT_FALSE(offline.reconnect);

    Actions online;
    const std::vector<OutMessage> births =
        node.OnMessage(state, R"({"online":true,"timestamp":2000})", kT0 + 20, &online);
    ASSERT_EQ(Topics(births), (std::vector<std::string>{kNbirth, kDbirth1}));
    EXPECT_TRUE(online.notes.empty());
    auto nbirth = Unpack(births[0]);
    ASSERT_TRUE(nbirth);
    EXPECT_EQ(FindMetric(*nbirth, "bdSeq")->long_value, 8u);
    auto dbirth = Unpack(births[1]);
    ASSERT_TRUE(dbirth);
    EXPECT_EQ(FindMetric(*dbirth, "I01/P05")->double_value, 1.5);
    Actions again;
    EXPECT_TRUE(node.OnMessage(state, R"({"online":true,"timestamp":2000})", kT0, &again).empty())
        << "already born";
    EXPECT_EQ(Topics(node.OnReport(StreamOneReport(kT0 + 30, 2), kT0 + 30)),
              std::vector<std::string>{kDdata1});

    // Stale and malformed states are ignored and noted.
    const char* ignored[] = {R"({"online":false,"timestamp":1999})", R"({"online":"no"})",
                             "offline", R"({"online":false})", R"([1,2])"};
    for (const char* payload : ignored) {
        Actions noted;
        EXPECT_TRUE(node.OnMessage(state, payload, kT0, &noted).empty()) << payload;
        EXPECT_FALSE(noted.reconnect) << payload;
        EXPECT_EQ(noted.notes.size(), 1u) << payload;
    }

    // The host goes offline: this session ends with the node's death, the next waits again.
    Actions gone;
    EXPECT_TRUE(node.OnMessage(state, R"({"online":false,"timestamp":2000})", kT0, &gone).empty());
    EXPECT_TRUE(gone.reconnect);
    const std::vector<OutMessage> stop = node.OnStop(kT0 + 40);
    ASSERT_EQ(Topics(stop), std::vector<std::string>{kNdeath});
    EXPECT_EQ(Unpack(stop[0])->metrics[0]->long_value, 8u);
    node.OnDisconnected();
    EXPECT_TRUE(node.OnConnected(9, kT0 + 50).empty());
    Actions back;
    const std::vector<OutMessage> reborn =
        node.OnMessage(state, R"({"online":true,"timestamp":3000})", kT0 + 60, &back);
    ASSERT_EQ(Topics(reborn), (std::vector<std::string>{kNbirth, kDbirth1}));
    EXPECT_EQ(FindMetric(*Unpack(reborn[0]), "bdSeq")->long_value, 9u);
}
