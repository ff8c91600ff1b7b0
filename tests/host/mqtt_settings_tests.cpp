// The mqtt-* settings and a VPI's name: the file and the flags take the same names, and every
// mistake stops the start with the setting named (and its place in the file).
#include <gtest/gtest.h>

#include "commandline.hpp"
#include "config.hpp"
#include "mqttsettings.hpp"

using namespace vpihost;

namespace {

const std::string kVpi = "[[vpi]]\nvpi = 2\nport = \"COM2\"\nstreams = 1\nparams = \"1-5\"\n";

}  // namespace

#if defined(VPIVG_HAVE_MQTT)
TEST(HostMqttSettings, TheFileTakesEveryMqttSettingAndAVpiName) {
    HostConfig config;
    ConfigError error;
    const std::string text =
        "mqtt-url = \"mqtts://broker.plant:8884\"\nmqtt-format = \"json\"\nmqtt-group = \"Works\"\n"
        "mqtt-node = \"gw1\"\nmqtt-primary-host = \"scada\"\nmqtt-topic = \"plant/gas\"\nmqtt-qos = 0\n"
        "mqtt-user = \"edge\"\nmqtt-password-file = \"pw\"\nmqtt-ca-file = \"ca.pem\"\n"
        "mqtt-cert-file = \"me.pem\"\nmqtt-key-file = \"me.key\"\nmqtt-keepalive-s = 20\n"
        "mqtt-store = \"/var/lib/gw.db\"\nmqtt-store-mb = 64\nmqtt-replay-per-s = 2000\n" +
        kVpi + "name = \"Oven\"\n";
    ASSERT_TRUE(ParseConfig(text, "plant.toml", &config, &error)) << error.Text();
    const MqttConfig& m = config.mqtt;
    EXPECT_EQ(m.url, "mqtts://broker.plant:8884");
    EXPECT_EQ(m.format, "json");
    EXPECT_EQ(m.group, "Works");
    EXPECT_EQ(m.node, "gw1");
    EXPECT_EQ(m.primaryHost, "scada");
    EXPECT_EQ(m.topic, "plant/gas");
    EXPECT_EQ(m.qos, 0);
    EXPECT_EQ(m.user, "edge");
    EXPECT_EQ(m.passwordFile, "pw");
    EXPECT_EQ(m.caFile, "ca.pem");
    EXPECT_EQ(m.certFile, "me.pem");
    EXPECT_EQ(m.keyFile, "me.key");
    EXPECT_EQ(m.keepaliveS, 20);
    EXPECT_EQ(MqttStorePath(m), "/var/lib/gw.db");
    EXPECT_EQ(m.storeMb, 64);
    EXPECT_EQ(m.replayPerS, 2000);
    EXPECT_EQ(config.vpis[0].name, "Oven");
    EXPECT_EQ(DeviceName(config.vpis[0]), "Oven");

    // Defaults: Sparkplug, group vpivg, the host name as the node, vpivg/<node> for JSON.
    HostConfig plain;
    ASSERT_TRUE(ParseConfig(kVpi, "plant.toml", &plain, &error)) << error.Text();
    EXPECT_EQ(plain.mqtt.url, "");
    EXPECT_EQ(plain.mqtt.format, "sparkplug");
    EXPECT_EQ(plain.mqtt.group, "vpivg");
    EXPECT_EQ(plain.mqtt.qos, 1);
    EXPECT_EQ(DeviceName(plain.vpis[0]), "VPI2");
    EXPECT_FALSE(MqttNodeId(plain.mqtt).empty());
    EXPECT_EQ(MqttTopicPrefix(plain.mqtt), "vpivg/" + MqttNodeId(plain.mqtt));
    // A store of the node's name in the working folder, unless "none" is asked for.
    EXPECT_EQ(MqttStorePath(plain.mqtt), "vpivg-host-" + MqttNodeId(plain.mqtt) + ".db");
    EXPECT_EQ(plain.mqtt.storeMb, 256);
    EXPECT_EQ(plain.mqtt.replayPerS, 500);
    plain.mqtt.store = "none";
    EXPECT_EQ(MqttStorePath(plain.mqtt), "");
}

TEST(HostMqttSettings, FileMistakesAreNamedWhereTheyStand) {
    struct Case {
        std::string text;
        std::string message;  // the start of ConfigError::Text()
    };
    const std::vector<Case> cases{
        {"mqtt-url = \"http://broker\"\n" + kVpi,
         "plant.toml:1:12: mqtt-url = 'http://broker': expected mqtt://host[:port] or mqtts://host[:port]"},
        {"mqtt-url = \"mqtt://broker:0\"\n" + kVpi, "plant.toml:1:12: mqtt-url = 'mqtt://broker:0': port '0'"},
        {"mqtt-url = \"mqtt://user:pw@broker\"\n" + kVpi, "plant.toml:1:12: mqtt-url = 'mqtt://user:pw@broker': no user"},
        {"mqtt-node = \"line/2\"\n" + kVpi, "plant.toml:1:13: mqtt-node = 'line/2': "},
        {"mqtt-group = \"a+b\"\n" + kVpi, "plant.toml:1:14: mqtt-group = 'a+b': "},
        {"mqtt-format = \"xml\"\n" + kVpi, "plant.toml:1:15: mqtt-format = 'xml': expected \"sparkplug\" or \"json\""},
        {"mqtt-qos = 2\n" + kVpi, "plant.toml:1:12: mqtt-qos = 2: expected 0 or 1"},
        {"mqtt-store = \"\"\n" + kVpi, "plant.toml:1:14: mqtt-store = '': expected a file name, or none for no store"},
        {"mqtt-store-mb = 0\n" + kVpi, "plant.toml:1:17: mqtt-store-mb = 0: expected megabytes from 1 to 1048576"},
        {"mqtt-replay-per-s = 0\n" + kVpi, "plant.toml:1:21: mqtt-replay-per-s = 0: expected reports a second from 1 to 100000"},
        {"mqtt-topic = \"plant/#\"\n" + kVpi, "plant.toml:1:14: mqtt-topic = 'plant/#': "},
        {kVpi + "name = \"Oven#1\"\n", "plant.toml:6:8: name = 'Oven#1': "},
        {"mqtt-url = \"mqtt://b\"\n" + kVpi + "name = \"Oven\"\n" +
             "[[vpi]]\nvpi = 3\nport = \"COM3\"\nstreams = 1\nparams = 1\nname = \"Oven\"\n",
         "plant.toml: VPI 3 name Oven: another VPI has that name already"},
        {"mqtt-url = \"mqtt://b\"\nmqtt-cert-file = \"me.pem\"\n" + kVpi,
         "plant.toml: mqtt-cert-file and mqtt-key-file go together"},
    };
    for (const Case& c : cases) {
        HostConfig config;
        ConfigError error;
        EXPECT_FALSE(ParseConfig(c.text, "plant.toml", &config, &error)) << c.text;
        EXPECT_EQ(error.Text().rfind(c.message, 0), 0u) << error.Text() << "\nexpected: " << c.message;
    }
}

TEST(HostMqttSettings, FlagsTakeTheSameSettingsAndNameTheirMistakes) {
    HostOptions options;
    HostConfig config;
    auto exit = ParseCommandLine({"--port", "COM3", "--name", "Kiln", "--mqtt-url", "mqtt://10.0.0.5",
                                  "--mqtt-format", "json", "--mqtt-topic", "works/gas", "--mqtt-qos", "0",
                                  "--mqtt-node", "gw2", "--mqtt-keepalive-s", "15"},
                                 &options, &config);
    ASSERT_FALSE(exit);
    EXPECT_EQ(config.mqtt.url, "mqtt://10.0.0.5");
    EXPECT_EQ(config.mqtt.format, "json");
    EXPECT_EQ(config.mqtt.topic, "works/gas");
    EXPECT_EQ(config.mqtt.qos, 0);
    EXPECT_EQ(config.mqtt.node, "gw2");
    EXPECT_EQ(config.mqtt.keepaliveS, 15);
    EXPECT_EQ(config.vpis.at(0).name, "Kiln");

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--port", "COM3", "--mqtt-url", "tcp://broker"},
          {"--port", "COM3", "--mqtt-url", "mqtt://b", "--mqtt-node", "a#b"},
          {"--port", "COM3", "--mqtt-url", "mqtt://b", "--name", "x/y"},
          {"--port", "COM3", "--mqtt-qos", "2"}}) {
        testing::internal::CaptureStderr();
        auto status = ParseCommandLine(args, &options, &config);
        std::string err = testing::internal::GetCapturedStderr();
        const std::string& flag = args[args.size() - 2];
        EXPECT_EQ(status, 2) << flag;
        EXPECT_NE(err.find(flag), std::string::npos) << err;
    }
}

TEST(HostMqttSettings, UrlsReadAsWritten) {
    EXPECT_FALSE(CheckMqttUrl("mqtt://broker"));
    EXPECT_FALSE(CheckMqttUrl("mqtts://broker.plant.example:8884"));
    EXPECT_FALSE(CheckMqttUrl("mqtt://[::1]:1883"));
    EXPECT_FALSE(CheckMqttUrl("mqtt://192.168.1.20/"));
    for (const char* bad : {"mqtt://", "mqtt://:1883", "mqtt://b:", "mqtt://b:65536", "mqtt://b:12x", "mqtt://b/topic",
                            "mqtt://[::1", "mqtt://b c", "MQTT://b", "broker:1883"}) {
        EXPECT_TRUE(CheckMqttUrl(bad)) << bad;
    }
}
#else
// The Windows build has no MQTT: a url is refused plainly, where it stands, and a VPI's name
// (harmless without a broker) is still taken.
TEST(HostMqttSettings, ABuildWithoutMqttSaysSoForAUrl) {
    HostConfig config;
    ConfigError error;
    EXPECT_FALSE(ParseConfig("mqtt-url = \"mqtt://broker\"\n" + kVpi, "plant.toml", &config, &error));
    EXPECT_EQ(error.Text(), "plant.toml:1:12: mqtt-url = 'mqtt://broker': this build of vpivg-host has no MQTT "
                            "(the Linux build has it)");
    EXPECT_TRUE(ParseConfig(kVpi + "name = \"Oven\"\n", "plant.toml", &config, &error)) << error.Text();
    HostOptions options;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParseCommandLine({"--port", "COM3", "--mqtt-url", "mqtt://broker"}, &options, &config), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("--mqtt-url mqtt://broker: this build of vpivg-host has no MQTT"),
              std::string::npos);
}
#endif
