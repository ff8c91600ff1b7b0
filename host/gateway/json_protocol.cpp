#include "json_protocol.hpp"

#include <cstdio>
#include <stdexcept>

#include "ids.hpp"
#include "json_payload.hpp"

namespace gateway {
namespace {

// State texts stay on the broker (retained) for whoever subscribes later, and must not be lost.
constexpr int kStateQos = 1;

OutMessage Text(std::string topic, std::string text, int qos, bool retain) {
    return OutMessage{std::move(topic), std::move(text), qos, retain};
}

}  // namespace

std::string DefaultJsonPrefix(const std::string& node) { return "vpivg/" + node; }

JsonProtocol::JsonProtocol(JsonSettings settings, std::vector<Device> devices)
    : settings_(std::move(settings)) {
    if (std::string problem = CheckTopicPrefix(settings_.prefix); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    if (std::string problem = CheckDeviceNames(devices); !problem.empty()) {
        throw std::invalid_argument(problem);
    }
    if (settings_.qos != 0 && settings_.qos != 1) {
        throw std::invalid_argument("the data QoS must be 0 or 1, not " +
                                    std::to_string(settings_.qos));
    }
    for (Device& device : devices) {
        devices_.push_back(DeviceState{std::move(device)});
    }
}

std::string JsonProtocol::StatusTopic() const { return settings_.prefix + "/status"; }

std::string JsonProtocol::LinkTopic(const std::string& device) const {
    return settings_.prefix + "/" + device + "/link";
}

std::string JsonProtocol::DataTopic(const std::string& device, int stream) const {
    char level[16];
    std::snprintf(level, sizeof level, "I%02d", stream);
    return settings_.prefix + "/" + device + "/" + level;
}

std::string JsonProtocol::PollTopic(const std::string& device) const {
    return settings_.prefix + "/" + device + "/poll";
}

OutMessage JsonProtocol::Will(std::uint64_t /*bdSeq*/) const {
    return Text(StatusTopic(), "offline", kStateQos, true);
}

std::vector<Subscription> JsonProtocol::Subscriptions() const {
    return {Subscription{settings_.prefix + "/+/poll", 1}};
}

OutMessage JsonProtocol::Link(const DeviceState& state) const {
    return Text(LinkTopic(state.device.name), state.reporting ? "up" : "down", kStateQos, true);
}

std::vector<OutMessage> JsonProtocol::OnConnected(std::uint64_t /*bdSeq*/, EpochMs /*now*/) {
    connected_ = true;
    std::vector<OutMessage> out{Text(StatusTopic(), "online", kStateQos, true)};
    // The broker may still hold a link state retained by an earlier run, or from before a link
    // change this program saw while it was disconnected: say every device's state as it is now.
    for (const DeviceState& state : devices_) {
        out.push_back(Link(state));
    }
    return out;
}

void JsonProtocol::OnDisconnected() { connected_ = false; }

JsonProtocol::DeviceState* JsonProtocol::FindVpi(int vpi) {
    for (DeviceState& state : devices_) {
        if (state.device.vpi == vpi) {
            return &state;
        }
    }
    return nullptr;
}

std::vector<OutMessage> JsonProtocol::OnReport(const Report& report, EpochMs /*now*/) {
    DeviceState* state = FindVpi(report.vpi);
    if (state == nullptr) {
        return {};
    }
    std::vector<OutMessage> out;
    if (!state->reporting) {
        state->reporting = true;
        if (connected_) {
            out.push_back(Link(*state));
        }
    }
    if (connected_ && !report.values.empty()) {
        out.push_back(Text(DataTopic(state->device.name, report.stream), ReportJson(report),
                           settings_.qos, false));
    }
    return out;
}

std::vector<OutMessage> JsonProtocol::OnLink(int vpi, bool up, EpochMs /*now*/) {
    DeviceState* state = FindVpi(vpi);
    // A link that comes up says nothing yet: "up" goes out with the first report.
    if (state == nullptr || up || !state->reporting) {
        return {};
    }
    state->reporting = false;
    if (!connected_) {
        return {};
    }
    return {Link(*state)};
}

std::vector<OutMessage> JsonProtocol::OnMessage(const std::string& topic,
                                                std::string_view /*payload*/, EpochMs /*now*/,
                                                Actions* actions) {
    for (const DeviceState& state : devices_) {
        if (topic == PollTopic(state.device.name)) {
            actions->polls.push_back(state.device.vpi);
            return {};
        }
    }
    actions->notes.push_back("ignored a message on " + topic + ": no device polls there");
    return {};
}

std::vector<OutMessage> JsonProtocol::OnStop(EpochMs /*now*/) {
    if (!connected_) {
        return {};  // nobody to tell; the will said it when the connection was lost
    }
    return {Text(StatusTopic(), "offline", kStateQos, true)};
}

}  // namespace gateway
