#include "sparkplug_protocol.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "ids.hpp"

namespace gateway {
namespace {

constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr const char* kVersion = "Properties/Version";
constexpr const char* kPoll = "Device Control/Poll";
constexpr const char* kBdSeq = "bdSeq";
// Births, data and device deaths go at QoS 0 and the node's death at QoS 1, never retained:
// Sparkplug hosts rely on exactly this.
constexpr int kDataQos = 0;
constexpr int kDeathQos = 1;

// Every value of every report is named, so the usual names (two digits each) are put together
// by hand: snprintf took 7 % of the link thread flat out.
std::string MetricName(int stream, int param) {
    if (stream < 0 || stream > 99 || param < 0 || param > 99) {
        char name[32];
        std::snprintf(name, sizeof name, "I%02d/P%02d", stream, param);
        return name;
    }
    const char name[] = {'I', static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), '/', 'P',
                         static_cast<char>('0' + param / 10), static_cast<char>('0' + param % 10)};
    return std::string(name, sizeof name);
}

// P01..P04 are the driver's 16-bit fixed fields (counts, the stream number), the rest measured
// values.
bool IsFixedField(int param) { return param >= 1 && param <= 4; }

std::uint32_t DataTypeOf(int param) {
    return IsFixedField(param) ? sparkplug::kInt32 : sparkplug::kDouble;
}

sparkplug::Metric ValueMetric(int stream, int param, double value) {
    if (!IsFixedField(param)) {
        return sparkplug::DoubleMetric(MetricName(stream, param), value);
    }
    // The driver writes whole numbers of 0..65535 here; anything else is kept within Int32.
    const double clamped =
        std::isnan(value) ? 0.0
                          : std::clamp(std::round(value),
                                       static_cast<double>(std::numeric_limits<std::int32_t>::min()),
                                       static_cast<double>(std::numeric_limits<std::int32_t>::max()));
    return sparkplug::Int32Metric(MetricName(stream, param), static_cast<std::int32_t>(clamped));
}

OutMessage Message(std::string topic, const sparkplug::Payload& payload, int qos) {
    return OutMessage{std::move(topic), sparkplug::Encode(payload), qos, false};
}

// The commanded value of a Boolean metric: nullopt with a note when the metric is not one.
std::optional<bool> BooleanCommand(const sparkplug::Metric& metric, const std::string& topic,
                                   Actions* actions) {
    const bool typed = !metric.datatype || *metric.datatype == sparkplug::kBoolean;
    if (typed && std::holds_alternative<bool>(metric.value)) {
        return std::get<bool>(metric.value);
    }
    actions->notes.push_back("ignored \"" + metric.name + "\" in a command on " + topic +
                             ": it is a Boolean metric");
    return std::nullopt;
}

}  // namespace

SparkplugProtocol::SparkplugProtocol(SparkplugIds ids, std::vector<Device> devices,
                                     std::string version)
    : ids_(std::move(ids)), version_(std::move(version)) {
    const std::pair<const char*, const std::string*> checked[] = {
        {"group id", &ids_.group}, {"edge node id", &ids_.node}};
    for (const auto& [what, id] : checked) {
        if (std::string problem = CheckSparkplugId(*id); !problem.empty()) {
            throw std::invalid_argument(std::string(what) + ": " + problem);
        }
    }
    if (!ids_.primaryHost.empty()) {
        if (std::string problem = CheckSparkplugId(ids_.primaryHost); !problem.empty()) {
            throw std::invalid_argument("primary host id: " + problem);
        }
    }
    if (std::string problem = CheckDeviceNames(devices); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    for (Device& device : devices) {
        devices_.push_back(DeviceState{std::move(device), {}, false, false});
    }
}

std::string SparkplugProtocol::NodeTopic(const char* type) const {
    return std::string(kNamespace) + "/" + ids_.group + "/" + type + "/" + ids_.node;
}

std::string SparkplugProtocol::DeviceTopic(const char* type, const std::string& device) const {
    return NodeTopic(type) + "/" + device;
}

std::string SparkplugProtocol::StateTopic() const {
    return ids_.primaryHost.empty() ? std::string()
                                    : std::string(kNamespace) + "/STATE/" + ids_.primaryHost;
}

std::uint64_t SparkplugProtocol::NextSeq() {
    const std::uint64_t seq = seq_;
    seq_ = (seq_ + 1) % 256;
    return seq;
}

OutMessage SparkplugProtocol::NodeDeath(std::uint64_t bdSeq, std::optional<EpochMs> now) const {
    sparkplug::Payload payload;
    payload.timestampMs = now;
    payload.metrics.push_back(sparkplug::Int64Metric(kBdSeq, static_cast<std::int64_t>(bdSeq)));
    return Message(NodeTopic("NDEATH"), payload, kDeathQos);
}

OutMessage SparkplugProtocol::Will(std::uint64_t bdSeq) const {
    // No timestamp: the broker sends the will at a moment nobody knows now.
    return NodeDeath(bdSeq, std::nullopt);
}

std::vector<Subscription> SparkplugProtocol::Subscriptions() const {
    std::vector<Subscription> subscriptions{{NodeTopic("NCMD"), 1},
                                            {NodeTopic("DCMD") + "/+", 1}};
    if (!ids_.primaryHost.empty()) {
        subscriptions.push_back({StateTopic(), 1});
    }
    return subscriptions;
}

OutMessage SparkplugProtocol::NodeBirth(EpochMs now) {
    seq_ = 0;
    sparkplug::Payload payload;
    payload.timestampMs = now;
    payload.seq = NextSeq();
    for (sparkplug::Metric metric :
         {sparkplug::Int64Metric(kBdSeq, static_cast<std::int64_t>(bdSeq_)),
          sparkplug::BooleanMetric(kRebirth, false), sparkplug::StringMetric(kVersion, version_)}) {
        metric.timestampMs = now;
        payload.metrics.push_back(std::move(metric));
    }
    return Message(NodeTopic("NBIRTH"), payload, kDataQos);
}

OutMessage SparkplugProtocol::DeviceBirth(DeviceState& state, EpochMs now) {
    sparkplug::Payload payload;
    payload.timestampMs = now;
    payload.seq = NextSeq();
    for (const BoundGate& gate : state.device.gates) {
        const auto known = state.values.find({gate.stream, gate.param});
        if (known == state.values.end()) {
            sparkplug::Metric metric = sparkplug::NullMetric(MetricName(gate.stream, gate.param),
                                                             DataTypeOf(gate.param));
            metric.timestampMs = now;
            payload.metrics.push_back(std::move(metric));
        } else {
            sparkplug::Metric metric = ValueMetric(gate.stream, gate.param, known->second.value);
            metric.timestampMs = known->second.timeMs;
            payload.metrics.push_back(std::move(metric));
        }
    }
    sparkplug::Metric poll = sparkplug::BooleanMetric(kPoll, false);
    poll.timestampMs = now;
    payload.metrics.push_back(std::move(poll));
    state.born = true;
    return Message(DeviceTopic("DBIRTH", state.device.name), payload, kDataQos);
}

OutMessage SparkplugProtocol::DeviceData(const DeviceState& state, const Report& report,
                                         EpochMs now) {
    sparkplug::Payload payload;
    payload.timestampMs = now;
    payload.seq = NextSeq();
    for (const ReportValue& reported : report.values) {
        sparkplug::Metric metric = ValueMetric(report.stream, reported.param, reported.value);
        metric.timestampMs = reported.timeMs;
        metric.historical = report.historical;
        payload.metrics.push_back(std::move(metric));
    }
    return Message(DeviceTopic("DDATA", state.device.name), payload, kDataQos);
}

OutMessage SparkplugProtocol::DeviceDeath(DeviceState& state, EpochMs now) {
    sparkplug::Payload payload;
    payload.timestampMs = now;
    payload.seq = NextSeq();
    state.born = false;
    return Message(DeviceTopic("DDEATH", state.device.name), payload, kDataQos);
}

std::vector<OutMessage> SparkplugProtocol::BirthAll(EpochMs now) {
    std::vector<OutMessage> out{NodeBirth(now)};
    for (DeviceState& state : devices_) {
        state.born = false;
        if (state.reporting) {
            out.push_back(DeviceBirth(state, now));
        }
    }
    return out;
}

std::vector<OutMessage> SparkplugProtocol::OnConnected(std::uint64_t bdSeq, EpochMs now) {
    connected_ = true;
    bdSeq_ = bdSeq;
    primaryOnline_ = false;
    for (DeviceState& state : devices_) {
        state.born = false;
    }
    if (!Births()) {
        return {};  // the primary host's STATE says when
    }
    return BirthAll(now);
}

void SparkplugProtocol::OnDisconnected() {
    connected_ = false;
    primaryOnline_ = false;
    for (DeviceState& state : devices_) {
        state.born = false;
    }
}

SparkplugProtocol::DeviceState* SparkplugProtocol::FindVpi(int vpi) {
    for (DeviceState& state : devices_) {
        if (state.device.vpi == vpi) {
            return &state;
        }
    }
    return nullptr;
}

SparkplugProtocol::DeviceState* SparkplugProtocol::FindName(std::string_view name) {
    for (DeviceState& state : devices_) {
        if (state.device.name == name) {
            return &state;
        }
    }
    return nullptr;
}

std::vector<OutMessage> SparkplugProtocol::OnReport(const Report& report, EpochMs now) {
    DeviceState* state = FindVpi(report.vpi);
    if (state == nullptr) {
        return {};
    }
    // Only metrics the birth named may appear in data: values of gates the device did not bind
    // are dropped.
    Report bound = report;
    std::erase_if(bound.values, [&](const ReportValue& reported) {
        return std::none_of(state->device.gates.begin(), state->device.gates.end(),
                            [&](const BoundGate& gate) {
                                return gate.stream == report.stream && gate.param == reported.param;
                            });
    });
    if (bound.values.empty()) {
        return {};
    }
    std::vector<OutMessage> out;
    if (!report.historical) {
        state->reporting = true;
        state->linkDown = false;
    }
    if (Births()) {
        // The birth carries what was known before this report; the report itself follows as
        // data, with its own times and historical flag.
        if (!state->born) {
            out.push_back(DeviceBirth(*state, now));
        }
        out.push_back(DeviceData(*state, bound, now));
        // Stored data of a device whose link is down now: delivered, and the device stays dead.
        if (report.historical && state->linkDown) {
            out.push_back(DeviceDeath(*state, now));
        }
    }
    // A stored report is older than what a birth should present as the device's current values.
    if (!report.historical || state->reporting) {
        for (const ReportValue& reported : bound.values) {
            Known& known = state->values[{report.stream, reported.param}];
            if (reported.timeMs >= known.timeMs) known = Known{reported.value, reported.timeMs};
        }
    }
    return out;
}

std::vector<OutMessage> SparkplugProtocol::OnLink(int vpi, bool up, EpochMs now) {
    DeviceState* state = FindVpi(vpi);
    // A link that comes up says nothing yet: the birth goes out with the first report.
    if (state == nullptr) {
        return {};
    }
    state->linkDown = !up;
    if (up) {
        return {};
    }
    // The values from before the loss are not the instrument's any more; a new birth must not
    // present them as current.
    state->reporting = false;
    state->values.clear();
    if (!state->born || !Births()) {
        return {};
    }
    return {DeviceDeath(*state, now)};
}

std::vector<OutMessage> SparkplugProtocol::NodeCommand(const sparkplug::Payload& payload,
                                                       EpochMs now, Actions* actions) {
    const std::string topic = NodeTopic("NCMD");
    bool rebirth = false;
    for (const sparkplug::Metric& metric : payload.metrics) {
        if (metric.name != kRebirth) {
            actions->notes.push_back("ignored \"" + metric.name + "\" in a command on " + topic +
                                     ": the node has no such writable metric");
            continue;
        }
        if (const std::optional<bool> value = BooleanCommand(metric, topic, actions)) {
            rebirth = rebirth || *value;
        }
    }
    if (!rebirth) {
        return {};
    }
    if (!Births()) {
        actions->notes.push_back("ignored a rebirth request on " + topic +
                                 ": no birth is due before the primary host is online");
        return {};
    }
    return BirthAll(now);
}

void SparkplugProtocol::DeviceCommand(DeviceState& state, const sparkplug::Payload& payload,
                                      Actions* actions) {
    const std::string topic = DeviceTopic("DCMD", state.device.name);
    bool poll = false;
    for (const sparkplug::Metric& metric : payload.metrics) {
        if (metric.name != kPoll) {
            actions->notes.push_back("ignored \"" + metric.name + "\" in a command on " + topic +
                                     ": the device has no such writable metric");
            continue;
        }
        if (const std::optional<bool> value = BooleanCommand(metric, topic, actions)) {
            poll = poll || *value;
        }
    }
    if (poll) {
        actions->polls.push_back(state.device.vpi);
    }
}

void SparkplugProtocol::State(std::string_view payload, Actions* actions) {
    const std::string topic = StateTopic();
    const nlohmann::json state = nlohmann::json::parse(payload, nullptr, false);
    if (state.is_discarded() || !state.is_object() || !state.contains("online") ||
        !state["online"].is_boolean() || !state.contains("timestamp") ||
        !state["timestamp"].is_number_integer()) {
        actions->notes.push_back("ignored the message on " + topic +
                                 ": it is not {\"online\":<true|false>,\"timestamp\":<ms>}");
        return;
    }
    const bool online = state["online"].get<bool>();
    const auto timestamp = state["timestamp"].get<std::int64_t>();
    if (lastStateMs_ && timestamp < *lastStateMs_) {
        actions->notes.push_back("ignored the message on " + topic + ": its timestamp " +
                                 std::to_string(timestamp) + " is older than the last one seen (" +
                                 std::to_string(*lastStateMs_) + ")");
        return;
    }
    lastStateMs_ = timestamp;
    if (online) {
        primaryOnline_ = true;
    } else if (primaryOnline_) {
        // The host that follows this node went away: end the session, so the node's death is
        // seen and the births go out again when the host is back.
        primaryOnline_ = false;
        actions->reconnect = true;
    }
}

std::vector<OutMessage> SparkplugProtocol::OnMessage(const std::string& topic,
                                                     std::string_view payload, EpochMs now,
                                                     Actions* actions) {
    if (!ids_.primaryHost.empty() && topic == StateTopic()) {
        const bool wasBorn = Births();
        State(payload, actions);
        if (!wasBorn && Births()) {
            return BirthAll(now);
        }
        return {};
    }
    const std::string ncmd = NodeTopic("NCMD");
    const std::string dcmd = NodeTopic("DCMD") + "/";
    DeviceState* device = nullptr;
    if (topic != ncmd) {
        if (topic.rfind(dcmd, 0) != 0) {
            actions->notes.push_back("ignored a message on " + topic + ": not a topic of this node");
            return {};
        }
        device = FindName(std::string_view(topic).substr(dcmd.size()));
        if (device == nullptr) {
            actions->notes.push_back("ignored a command on " + topic + ": no such device");
            return {};
        }
    }
    const std::optional<sparkplug::Payload> decoded = sparkplug::Decode(payload);
    if (!decoded) {
        actions->notes.push_back("ignored a command on " + topic +
                                 ": its payload is not a Sparkplug B payload");
        return {};
    }
    if (device == nullptr) {
        return NodeCommand(*decoded, now, actions);
    }
    DeviceCommand(*device, *decoded, actions);
    return {};
}

std::vector<OutMessage> SparkplugProtocol::OnStop(EpochMs now) {
    std::vector<OutMessage> out;
    if (connected_) {
        out.push_back(NodeDeath(bdSeq_, now));
    }
    for (DeviceState& state : devices_) {
        state.born = false;
    }
    primaryOnline_ = false;
    return out;
}

}  // namespace gateway
