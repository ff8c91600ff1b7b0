// What the MQTT link's tests share: scratch folders, the link's log lines collected from its
// thread, a small Sparkplug node and its reports, and a broker for the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "broker.hpp"
#include "gateway_testing.hpp"
#include "mqtt_link.hpp"
#include "scratch_folder.hpp"
#include "sparkplug_protocol.hpp"

namespace linktest {

using namespace gateway;
using brokertest::Broker;
using brokertest::Message;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

inline fs::path Scratch(const std::string& name) { return testsupport::FreshFolder("mqtt-" + name); }

// The link's log lines, collected from its thread.
class Lines {
public:
    void Add(const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        changed_.notify_all();
    }
    bool WaitFor(const std::string& part, milliseconds timeout = milliseconds(10000)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(part) > 0; });
    }
    std::size_t CountOf(const std::string& part) {
        std::lock_guard lock(mutex_);
        return CountLocked(part);
    }
    std::string All() {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const auto& l : lines_) all += l + "\n";
        return all;
    }
    MqttLink::LogFunction Function() {
        return [this](const std::string& line) { Add(line); };
    }

private:
    std::size_t CountLocked(const std::string& part) const {
        std::size_t n = 0;
        for (const auto& l : lines_) n += l.find(part) != std::string::npos;
        return n;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

inline std::vector<Device> Devices() { return {Device{1, "VPI1", {{1, 1}, {1, 4}, {1, 5}}}}; }

inline SparkplugProtocol Node() { return SparkplugProtocol(SparkplugIds{"plant", "gw1", ""}, Devices(), "test 1.0"); }

inline LinkSettings Settings(int port, bool tls = false) {
    LinkSettings settings;
    settings.url.host = "127.0.0.1";
    settings.url.port = port;
    settings.url.tls = tls;
    settings.clientId = "vpivg-link-test-" + std::to_string(::getpid());
    settings.keepaliveS = 10;
    return settings;
}

inline Report ReportOf(int i, EpochMs at) {
    Report r;
    r.vpi = 1;
    r.stream = 1;
    r.timeMs = at;
    r.values = {{1, 11, at}, {4, 1, at}, {5, 0.1 * i + 1.0 / 3, at}};
    return r;
}

inline std::uint64_t BdSeqOf(const Message& m) {
    auto payload = gatewaytest::Unpack(m.payload);
    if (!payload) return 999;
    const SparkplugB__Metric* metric = gatewaytest::FindMetric(*payload, "bdSeq");
    return metric ? metric->long_value : 999;
}

#define START_BROKER(options)                                              \
    std::string why;                                                       \
    auto broker = Broker::Start(Scratch("broker"), options, &why);         \
    if (!broker) GTEST_SKIP() << why;

}  // namespace linktest
