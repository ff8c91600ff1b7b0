// The broker's address as a person writes it: mqtt://host[:port] or mqtts://host[:port].
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace gateway {

struct MqttUrl {
    bool tls = false;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
    int port = 1883;   // 1883 for mqtt://, 8883 for mqtts:// unless given
    std::string Text() const;  // "host:port" ("[::1]:1883"), for messages
};

// Nullopt with `why` (what is wrong, what is expected) for anything else.
std::optional<MqttUrl> ParseMqttUrl(std::string_view text, std::string* why);

}  // namespace gateway
