// The MQTT sink: the host's reports and link changes to a broker, as Sparkplug B or JSON.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config.hpp"
#include "reports.hpp"

namespace vpihost {

// Reads what the settings name (password, CA, certificate and key files), makes the protocol
// and starts the link to the broker; the link then connects on its own thread. Null with `why`
// (naming the setting) when a file cannot be used, or in a build without MQTT. `log` takes the
// link's lines from any thread; `workFolder` holds the bdSeq state file.
std::unique_ptr<ReportSink> MakeMqttSink(const MqttConfig& mqtt, std::vector<gateway::Device> devices,
                                         std::function<void(const std::string&)> log,
                                         const std::string& workFolder, std::string* why);

// The state file that keeps the Sparkplug bdSeq of a node across restarts.
std::string BdSeqFileName(const std::string& node);

}  // namespace vpihost
