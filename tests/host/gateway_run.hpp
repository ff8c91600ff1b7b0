// The host as an MQTT gateway, end to end in one process: the driver, the simulator on a
// null-modem line and a real mosquitto, run for a set time with what the plan asks for on the
// way (a silence, a poll from the broker, a broker outage), and what the subscriber received.
#pragma once
#if defined(VPIVG_HAVE_MQTT)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "broker.hpp"
#include "control.hpp"
#include "gateway_testing.hpp"
#include "host.hpp"
#include "host_testing.hpp"
#include "mqttsink.hpp"
#include "simcore.hpp"
#include "testline.hpp"
#include "text.hpp"

namespace gatewayrun {

using brokertest::Broker;
using brokertest::Message;
using brokertest::Subscriber;
namespace fs = std::filesystem;

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

inline Values Sent(const vpisim::SentReport& report) {
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
    // The broker goes away at outageAtS for outageS seconds, by brokerDown and brokerUp; the
    // subscriber keeps a lasting session through it.
    double outageAtS = 0;
    double outageS = 0;
    std::function<void()> brokerDown, brokerUp;
    std::string store;  // the gateway's store; empty: a file of its own, removed afterwards
    double silenceAtS = 0;
    int silenceMs = 0;
    double pollAtS = 0;  // the broker asks for a poll
    double runS = 10;
};

inline bool RunGateway(const Plan& plan, Broker& broker, Outcome* run) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) return false;
    zelpro::Reset();
    const std::string node = "e2e" + std::to_string(::getpid());
    Subscriber sub(broker.Port(), {"spBv1.0/vpivg/#", "vpivg/" + node + "/#"},
                   plan.outageS > 0 ? "vpivg-test-lasting-" + node : "");
    EXPECT_TRUE(sub.Ok());

    vpihost::HostConfig config;
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
    const fs::path storeFolder = hosttest::FreshFolder("store");
    config.mqtt.store = plan.store.empty() ? (storeFolder / "gateway.db").string() : plan.store;
    vpihost::VpiConfig vpi;
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
    vpihost::Host host(config, screen, screen);
    bool simStarted = false, silenced = false, polled = false, wentDown = false, cameBack = false;
    vpihost::RunHooks hooks;
    hooks.tick = [&](double elapsed) {
        if (!simStarted && elapsed >= 4.5) {
            simStarted = true;
            sim.Start();
        }
        if (plan.silenceMs && !silenced && elapsed >= plan.silenceAtS) {
            silenced = true;
            sim.InjectSilence(plan.silenceMs);
        }
        if (plan.outageS > 0 && !wentDown && elapsed >= plan.outageAtS) {
            wentDown = true;
            plan.brokerDown();
        }
        if (wentDown && !cameBack && elapsed >= plan.outageAtS + plan.outageS) {
            cameBack = true;
            plan.brokerUp();
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
    fs::remove(vpihost::BdSeqFileName(node), ignored);
    fs::remove_all(storeFolder, ignored);
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

inline Values Decoded(const SparkplugB__Payload& payload, int* stream) {
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

inline std::unique_ptr<Broker> StartBroker(std::string* why) {
    return Broker::Start(hosttest::FreshFolder("broker"), brokertest::BrokerOptions{}, why);
}

}  // namespace gatewayrun
#endif
