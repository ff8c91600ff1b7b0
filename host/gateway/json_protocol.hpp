// The gateway for consumers that read JSON (Node-RED, Telegraf, scripts): one message per report
// on <prefix>/<device>/I<nn>, the link state and the node's status as retained text, and a poll
// topic per device.
#pragma once

#include <string>
#include <vector>

#include "protocol.hpp"

namespace gateway {

struct JsonSettings {
    std::string prefix;  // mqtt-topic; DefaultJsonPrefix(node) when not set
    int qos = 1;         // mqtt-qos: the data messages' QoS, 0 or 1
};

// vpivg/<node>
std::string DefaultJsonPrefix(const std::string& node);

// One caller at a time: the MQTT link drives it from its own thread.
class JsonProtocol : public Protocol {
public:
    // Throws std::invalid_argument naming the setting's value when the prefix or a device name
    // is not usable (see ids.hpp), or the QoS is not 0 or 1.
    JsonProtocol(JsonSettings settings, std::vector<Device> devices);

    OutMessage Will(std::uint64_t bdSeq) const override;
    std::vector<Subscription> Subscriptions() const override;
    std::vector<OutMessage> OnConnected(std::uint64_t bdSeq, EpochMs now) override;
    void OnDisconnected() override;
    std::vector<OutMessage> OnReport(const Report& report, EpochMs now) override;
    std::vector<OutMessage> OnLink(int vpi, bool up, EpochMs now) override;
    std::vector<OutMessage> OnMessage(const std::string& topic, std::string_view payload,
                                      EpochMs now, Actions* actions) override;
    std::vector<OutMessage> OnStop(EpochMs now) override;
    bool Publishing() const override { return connected_; }

    std::string StatusTopic() const;                         // <prefix>/status
    std::string LinkTopic(const std::string& device) const;  // <prefix>/<device>/link
    std::string DataTopic(const std::string& device, int stream) const;  // .../I<nn>
    std::string PollTopic(const std::string& device) const;  // <prefix>/<device>/poll

private:
    struct DeviceState {
        Device device;
        bool reporting = false;  // a report came since the start or the last link loss
    };
    DeviceState* FindVpi(int vpi);
    OutMessage Link(const DeviceState& state) const;

    JsonSettings settings_;
    std::vector<DeviceState> devices_;
    bool connected_ = false;
};

}  // namespace gateway
