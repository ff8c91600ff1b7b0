#include "mqttsink.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "mqttsettings.hpp"
#include "version_text.hpp"

#if defined(VPIVG_HAVE_MQTT)
#include "bdseq_file.hpp"
#include "forwarder.hpp"
#include "json_protocol.hpp"
#include "mqtt_link.hpp"
#include "sparkplug_protocol.hpp"
#include "store.hpp"
#endif

namespace vpihost {

std::string BdSeqFileName(const std::string& node) { return "vpivg-host-" + node + ".bdseq"; }

#if defined(VPIVG_HAVE_MQTT)

namespace {

class MqttSink final : public ReportSink {
public:
    // `store` may be null: no store, reports made while the broker is away are lost.
    MqttSink(std::unique_ptr<gateway::Protocol> protocol, const std::string& bdSeqPath,
             gateway::LinkSettings settings, std::function<void(const std::string&)> log,
             std::unique_ptr<gateway::Store> store, const gateway::ForwarderSettings& forwarding,
             const std::string& checkpointTopic)
        : store_(std::move(store)),
          forwarder_(store_ ? std::make_unique<gateway::Forwarder>(store_.get(), forwarding) : nullptr),
          protocol_(std::move(protocol)),
          bdSeq_(bdSeqPath),
          link_(std::move(settings), *protocol_, bdSeq_, std::move(log)) {
        if (forwarder_) link_.UseStore(*forwarder_, checkpointTopic, store_->Path());
    }

    bool Start(std::string* why) { return link_.Start(why); }
    void OnReport(const gateway::Report& report) override { link_.Report(report); }
    void OnLink(int vpi, bool up, gateway::EpochMs now) override { link_.Link(vpi, up, now); }
    std::vector<int> TakePolls() override { return link_.TakePolls(); }
    void Stop() override { link_.Stop(); }
    std::string StatusLine() const override {
        gateway::LinkStatus s = link_.Status();
        std::string line = std::string("MQTT ") + gateway::StateName(s.state);
        if (s.state == gateway::LinkStatus::State::Retrying && s.retryInS > 0) {
            line += " (every " + std::to_string(s.retryInS) + " s)";
        }
        line += ", " + std::to_string(s.published) + " published";
        if (s.overflowed > 0) line += ", " + std::to_string(s.overflowed) + " dropped (queue full)";
        if (s.store) {
            line += ", " + std::to_string(s.store->stored) + " stored";
            if (s.store->replaying) line += " (replaying)";
            if (s.store->held > 0) line += ", " + std::to_string(s.store->held) + " in memory only (store failing)";
            if (s.store->dropped > 0) line += ", " + std::to_string(s.store->dropped) + " dropped (store full)";
        }
        if (!s.lastError.empty()) line += "; last error: " + s.lastError;
        return line;
    }

private:
    // In this order: the link goes first, the store last.
    std::unique_ptr<gateway::Store> store_;
    std::unique_ptr<gateway::Forwarder> forwarder_;
    std::unique_ptr<gateway::Protocol> protocol_;
    gateway::BdSeqFile bdSeq_;
    gateway::MqttLink link_;
};

// A file a setting names must be there and readable now, not at the first connect.
bool Readable(const char* setting, const std::string& path, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (in) return true;
    *why = std::string(setting) + " " + path + ": cannot read it: " + std::strerror(errno);
    return false;
}

}  // namespace

std::unique_ptr<ReportSink> MakeMqttSink(const MqttConfig& mqtt, std::vector<gateway::Device> devices,
                                         std::function<void(const std::string&)> log,
                                         const std::string& workFolder, std::string* why) {
    auto url = gateway::ParseMqttUrl(mqtt.url, why);
    if (!url) {
        *why = "mqtt-url " + mqtt.url + ": " + *why;
        return nullptr;
    }
    gateway::LinkSettings settings;
    settings.url = *url;
    const std::string node = MqttNodeId(mqtt);
    settings.clientId = "vpivg-host-" + node;
    settings.user = mqtt.user;
    settings.keepaliveS = mqtt.keepaliveS;
    if (!mqtt.passwordFile.empty()) {
        if (mqtt.user.empty()) {
            *why = "mqtt-password-file is given without mqtt-user";
            return nullptr;
        }
        std::string problem;
        if (!gateway::ReadPasswordFile(mqtt.passwordFile, &settings.password, &problem)) {
            *why = "mqtt-password-file: " + problem;
            return nullptr;
        }
    }
    const struct {
        const char* setting;
        const std::string& path;
    } files[] = {{"mqtt-ca-file", mqtt.caFile}, {"mqtt-cert-file", mqtt.certFile}, {"mqtt-key-file", mqtt.keyFile}};
    for (const auto& file : files) {
        if (file.path.empty()) continue;
        if (!url->tls) {
            *why = std::string(file.setting) + " is for an mqtts:// broker, but mqtt-url is " + mqtt.url;
            return nullptr;
        }
        if (!Readable(file.setting, file.path, why)) return nullptr;
    }
    settings.caFile = mqtt.caFile;
    settings.certFile = mqtt.certFile;
    settings.keyFile = mqtt.keyFile;

    std::unique_ptr<gateway::Protocol> protocol;
    try {
        if (mqtt.format == "json") {
            protocol = std::make_unique<gateway::JsonProtocol>(
                gateway::JsonSettings{MqttTopicPrefix(mqtt), mqtt.qos}, std::move(devices));
        } else {
            protocol = std::make_unique<gateway::SparkplugProtocol>(
                gateway::SparkplugIds{mqtt.group, node, mqtt.primaryHost}, std::move(devices),
                ToolVersionText("vpivg-host"));
        }
    } catch (const std::invalid_argument& e) {
        *why = std::string("MQTT settings: ") + e.what();
        return nullptr;
    }
    std::string bdSeqPath = BdSeqFileName(node);
    if (!workFolder.empty()) bdSeqPath = workFolder + "/" + bdSeqPath;
    std::unique_ptr<gateway::Store> store;
    std::string storePath = MqttStorePath(mqtt);
    if (!storePath.empty()) {
        if (!workFolder.empty() && storePath.front() != '/') storePath = workFolder + "/" + storePath;
        std::vector<std::string> notices;
        std::string problem;
        store = gateway::Store::Open(storePath, static_cast<std::uint64_t>(mqtt.storeMb) * 1024 * 1024, &problem, &notices);
        for (const std::string& notice : notices) log("MQTT store: " + notice);
        if (!store) {
            *why = "mqtt-store: " + problem;
            return nullptr;
        }
        if (store->Count() > 0) {
            log("MQTT store " + storePath + ": " + std::to_string(store->Count()) +
                " reports from before are waiting for the broker");
        }
    }
    gateway::ForwarderSettings forwarding;
    forwarding.replayPerS = mqtt.replayPerS;
    auto sink = std::make_unique<MqttSink>(std::move(protocol), bdSeqPath, std::move(settings), std::move(log),
                                           std::move(store), forwarding, gateway::CheckpointTopic(mqtt.group, node));
    if (!sink->Start(why)) return nullptr;
    return sink;
}

#else

std::unique_ptr<ReportSink> MakeMqttSink(const MqttConfig&, std::vector<gateway::Device>,
                                         std::function<void(const std::string&)>, const std::string&,
                                         std::string* why) {
    *why = "mqtt-url: this build of vpivg-host has no MQTT (the Linux build has it)";
    return nullptr;
}

#endif

}  // namespace vpihost
