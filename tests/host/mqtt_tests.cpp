// vpivg-host as an MQTT gateway, with the driver, the simulator on a null-modem line and a real
// mosquitto: every DDATA value is what the simulator sent, births come first, a silence is a
// DDEATH with no zero ever published, and polls asked for over MQTT reach the instrument.
#if defined(VPIVG_HAVE_MQTT)
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "gateway_run.hpp"

using namespace gatewayrun;

TEST(HostMqtt, SparkplugCarriesEveryValueSentAndASilenceIsADeathWithoutZeros) {
    std::string why;
    auto broker = StartBroker(&why);
    if (!broker) GTEST_SKIP() << why;
    Plan plan;
    plan.silenceAtS = 8;
    plan.silenceMs = 3000;
    plan.pollAtS = 6.5;
    plan.runS = 14;
    Outcome run;
    if (!RunGateway(plan, *broker, &run)) GTEST_SKIP() << "no test line on this machine";
    ASSERT_GT(run.sent.size(), 20u) << run.screen;

    const std::string device = "spBv1.0/vpivg/%s/NODE/Analyser";
    auto topic = [&](const char* type) {
        char text[96];
        std::snprintf(text, sizeof text, device.c_str(), type);
        return std::string(text);
    };
    ASSERT_FALSE(run.messages.empty());
    EXPECT_EQ(run.messages.front().topic, "spBv1.0/vpivg/NBIRTH/NODE");
    std::vector<Values> published;
    bool born = false;
    int births = 0, deaths = 0;
    for (const Message& m : run.messages) {
        if (m.topic == topic("DBIRTH")) {
            born = true;
            births++;
        } else if (m.topic == topic("DDEATH")) {
            born = false;
            deaths++;
        } else if (m.topic == topic("DDATA")) {
            EXPECT_TRUE(born) << "DDATA without a DBIRTH before it";
            auto payload = gatewaytest::Unpack(m.payload);
            ASSERT_NE(payload, nullptr);
            int stream = 0;
            Values values = Decoded(*payload, &stream);
            for (const auto& [param, value] : values) {
                EXPECT_NE(value, 0) << "I" << stream << "/P" << param << ": a zero is the driver's reset, not a value";
            }
            published.push_back(values);
        }
    }
    EXPECT_EQ(births, 2) << "born at the first report, and again after the silence";
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(run.messages.back().topic, "spBv1.0/vpivg/NDEATH/NODE");

    std::vector<Values> expected;
    bool pollAnswered = false;
    for (const auto& report : run.sent) {
        if (!report.Intact()) continue;
        expected.push_back(Sent(report));
        pollAnswered = pollAnswered || report.polled;
    }
    ASSERT_EQ(published.size(), expected.size()) << run.screen;
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(published[i], expected[i]) << "report " << i;
    EXPECT_GT(run.pollsAnswered, 0u) << "the DCMD's poll reached the instrument";
    EXPECT_TRUE(pollAnswered);
    EXPECT_NE(run.screen.find("VPI 4: poll asked for over MQTT"), std::string::npos) << run.screen;
}

TEST(HostMqtt, JsonCarriesEveryValueSentAndPollsFromItsTopic) {
    std::string why;
    auto broker = StartBroker(&why);
    if (!broker) GTEST_SKIP() << why;
    Plan plan;
    plan.format = "json";
    plan.pollAtS = 6.5;
    plan.runS = 9;
    Outcome run;
    if (!RunGateway(plan, *broker, &run)) GTEST_SKIP() << "no test line on this machine";

    std::vector<Values> published;
    std::vector<std::string> states;
    for (const Message& m : run.messages) {
        if (m.topic == "vpivg/NODE/status" || m.topic == "vpivg/NODE/Analyser/link") {
            // Retained on the broker; a subscriber already there gets them as live messages.
            states.push_back(m.topic.substr(11) + "=" + m.payload);
            continue;
        }
        if (m.topic.rfind("vpivg/NODE/Analyser/I", 0) != 0) continue;
        auto json = nlohmann::json::parse(m.payload);
        EXPECT_FALSE(json["historical"].get<bool>());
        EXPECT_EQ(json["time"].get<std::string>().size(), 24u) << m.payload;
        Values values;
        for (const auto& [name, value] : json["values"].items()) values[std::stoi(name.substr(1))] = value.get<double>();
        EXPECT_EQ(m.topic, "vpivg/NODE/Analyser/I0" + std::to_string(static_cast<int>(values[4])));
        EXPECT_EQ(m.qos, 1);
        published.push_back(values);
    }
    std::vector<Values> expected;
    for (const auto& report : run.sent) {
        if (report.Intact()) expected.push_back(Sent(report));
    }
    ASSERT_EQ(published.size(), expected.size()) << run.screen;
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(published[i], expected[i]) << "report " << i;
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front(), "status=online");
    // Down while the line is silent before the instrument starts, up with its first report.
    EXPECT_NE(std::find(states.begin(), states.end(), "Analyser/link=up"), states.end());
    EXPECT_EQ(states.back(), "status=offline");
    EXPECT_GT(run.pollsAnswered, 0u);
}
#endif
