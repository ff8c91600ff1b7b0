#include "mqttsettings.hpp"

#include <set>

#if defined(VPIVG_HAVE_MQTT)
#include "ids.hpp"
#include "mqtt_url.hpp"
#endif
#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace vpihost {

#if defined(VPIVG_HAVE_MQTT)
const bool kHaveMqtt = true;
#else
const bool kHaveMqtt = false;
#endif

#if !defined(VPIVG_HAVE_MQTT)
namespace {
const char* const kNoMqtt = "this build of vpivg-host has no MQTT (the Linux build has it)";
}
#endif

std::optional<std::string> CheckMqttUrl(const std::string& url) {
#if defined(VPIVG_HAVE_MQTT)
    std::string why;
    if (!gateway::ParseMqttUrl(url, &why)) return why;
    return std::nullopt;
#else
    (void)url;
    return std::string(kNoMqtt);
#endif
}

std::optional<std::string> CheckMqttId(const std::string& id) {
#if defined(VPIVG_HAVE_MQTT)
    std::string problem = gateway::CheckSparkplugId(id);
    if (!problem.empty()) return problem;
#else
    (void)id;  // nothing is published from this build, so no id reaches a broker
#endif
    return std::nullopt;
}

std::optional<std::string> CheckMqttTopic(const std::string& topic) {
#if defined(VPIVG_HAVE_MQTT)
    std::string problem = gateway::CheckTopicPrefix(topic);
    if (!problem.empty()) return problem;
#else
    (void)topic;
#endif
    return std::nullopt;
}

std::optional<std::string> CheckMqttFormat(const std::string& format) {
    if (format == "sparkplug" || format == "json") return std::nullopt;
    return std::string("expected \"sparkplug\" or \"json\"");
}

std::optional<std::string> CheckMqttStore(const std::string& path) {
    if (path.empty()) return std::string("expected a file name, or none for no store");
    return std::nullopt;
}

std::string MqttStorePath(const MqttConfig& mqtt) {
    if (mqtt.store == "none") return {};
    return mqtt.store.empty() ? "vpivg-host-" + MqttNodeId(mqtt) + ".db" : mqtt.store;
}

std::string MqttNodeId(const MqttConfig& mqtt) {
    if (!mqtt.node.empty()) return mqtt.node;
#if !defined(_WIN32)
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
#endif
    return "vpivg-host";
}

std::string MqttTopicPrefix(const MqttConfig& mqtt) {
    return mqtt.topic.empty() ? "vpivg/" + MqttNodeId(mqtt) : mqtt.topic;
}

std::string DeviceName(const VpiConfig& vpi) {
    return vpi.name.empty() ? "VPI" + std::to_string(vpi.number) : vpi.name;
}

std::optional<std::string> CheckMqttConfig(const HostConfig& config) {
    const MqttConfig& mqtt = config.mqtt;
    if (mqtt.url.empty()) return std::nullopt;
    if (auto wrong = CheckMqttUrl(mqtt.url)) return "mqtt-url " + mqtt.url + ": " + *wrong;
    std::string node = MqttNodeId(mqtt);
    if (auto wrong = CheckMqttId(node)) {
        return "mqtt-node " + node + (mqtt.node.empty() ? " (this machine's host name)" : "") + ": " + *wrong;
    }
    if (auto wrong = CheckMqttTopic(MqttTopicPrefix(mqtt))) {
        return "mqtt-topic " + MqttTopicPrefix(mqtt) + (mqtt.topic.empty() ? " (from the node id)" : "") + ": " + *wrong;
    }
    if (!mqtt.certFile.empty() != !mqtt.keyFile.empty()) {
        return std::string("mqtt-cert-file and mqtt-key-file go together: a client certificate needs its key");
    }
    std::set<std::string> names;
    for (const VpiConfig& vpi : config.vpis) {
        std::string name = DeviceName(vpi);
        if (auto wrong = CheckMqttId(name)) return "VPI " + std::to_string(vpi.number) + " name " + name + ": " + *wrong;
        if (!names.insert(name).second) {
            return "VPI " + std::to_string(vpi.number) + " name " + name + ": another VPI has that name already";
        }
    }
    return std::nullopt;
}

}  // namespace vpihost
