// vpivg-host as an MQTT gateway, with the driver, the simulator on a null-modem line and a real
// mosquitto: every DDATA value is what the simulator sent, births come first, a silence is a
// DDEATH with no zero ever published, and polls asked for over MQTT reach the instrument.
#if defined(VPIVG_HAVE_MQTT)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "broker.hpp"
#include "control.hpp"
#include "gateway_testing.hpp"
#include "host.hpp"
#include "host_testing.hpp"
#include "mqttsink.hpp"
#include "simcore.hpp"
#include "testline.hpp"
#include "text.hpp"

using namespace vpihost;
using brokertest::Broker;
using brokertest::Message;
using brokertest::Subscriber;
namespace fs = std::filesystem;

namespace {

class TestLineAdapter final : public vpisim::SimLine {
public:
    explicit TestLineAdapter(TestLine& line) : line_(line) {}
    bool Write(std::string_view bytes) override { return line_.Write(bytes); }
    std::string Read(std::size_t, int timeoutMs) override { return line_.Read(1, timeoutMs); }

private:
    TestLine& line_;
};

// One report as values by parameter, the way both sides can say it.
using Values = std::map<int, double>;

Values Sent(const vpisim::SentReport& report) {
    Values values{{1, report.value01}, {2, report.value02}, {3, static_cast<double>(report.value03)},
                  {4, report.stream}};
    for (const auto& [number, text] : report.parameters) {
        // The driver's own conversion: the text read as a double, kept as a float.
        values[number] = static_cast<float>(TextToReal(text.c_str(), text.size()));
    }
    return values;
}

struct Outcome {
    std::vector<vpisim::SentReport> sent;
    std::vector<Message> messages;
    std::uint64_t pollsAnswered = 0;
    std::string screen;
};

struct Plan {
    std::string format = "sparkplug";
    double silenceAtS = 0;
    int silenceMs = 0;
    double pollAtS = 0;  // the broker asks for a poll
    double runS = 10;
};

bool RunGateway(const Plan& plan, Broker& broker, Outcome* run) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) return false;
    zelpro::Reset();
    const std::string node = "e2e" + std::to_string(::getpid());
    Subscriber sub(broker.Port(), {"spBv1.0/vpivg/#", "vpivg/" + node + "/#"});
    EXPECT_TRUE(sub.Ok());

    HostConfig config;
    config.scanPeriodMs = 500;
    config.pollPeriodMs = 0;  // every poll comes from the broker
    config.recovery = true;
    config.recoveryAfter = 2;
    config.tickMs = 10;
    config.plain = true;
    config.duration = plan.runS;
    config.mqtt.url = broker.Url();
    config.mqtt.node = node;
    config.mqtt.format = plan.format;
    VpiConfig vpi;
    vpi.number = 4;
    vpi.name = "Analyser";
    vpi.port = line->DeviceName();
    vpi.driverPort = line->DeviceName();
    vpi.streams = {1, 2};
    for (int p = 1; p <= 9; ++p) vpi.params.push_back(p);
    config.vpis.push_back(vpi);

    TestLineAdapter adapter(*line);
    vpisim::SimOptions simOptions;
    simOptions.streams = {1, 2};
    simOptions.lastParameter = 9;
    simOptions.intervalMs = 150;
    simOptions.seed = 11;
    vpisim::Simulator sim(adapter, simOptions);

    std::ostringstream screen;
    Host host(config, screen, screen);
    bool simStarted = false, silenced = false, polled = false;
    RunHooks hooks;
    hooks.tick = [&](double elapsed) {
        if (!simStarted && elapsed >= 4.5) {
            simStarted = true;
            sim.Start();
        }
        if (plan.silenceMs && !silenced && elapsed >= plan.silenceAtS) {
            silenced = true;
            sim.InjectSilence(plan.silenceMs);
        }
        if (plan.pollAtS > 0 && !polled && elapsed >= plan.pollAtS) {
            polled = true;
            if (plan.format == "json") {
                sub.Publish("vpivg/" + node + "/Analyser/poll", "now");
            } else {
                sub.Publish("spBv1.0/vpivg/DCMD/" + node + "/Analyser",
                            gatewaytest::BooleanCommand("Device Control/Poll", true), 0);
            }
        }
    };
    hooks.stopping = [&] {
        sim.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    };
    std::atomic<bool> stop{false};
    EXPECT_EQ(host.Run(stop, hooks), 0) << screen.str();
    sim.Stop();
    std::error_code ignored;
    fs::remove(BdSeqFileName(node), ignored);
    run->sent = sim.Sent();
    run->pollsAnswered = sim.PollsAnswered();
    run->screen = screen.str();
    // The stop's last messages are confirmed before the host returns; the subscriber may still
    // be taking them off its socket.
    sub.WaitFor([&](const std::vector<Message>& m) {
        return !m.empty() && (m.back().topic.find("NDEATH") != std::string::npos ||
                              m.back().payload == "offline");
    }, std::chrono::seconds(3));
    run->messages = sub.Messages();
    for (Message& m : run->messages) {
        // Topics without the node's varying id, for the checks below.
        auto at = m.topic.find(node);
        if (at != std::string::npos) m.topic.replace(at, node.size(), "NODE");
    }
    return true;
}

Values Decoded(const SparkplugB__Payload& payload, int* stream) {
    Values values;
    for (std::size_t i = 0; i < payload.n_metrics; ++i) {
        const SparkplugB__Metric* m = payload.metrics[i];
        int s = 0, p = 0;
        if (std::sscanf(m->name, "I%2d/P%2d", &s, &p) != 2) continue;
        *stream = s;
        values[p] = m->datatype == SPARKPLUG_B__DATA_TYPE__Double ? m->double_value
                                                                   : static_cast<std::int32_t>(m->int_value);
    }
    return values;
}

std::unique_ptr<Broker> StartBroker(std::string* why) {
    return Broker::Start(hosttest::FreshFolder("broker"), brokertest::BrokerOptions{}, why);
}

}  // namespace

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
