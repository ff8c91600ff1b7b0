// Host, driver and simulator together over a null-modem line: every report the simulator put
// on the line whole must reach the gates with exactly its values, faulted ones never, and the
// driver must say what went wrong.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "control.hpp"
#include "host.hpp"
#include "simcore.hpp"
#include "testline.hpp"
#include "text.hpp"

using namespace vpihost;

namespace {

// The test line's instrument side as the simulator's line.
class TestLineAdapter final : public vpisim::SimLine {
public:
    explicit TestLineAdapter(TestLine& line) : line_(line) {}
    bool Write(std::string_view bytes) override { return line_.Write(bytes); }
    std::string Read(std::size_t, int timeoutMs) override { return line_.Read(1, timeoutMs); }

private:
    TestLine& line_;
};

// address -> the nonzero values of its gate in the order they were written, repeats collapsed
// (the driver's resets to 0 are left out: the simulator never sends 0).
using Series = std::map<std::string, std::vector<float>>;

void Append(std::vector<float>& series, float value) {
    if (series.empty() || series.back() != value) series.push_back(value);
}

Series ReadCsv(const std::string& path, int vpi) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "time,vpi,address,value");
    Series series;
    while (std::getline(in, line)) {
        std::stringstream fields(line);
        std::string time, number, address, value;
        std::getline(fields, time, ',');
        std::getline(fields, number, ',');
        std::getline(fields, address, ',');
        std::getline(fields, value, ',');
        EXPECT_EQ(time.size(), 24u) << line;
        if (std::stoi(number) != vpi || address.substr(3) == "P01" || address.substr(3) == "P02" ||
            address.substr(3) == "P04") {
            continue;
        }
        float v = std::strtof(value.c_str(), nullptr);
        if (v != 0.0f) Append(series[address], v);
    }
    return series;
}

Series Expected(const std::vector<vpisim::SentReport>& sent) {
    Series series;
    for (const auto& report : sent) {
        if (!report.Intact()) continue;
        char address[16];
        std::snprintf(address, sizeof address, "I%02dP03", report.stream);
        Append(series[address], static_cast<float>(report.value03));
        for (const auto& [number, text] : report.parameters) {
            std::snprintf(address, sizeof address, "I%02dP%02d", report.stream, number);
            // The driver's own conversion: the text read as a double, kept as a float.
            Append(series[address], static_cast<float>(TextToReal(text.c_str(), text.size())));
        }
    }
    return series;
}

struct Scenario {
    std::vector<vpisim::FaultRule> faults;
    double silenceAtS = 0;
    int silenceMs = 0;
    bool recovery = false;
    double runS = 13;
};

struct Outcome {
    std::vector<vpisim::SentReport> sent;
    Series csv;
    std::vector<zelpro::LogLine> log;
    Host::VpiCounters counters;
    std::uint64_t pollsAnswered = 0;
    std::string screen;
};

bool RunScenario(const Scenario& scenario, Outcome* outcome) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) return false;
    zelpro::Reset();
    zelpro::StartCapture();

    auto csv = std::filesystem::temp_directory_path() /
               ("vpivg-e2e-" +
                std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) +
                ".csv");
    HostConfig config;
    config.scanPeriodMs = 500;
    config.pollPeriodMs = 2500;
    config.recovery = scenario.recovery;
    config.recoveryAfter = 2;
    config.tickMs = 10;
    VpiConfig vpi;
    vpi.number = 4;
    vpi.port = line->DeviceName();
    vpi.driverPort = line->DeviceName();
    vpi.streams = {1, 2, 3};
    for (int p = 1; p <= 9; ++p) vpi.params.push_back(p);
    config.vpis.push_back(vpi);
    config.plain = true;
    config.csv = csv.string();
    config.duration = scenario.runS;

    TestLineAdapter adapter(*line);
    vpisim::SimOptions simOptions;
    simOptions.streams = {1, 2, 3};
    simOptions.lastParameter = 9;
    simOptions.intervalMs = 150;
    simOptions.seed = 7;
    simOptions.faults = scenario.faults;
    vpisim::Simulator sim(adapter, simOptions);

    std::ostringstream screen;
    Host host(config, screen, screen);
    bool simStarted = false, silenced = false;
    RunHooks hooks;
    hooks.tick = [&](double elapsed) {
        // The driver's thread reads the line 4 s after its start. Reports sent before then
        // would wait in the queue back to back, so a resync pause after a fault would not
        // separate them on the line the driver reads.
        if (!simStarted && elapsed >= 4.5) {
            simStarted = true;
            sim.Start();
        }
        if (scenario.silenceMs && !silenced && elapsed >= scenario.silenceAtS) {
            silenced = true;
            sim.InjectSilence(scenario.silenceMs);
        }
    };
    // The instrument stops once the run is over but before the host stops the VPI, which then
    // still takes the last reports off the line: every report sent must be in the CSV.
    hooks.stopping = [&] {
        sim.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    };
    std::atomic<bool> stop{false};
    EXPECT_EQ(host.Run(stop, hooks), 0) << screen.str();
    sim.Stop();
    outcome->sent = sim.Sent();
    outcome->pollsAnswered = sim.PollsAnswered();
    outcome->csv = ReadCsv(csv.string(), vpi.number);
    outcome->log = zelpro::TakeCapture();
    outcome->counters = host.Counters(vpi.number);
    outcome->screen = screen.str();
    std::filesystem::remove(csv);
    return true;
}

bool Logged(const std::vector<zelpro::LogLine>& log, const std::string& text, int level) {
    for (const auto& l : log) {
        if (l.text == text && l.level == level) return true;
    }
    return false;
}

void ExpectSameSeries(const Series& expected, const Series& csv) {
    ASSERT_FALSE(expected.empty());
    for (const auto& [address, values] : expected) {
        auto found = csv.find(address);
        ASSERT_NE(found, csv.end()) << address << " never written";
        EXPECT_EQ(found->second, values) << address << ": " << values.size() << " sent, "
                                         << found->second.size() << " recorded";
    }
    for (const auto& [address, values] : csv) {
        EXPECT_TRUE(expected.count(address)) << address << " written but never sent";
    }
}

}  // namespace

TEST(HostEndToEnd, EveryValueSentReachesTheCsvAndSilenceIsRecovered) {
    Scenario scenario;
    scenario.silenceAtS = 8;
    scenario.silenceMs = 3000;
    scenario.recovery = true;
    Outcome outcome;
    if (!RunScenario(scenario, &outcome)) GTEST_SKIP() << "no test line on this machine";

    ASSERT_GT(outcome.sent.size(), 20u) << outcome.screen;
    ASSERT_FALSE(outcome.csv.empty()) << outcome.screen;
    ExpectSameSeries(Expected(outcome.sent), outcome.csv);
    EXPECT_EQ(outcome.counters.packets, outcome.sent.size()) << "every report counted once";

    // The silence outlasts the status wait: the driver reports it, the host reopens the port,
    // and reports flow again afterwards (the series check above covers those).
    EXPECT_TRUE(Logged(outcome.log, "VPIVG: Comms fail! Vpi=4 ", 32));
    EXPECT_NE(outcome.screen.find("host: VPI 4: link DOWN (!STATUS reads 0)"), std::string::npos);
    EXPECT_NE(outcome.screen.find(", reopened " + std::string("COM")), std::string::npos)
        << outcome.screen;
    EXPECT_NE(outcome.screen.find("host: VPI 4: reports again after"), std::string::npos);
    EXPECT_GT(outcome.pollsAnswered, 0u);
    bool polled = false;
    for (const auto& r : outcome.sent) polled = polled || r.polled;
    EXPECT_TRUE(polled);
}

TEST(HostEndToEnd, FaultsCostOnlyTheReportsTheyTouch) {
    Scenario scenario;
    scenario.faults = {{vpisim::Fault::Cut, 7, 0}, {vpisim::Fault::Reversed, 11, 0},
                       {vpisim::Fault::Malformed, 5, 0}, {vpisim::Fault::Overlong, 13, 0},
                       {vpisim::Fault::Noise, 3, 0}};
    scenario.runS = 16;
    Outcome outcome;
    if (!RunScenario(scenario, &outcome)) GTEST_SKIP() << "no test line on this machine";

    std::map<vpisim::Fault, int> seen;
    std::uint64_t intact = 0;
    for (const auto& r : outcome.sent) {
        seen[r.fault]++;
        intact += r.Intact();
    }
    for (auto kind : {vpisim::Fault::Cut, vpisim::Fault::Reversed, vpisim::Fault::Malformed,
                      vpisim::Fault::Overlong, vpisim::Fault::Noise}) {
        EXPECT_GT(seen[kind], 0) << vpisim::FaultName(kind) << " never injected";
    }
    ExpectSameSeries(Expected(outcome.sent), outcome.csv);
    EXPECT_EQ(outcome.counters.packets, intact);

    EXPECT_TRUE(Logged(outcome.log, "VPIVG: Failed to find 'Message Trailer'", 32));
    EXPECT_TRUE(Logged(outcome.log, "VPIVG: Read Packet failed!", 0));
    EXPECT_TRUE(Logged(outcome.log, "***** Start Printing Received Data *****", 0));
}
