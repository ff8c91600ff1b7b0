// The checks of the mqtt-* settings, shared by the file and the command line, and what the
// settings leave to the run: the node's default id and the JSON topic's default prefix.
#pragma once

#include <optional>
#include <string>

#include "config.hpp"

namespace vpihost {

// Whether this build can publish to MQTT at all (the Windows build cannot).
extern const bool kHaveMqtt;

// Nullopt when fine, else what is wrong (without the setting's name).
std::optional<std::string> CheckMqttUrl(const std::string& url);
std::optional<std::string> CheckMqttId(const std::string& id);      // group, node, host, device
std::optional<std::string> CheckMqttTopic(const std::string& topic);
std::optional<std::string> CheckMqttFormat(const std::string& format);
std::optional<std::string> CheckMqttStore(const std::string& path);  // not empty when given

// The settings as a whole: the ids left to defaults and the VPIs' device names, which must be
// distinct. Nullopt when fine, else the message naming the setting.
std::optional<std::string> CheckMqttConfig(const HostConfig& config);

// The edge node id: mqtt-node, or the machine's host name.
std::string MqttNodeId(const MqttConfig& mqtt);
// The JSON topic prefix: mqtt-topic, or "vpivg/<node>".
std::string MqttTopicPrefix(const MqttConfig& mqtt);
// The store's file: mqtt-store, or "vpivg-host-<node>.db"; empty for "none".
std::string MqttStorePath(const MqttConfig& mqtt);
// A VPI's device id.
std::string DeviceName(const VpiConfig& vpi);

}  // namespace vpihost
