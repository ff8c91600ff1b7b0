// The gateway as a Sparkplug B edge node: one host program is one edge node, each VPI one
// device. Keeps the session rules: births before data, the seq of every message, the bdSeq of
// the connection in the will, the NBIRTH and the NDEATH, a device's death at a link loss and its
// rebirth with its next report, and the primary host's STATE.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol.hpp"
#include "sparkplug_payload.hpp"

namespace gateway {

struct SparkplugIds {
    std::string group;        // mqtt-group
    std::string node;         // mqtt-node: the edge node id
    std::string primaryHost;  // mqtt-primary-host; empty: none, births follow the connection
};

// One caller at a time: the MQTT link drives it from its own thread.
class SparkplugProtocol : public Protocol {
public:
    // `version` is the node's Properties/Version. Throws std::invalid_argument naming the id
    // when an id or a device name breaks the Sparkplug rules (see ids.hpp).
    SparkplugProtocol(SparkplugIds ids, std::vector<Device> devices, std::string version);

    OutMessage Will(std::uint64_t bdSeq) const override;
    std::vector<Subscription> Subscriptions() const override;
    std::vector<OutMessage> OnConnected(std::uint64_t bdSeq, EpochMs now) override;
    void OnDisconnected() override;
    std::vector<OutMessage> OnReport(const Report& report, EpochMs now) override;
    std::vector<OutMessage> OnLink(int vpi, bool up, EpochMs now) override;
    std::vector<OutMessage> OnMessage(const std::string& topic, std::string_view payload,
                                      EpochMs now, Actions* actions) override;
    std::vector<OutMessage> OnStop(EpochMs now) override;
    bool Publishing() const override { return Births(); }

    // Topics, for the link's log and for tests.
    std::string NodeTopic(const char* type) const;  // spBv1.0/<group>/<type>/<node>
    std::string DeviceTopic(const char* type, const std::string& device) const;
    std::string StateTopic() const;  // spBv1.0/STATE/<primary host>; "" without one

private:
    struct Known {
        double value = 0;
        EpochMs timeMs = 0;
    };
    struct DeviceState {
        Device device;
        std::map<std::pair<int, int>, Known> values;  // (stream, param) -> last value seen
        bool reporting = false;  // a report came since the start or the last link loss
        bool born = false;       // its DBIRTH went out in this session and no DDEATH since
        bool linkDown = false;   // its link was last seen down
    };

    bool Births() const { return connected_ && (ids_.primaryHost.empty() || primaryOnline_); }
    std::uint64_t NextSeq();
    std::vector<OutMessage> BirthAll(EpochMs now);
    OutMessage NodeBirth(EpochMs now);
    OutMessage DeviceBirth(DeviceState& state, EpochMs now);
    OutMessage DeviceData(const DeviceState& state, const Report& report, EpochMs now);
    OutMessage DeviceDeath(DeviceState& state, EpochMs now);
    OutMessage NodeDeath(std::uint64_t bdSeq, std::optional<EpochMs> now) const;
    DeviceState* FindVpi(int vpi);
    DeviceState* FindName(std::string_view name);
    std::vector<OutMessage> NodeCommand(const sparkplug::Payload& payload, EpochMs now,
                                        Actions* actions);
    void DeviceCommand(DeviceState& state, const sparkplug::Payload& payload, Actions* actions);
    void State(std::string_view payload, Actions* actions);

    SparkplugIds ids_;
    std::string version_;
    std::vector<DeviceState> devices_;
    bool connected_ = false;
    std::uint64_t bdSeq_ = 0;
    unsigned seq_ = 0;          // the next message's seq
    bool primaryOnline_ = false;  // the primary host said online on this connection
    std::optional<std::int64_t> lastStateMs_;  // the newest STATE timestamp seen
};

}  // namespace gateway
