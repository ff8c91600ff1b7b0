// The names the gateway puts into topics, checked before a session starts: a bad one would be
// refused by the broker, or worse, would subscribe to or publish on someone else's topics.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "report.hpp"

namespace gateway {

// A Sparkplug group, edge node, device or host id: non-empty UTF-8 without '+', '/', '#' or
// control characters. The JSON format uses device names as one topic level, so the same rule
// holds there. Returns "" when the id is fine, else a message that quotes the id and says what
// is wrong with it.
std::string CheckSparkplugId(std::string_view id);

// A JSON topic prefix: non-empty UTF-8 topic levels without the wildcards '+' and '#', not a
// broker's own '$' topic, no control characters, not ending in '/'. "" when fine.
std::string CheckTopicPrefix(std::string_view prefix);

// Every device's name is an id (CheckSparkplugId) and no two devices share one. "" when fine.
std::string CheckDeviceNames(const std::vector<Device>& devices);

}  // namespace gateway
