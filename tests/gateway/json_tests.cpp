// The JSON format as a consumer reads it: topics, retained state texts, and data texts whose
// numbers parse back to exactly what the driver wrote.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "gateway_testing.hpp"
#include "json_payload.hpp"
#include "json_protocol.hpp"

using namespace gateway;
using gatewaytest::Topics;

namespace {

constexpr EpochMs kT0 = 1796747846123;  // 2026-12-08T16:37:26.123Z

std::vector<Device> Devices() {
    return {Device{1, "VPI1", {{1, 1}, {1, 5}}}, Device{2, "Oven", {{3, 1}, {3, 5}}}};
}

JsonProtocol Gateway(int qos = 1) { return JsonProtocol(JsonSettings{"vpivg/gw1", qos}, Devices()); }

Report OvenReport(EpochMs at, bool historical = false) {
    return Report{2, 3, at, {{1, 11, at}, {4, 3, at}, {5, 78.0752, at + 2}}, historical};
}

}  // namespace

TEST(JsonPayload, ReportTextHasTimeValuesAndHistoricalInThatOrder) {
    EXPECT_EQ(ReportJson(OvenReport(kT0)),
              R"({"time":"2026-12-08T16:37:26.123Z","values":{"P01":11,"P04":3,"P05":78.0752},)"
              R"("historical":false})");
    const nlohmann::json late = nlohmann::json::parse(ReportJson(OvenReport(kT0, true)));
    EXPECT_EQ(late["historical"], true);
    // A parameter that happens to be whole stays a double, a non-finite one becomes null (JSON
    // has neither NaN nor infinity), a fixed field that is not whole is not rounded away.
    const Report odd{1, 1, kT0,
                     {{5, 2.0, kT0}, {6, std::numeric_limits<double>::quiet_NaN(), kT0},
                      {7, -std::numeric_limits<double>::infinity(), kT0}, {2, 2.5, kT0}}};
    EXPECT_EQ(ReportJson(odd), R"({"time":"2026-12-08T16:37:26.123Z","values":{"P05":2.0,)"
                               R"("P06":null,"P07":null,"P02":2.5},"historical":false})");
}

TEST(JsonPayload, TimesAreUtcWithMillisecondsAcrossCalendarEdges) {
    EXPECT_EQ(FormatUtcMs(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcMs(kT0), "2026-12-08T16:37:26.123Z");
    EXPECT_EQ(FormatUtcMs(951782399999), "2000-02-28T23:59:59.999Z");
    EXPECT_EQ(FormatUtcMs(951782400000), "2000-02-29T00:00:00.000Z");
    EXPECT_EQ(FormatUtcMs(4102444800000), "2100-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcMs(-1), "1969-12-31T23:59:59.999Z");
}

TEST(JsonPayload, EveryDoubleReadsBackBitForBit) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> param(5, 99);
    std::vector<double> samples = {78.0752, 0.1, 1.0 / 3.0, 1e-300, 5e-324, -0.0, 1.7976931348623157e308,
                                   123456789.123456789, 2.5e-7};
    std::uniform_real_distribution<double> ordinary(-1e6, 1e6);
    for (int i = 0; i < 4000; ++i) {
        samples.push_back(ordinary(random));
        // Any finite bit pattern at all, not only the ones a uniform draw gives.
        std::uint64_t bits = random();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value)) {
            samples.push_back(value);
        }
    }
    for (const double value : samples) {
        const int p = param(random);
        const Report report{1, 1, kT0, {{p, value, kT0}}};
        const std::string text = ReportJson(report);
        char key[8];
        std::snprintf(key, sizeof key, "P%02d", p);
        const double back = nlohmann::json::parse(text)["values"][key].get<double>();
        std::uint64_t sent = 0;
        std::uint64_t read = 0;
        std::memcpy(&sent, &value, sizeof sent);
        std::memcpy(&read, &back, sizeof read);
        ASSERT_EQ(read, sent) << text << " for " << value;
    }
}

TEST(JsonSession, StatusIsRetainedOnlineAndTheWillAndStopSayOffline) {
    JsonProtocol json = Gateway();
    const OutMessage will = json.Will(3);
    EXPECT_EQ(will.topic, "vpivg/gw1/status");
    EXPECT_EQ(will.payload, "offline");
    EXPECT_EQ(will.qos, 1);
    EXPECT_TRUE(will.retain);

    const std::vector<OutMessage> connected = json.OnConnected(3, kT0);
    ASSERT_EQ(Topics(connected), (std::vector<std::string>{"vpivg/gw1/status", "vpivg/gw1/VPI1/link",
                                                           "vpivg/gw1/Oven/link"}));
    EXPECT_EQ(connected[0].payload, "online");
    // Link states left on the broker by an earlier run are replaced by what holds now.
    EXPECT_EQ(connected[1].payload, "down");
    EXPECT_EQ(connected[2].payload, "down");
    for (const OutMessage& message : connected) {
        EXPECT_TRUE(message.retain) << message.topic;
        EXPECT_EQ(message.qos, 1) << message.topic;
    }
    const std::vector<OutMessage> stop = json.OnStop(kT0);
    ASSERT_EQ(Topics(stop), std::vector<std::string>{"vpivg/gw1/status"});
    EXPECT_EQ(stop[0].payload, "offline");
    EXPECT_TRUE(stop[0].retain);
    EXPECT_EQ(stop[0].qos, 1);

    const std::vector<Subscription> subscriptions = json.Subscriptions();
    ASSERT_EQ(subscriptions.size(), 1u);
    EXPECT_EQ(subscriptions[0].topic, "vpivg/gw1/+/poll");
}

TEST(JsonSession, DataGoesPerStreamAndTheLinkIsUpWithTheFirstReportAndDownAtALoss) {
    for (const int qos : {0, 1}) {
        JsonProtocol json = Gateway(qos);
        json.OnConnected(0, kT0);
        const std::vector<OutMessage> first = json.OnReport(OvenReport(kT0), kT0);
        ASSERT_EQ(Topics(first), (std::vector<std::string>{"vpivg/gw1/Oven/link", "vpivg/gw1/Oven/I03"}));
        EXPECT_EQ(first[0].payload, "up");
        EXPECT_TRUE(first[0].retain);
        EXPECT_EQ(first[1].payload, ReportJson(OvenReport(kT0)));
        EXPECT_EQ(first[1].qos, qos);
        EXPECT_FALSE(first[1].retain);
        EXPECT_EQ(Topics(json.OnReport(OvenReport(kT0 + 1000), kT0 + 1000)),
                  std::vector<std::string>{"vpivg/gw1/Oven/I03"});

        EXPECT_TRUE(json.OnLink(2, true, kT0).empty());
        const std::vector<OutMessage> loss = json.OnLink(2, false, kT0 + 2000);
        ASSERT_EQ(Topics(loss), std::vector<std::string>{"vpivg/gw1/Oven/link"});
        EXPECT_EQ(loss[0].payload, "down");
        EXPECT_TRUE(loss[0].retain);
        EXPECT_TRUE(json.OnLink(2, false, kT0 + 3000).empty()) << "said once";
        EXPECT_TRUE(json.OnLink(2, true, kT0 + 4000).empty()) << "up waits for a report";
        const std::vector<OutMessage> back = json.OnReport(OvenReport(kT0 + 5000), kT0 + 5000);
        ASSERT_EQ(Topics(back), (std::vector<std::string>{"vpivg/gw1/Oven/link", "vpivg/gw1/Oven/I03"}));
        EXPECT_EQ(back[0].payload, "up");
    }
}

TEST(JsonSession, WhileDisconnectedNothingIsSentAndTheNextSessionSaysTheLinksAsTheyAre) {
    JsonProtocol json = Gateway();
    json.OnConnected(0, kT0);
    json.OnReport(OvenReport(kT0), kT0);
    json.OnDisconnected();
    EXPECT_TRUE(json.OnReport(Report{1, 1, kT0, {{5, 1.5, kT0}}}, kT0).empty());
    EXPECT_TRUE(json.OnLink(2, false, kT0).empty());
    EXPECT_TRUE(json.OnStop(kT0).empty()) << "no connection to say it on";
    const std::vector<OutMessage> connected = json.OnConnected(1, kT0 + 1000);
    ASSERT_EQ(connected.size(), 3u);
    EXPECT_EQ(connected[1].topic, "vpivg/gw1/VPI1/link");
    EXPECT_EQ(connected[1].payload, "up");
    EXPECT_EQ(connected[2].topic, "vpivg/gw1/Oven/link");
    EXPECT_EQ(connected[2].payload, "down");
    EXPECT_EQ(Topics(json.OnReport(Report{1, 1, kT0, {{5, 1.5, kT0}}}, kT0)),
              std::vector<std::string>{"vpivg/gw1/VPI1/I01"});
}

TEST(JsonSession, AnyMessageOnADevicesPollTopicPollsItsVpi) {
    JsonProtocol json = Gateway();
    json.OnConnected(0, kT0);
    for (const char* payload : {"", "1", "poll now", "\xff"}) {
        Actions actions;
        EXPECT_TRUE(json.OnMessage("vpivg/gw1/Oven/poll", payload, kT0, &actions).empty());
        EXPECT_EQ(actions.polls, std::vector<int>{2}) << payload;
        EXPECT_TRUE(actions.notes.empty());
    }
    Actions unknown;
    json.OnMessage("vpivg/gw1/Kiln/poll", "", kT0, &unknown);
    EXPECT_TRUE(unknown.polls.empty());
    ASSERT_EQ(unknown.notes.size(), 1u);
    EXPECT_NE(unknown.notes[0].find("vpivg/gw1/Kiln/poll"), std::string::npos);
}

TEST(JsonSession, PrefixDefaultsToTheNodeAndBadSettingsAreRefused) {
    EXPECT_EQ(DefaultJsonPrefix("gw1"), "vpivg/gw1");
    JsonProtocol custom(JsonSettings{"site/hall 2/analyser", 0}, Devices());
    EXPECT_EQ(custom.DataTopic("VPI1", 123), "site/hall 2/analyser/VPI1/I123");
    EXPECT_THROW(JsonProtocol(JsonSettings{"vpivg/#", 1}, Devices()), std::invalid_argument);
    EXPECT_THROW(JsonProtocol(JsonSettings{"vpivg/gw1", 2}, Devices()), std::invalid_argument);
    EXPECT_THROW(JsonProtocol(JsonSettings{"vpivg/gw1", 1}, {Device{1, "a+b", {}}}),
                 std::invalid_argument);
}
