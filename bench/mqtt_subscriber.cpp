// The far end of the gateway benchmark: subscribes to the reports on a local broker and stamps
// each one's arrival with the monotonic clock the feeder stamps its writes with (both run on
// this machine), so the two can be joined report by report.
//
// A report is known by its device (the topic's "VPI<n>", n the feeder's line + 1) and by field
// 03, which carries the feeder's running number (1000000 + sequence). JSON data is read with
// nlohmann/json; Sparkplug DDATA with the protobuf-c code generated from the gateway's schema.
//
// The Python bridge (bench/python_bridge.py) publishes the gateway's JSON shape under a topic
// prefix of its own, read with --format json --topic 'vpivg/pybridge/#'.
//
//   vpivg-bench-mqtt-sub --port P --format json|sparkplug --out FILE [--topic FILTER]
//                        [--historical-out FILE] [--ready FILE] [--expect N] [--idle-s S]
//                        [--max-s S] [--connect-retry-s S]
//
// Subscribes, then creates the --ready file; runs until N live reports arrived, the reports
// stopped for S seconds after the first (default 5), or --max-s passed. FILE gets one record per
// live report (device line, sequence, arrival ns); reports sent as historical data (replayed from
// the gateway's store after a broker outage) go to the --historical-out file instead, and are
// counted apart. A report (device, sequence) that arrives again, live or historical, counts as a
// duplicate; its record is written all the same. Prints one JSON object with the counts.
#include <mosquitto.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "reports.hpp"
#include "sparkplug_b.pb-c.h"

namespace {

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The same layout as the feeder's stamps.
struct Arrival {
    std::uint32_t line;
    std::uint32_t sequence;
    std::int64_t ns;
};

struct State {
    bool sparkplug = false;
    std::vector<Arrival> arrivals;     // live
    std::vector<Arrival> historicals;  // replayed from the gateway's store
    std::unordered_set<std::uint64_t> seen;  // device line << 32 | sequence
    std::uint64_t messages = 0;    // every message on the data topics
    std::uint64_t unreadable = 0;  // data messages without a device number or field 03
    std::uint64_t duplicates = 0;
    std::int64_t lastNs = 0;
    bool subscribed = false;
};

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

// "…/VPI17" or "…/VPI17/I05" -> 16 (the feeder's line index), or -1.
long LineOfTopic(const char* topic) {
    const char* at = std::strstr(topic, "/VPI");
    if (at == nullptr) return -1;
    char* end = nullptr;
    const long number = std::strtol(at + 4, &end, 10);
    if (end == at + 4 || number < 1) return -1;
    return number - 1;
}

bool SequenceOfJson(const void* payload, int length, std::uint32_t* sequence, bool* historical) {
    const auto* text = static_cast<const char*>(payload);
    nlohmann::json doc = nlohmann::json::parse(text, text + length, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    const auto values = doc.find("values");
    if (values == doc.end() || !values->is_object()) return false;
    const auto p03 = values->find("P03");
    if (p03 == values->end() || !p03->is_number()) return false;
    *sequence = static_cast<std::uint32_t>(p03->get<double>() - vpibench::kSequenceBase);
    const auto h = doc.find("historical");
    *historical = h != doc.end() && h->is_boolean() && h->get<bool>();
    return true;
}

bool SequenceOfSparkplug(const void* payload, int length, std::uint32_t* sequence,
                         bool* historical) {
    SparkplugB__Payload* p = sparkplug_b__payload__unpack(
        nullptr, static_cast<std::size_t>(length), static_cast<const std::uint8_t*>(payload));
    if (p == nullptr) return false;
    bool found = false;
    for (std::size_t i = 0; i < p->n_metrics && !found; ++i) {
        const SparkplugB__Metric* m = p->metrics[i];
        const char* name = m->name != nullptr ? m->name : "";
        const std::size_t size = std::strlen(name);
        if (size < 4 || std::strcmp(name + size - 4, "/P03") != 0) continue;
        std::uint64_t value = 0;
        if (m->value_case == SPARKPLUG_B__METRIC__VALUE_INT_VALUE) value = m->int_value;
        else if (m->value_case == SPARKPLUG_B__METRIC__VALUE_LONG_VALUE) value = m->long_value;
        else if (m->value_case == SPARKPLUG_B__METRIC__VALUE_DOUBLE_VALUE) {
            value = static_cast<std::uint64_t>(m->double_value);
        } else continue;
        *sequence = static_cast<std::uint32_t>(value - vpibench::kSequenceBase);
        *historical = m->has_is_historical && m->is_historical;
        found = true;
    }
    sparkplug_b__payload__free_unpacked(p, nullptr);
    return found;
}

void OnMessage(mosquitto*, void* user, const mosquitto_message* message) {
    const std::int64_t now = NowNs();
    auto* state = static_cast<State*>(user);
    const char* topic = message->topic;
    // Only data: JSON's <prefix>/<device>/I<nn>, Sparkplug's DDATA.
    if (state->sparkplug ? std::strstr(topic, "/DDATA/") == nullptr
                         : std::strstr(topic, "/I") == nullptr) {
        return;
    }
    ++state->messages;
    const long line = LineOfTopic(topic);
    std::uint32_t sequence = 0;
    bool historical = false;
    const bool read = state->sparkplug
                          ? SequenceOfSparkplug(message->payload, message->payloadlen, &sequence,
                                                &historical)
                          : SequenceOfJson(message->payload, message->payloadlen, &sequence,
                                           &historical);
    if (line < 0 || !read) {
        ++state->unreadable;
        return;
    }
    if (!state->seen.insert(static_cast<std::uint64_t>(line) << 32 | sequence).second) {
        ++state->duplicates;
    }
    (historical ? state->historicals : state->arrivals)
        .push_back({static_cast<std::uint32_t>(line), sequence, now});
    state->lastNs = now;
}

void OnSubscribe(mosquitto*, void* user, int, int, const int*) {
    static_cast<State*>(user)->subscribed = true;
}

bool WriteArrivals(const std::string& path, const std::vector<Arrival>& arrivals) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "vpivg-bench-mqtt-sub: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const std::size_t written = std::fwrite(arrivals.data(), sizeof(Arrival), arrivals.size(), file);
    const bool flushed = std::fflush(file) == 0;
    const int why = errno;
    if (std::fclose(file) != 0 || written != arrivals.size() || !flushed) {
        std::fprintf(stderr, "vpivg-bench-mqtt-sub: writing %s: %s\n", path.c_str(),
                     std::strerror(why != 0 ? why : errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string format = "json", out, historicalOut, ready, topicFilter;
    std::uint64_t expect = 0;
    double idleS = 5, maxS = 600, connectRetryS = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = argv[i + 1];
        if (a == "--port") port = std::atoi(v);
        else if (a == "--format") format = v;
        else if (a == "--out") out = v;
        else if (a == "--historical-out") historicalOut = v;
        else if (a == "--topic") topicFilter = v;
        else if (a == "--ready") ready = v;
        else if (a == "--expect") expect = std::strtoull(v, nullptr, 10);
        else if (a == "--idle-s") idleS = std::atof(v);
        else if (a == "--max-s") maxS = std::atof(v);
        else if (a == "--connect-retry-s") connectRetryS = std::atof(v);
        else {
            std::fprintf(stderr, "vpivg-bench-mqtt-sub: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (port <= 0 || out.empty() || (format != "json" && format != "sparkplug")) {
        std::fprintf(stderr, "usage: see the comment at the top of bench/mqtt_subscriber.cpp\n");
        return 2;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    State state;
    state.sparkplug = format == "sparkplug";
    state.arrivals.reserve(1 << 20);
    state.seen.reserve(1 << 20);
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new("vpivg-bench-sub", true, &state);
    if (client == nullptr) {
        std::fprintf(stderr, "vpivg-bench-mqtt-sub: mosquitto_new: %s\n", std::strerror(errno));
        return 1;
    }
    mosquitto_message_callback_set(client, OnMessage);
    mosquitto_subscribe_callback_set(client, OnSubscribe);
    // With --connect-retry-s the broker may come later (the store's backlog run starts it once
    // the gateway has stored its reports): tried every 20 ms, far more often than the gateway's
    // own reconnect back-off, so the subscription is there before the gateway's first message.
    const std::int64_t connectDeadline = NowNs() + static_cast<std::int64_t>(connectRetryS * 1e9);
    for (;;) {
        const int rc = mosquitto_connect(client, "127.0.0.1", port, 30);
        if (rc == MOSQ_ERR_SUCCESS) break;
        if (stopRequested || NowNs() > connectDeadline) {
            std::fprintf(stderr, "vpivg-bench-mqtt-sub: connect to 127.0.0.1:%d: %s\n", port,
                         rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
            return 1;
        }
        usleep(20000);
    }
    const std::string topicText =
        !topicFilter.empty() ? topicFilter : state.sparkplug ? "spBv1.0/#" : "vpivg/#";
    const char* topic = topicText.c_str();
    // QoS 1, as a historian would take it: nothing the broker accepted is dropped on our side.
    if (int rc = mosquitto_subscribe(client, nullptr, topic, 1); rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "vpivg-bench-mqtt-sub: subscribe %s: %s\n", topic,
                     mosquitto_strerror(rc));
        return 1;
    }
    const std::int64_t start = NowNs();
    bool readySaid = false;
    int rc = MOSQ_ERR_SUCCESS;
    while (!stopRequested) {
        rc = mosquitto_loop(client, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "vpivg-bench-mqtt-sub: %s\n", mosquitto_strerror(rc));
            break;
        }
        if (state.subscribed && !readySaid && !ready.empty()) {
            FILE* f = std::fopen(ready.c_str(), "w");
            if (f == nullptr) {
                std::perror(ready.c_str());
                return 1;
            }
            std::fclose(f);
            readySaid = true;
        }
        const std::int64_t now = NowNs();
        if (expect > 0 && state.arrivals.size() >= expect) break;
        if (state.lastNs > 0 && now - state.lastNs > static_cast<std::int64_t>(idleS * 1e9)) break;
        if (now - start > static_cast<std::int64_t>(maxS * 1e9)) break;
    }
    mosquitto_disconnect(client);
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();

    if (!WriteArrivals(out, state.arrivals)) return 1;
    if (!historicalOut.empty() && !WriteArrivals(historicalOut, state.historicals)) return 1;
    std::printf("{\"format\": \"%s\", \"topic\": \"%s\", \"messages\": %llu, \"reports\": %zu, "
                "\"historical\": %zu, \"duplicates\": %llu, \"unique\": %zu, \"unreadable\": %llu}\n",
                format.c_str(), topicText.c_str(), static_cast<unsigned long long>(state.messages),
                state.arrivals.size(), state.historicals.size(),
                static_cast<unsigned long long>(state.duplicates), state.seen.size(),
                static_cast<unsigned long long>(state.unreadable));
    return rc == MOSQ_ERR_SUCCESS || stopRequested ? 0 : 1;
}
