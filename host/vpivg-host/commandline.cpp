#include "commandline.hpp"

#include <algorithm>
#include <iostream>
#include <sstream>

#include "cli.hpp"
#include "host.hpp"
#include "mqttsettings.hpp"
#include "number_list.hpp"

namespace vpihost {

namespace {

struct Flags {
    HostConfig host;
    vpitools::LineOptions line;
    vpitools::CommonOptions common;
    VpiConfig vpi;
    std::string streams, params;
    int statusWait = 60;
    HostOptions options;
};

// The VPI flags; with --config the file holds the VPIs, so these would be ambiguous.
const char* const kVpiFlags[] = {"--port", "--vpi", "--streams", "--params", "--baud", "--data-bits",
                                 "--parity", "--stop-bits", "--read-timeout-ms", "--status-wait", "--name"};
// Flags that are not settings of the file.
const char* const kNotSettings[] = {"--config", "--check-config", "--list-ports", "--version", "--help",
                                    "--no-recovery"};

void Define(CLI::App& app, Flags& f) {
    app.set_help_flag("-h,--help", "this help");
    // --version names the driver this host would load, so it is answered once --driver is read.
    vpitools::AddCommonOptions(app, f.common, nullptr);
    app.add_option("--config", f.options.configPath, "the host's TOML file (see vpivg-host.example.toml)")
        ->type_name("FILE");
    app.add_flag("--list-ports", f.options.listPorts, "list the serial ports of this machine and stop");
    app.add_flag("--check-config", f.options.checkConfig, "read the --config file and the flags, say whether they hold, start nothing");

    // One VPI from flags; in the file, a [[vpi]] table with the same names.
    vpitools::AddLineOptions(app, f.line);
    app.add_option("--vpi", f.vpi.number, "its VPI number (default 1)")->check(CLI::Range(1, 255));
    app.add_option("--streams", f.streams, "its streams, e.g. 1-3,5 (default 1)")->type_name("LIST");
    app.add_option("--params", f.params, "its parameters, e.g. 1-20 (default 1-20)")->type_name("LIST");
    app.add_option("--status-wait", f.statusWait, "ms a !STATUS read waits, 30..120 (written to vpiVGnn.int)")
        ->check(CLI::Range(30, 120));

    app.add_option("--scan-period-ms", f.host.scanPeriodMs, "how often !STATUS and the gates are read (default 1000)")
        ->check(CLI::Range(50, 3600000));
    app.add_option("--poll-period-ms", f.host.pollPeriodMs, "how often !POLL is read; 0: never (default)")
        ->check([](const std::string& v) -> std::string {
            long long n = 0;
            std::istringstream in(v);
            if (!(in >> n) || !in.eof()) return "expected a whole number";
            auto wrong = CheckPollPeriod(n);
            return wrong ? *wrong : std::string();
        });
    app.add_flag("--recovery,!--no-recovery", f.host.recovery, "reopen the port of a silent VPI (default on)");
    app.add_option("--recovery-after", f.host.recoveryAfter, "failed status scans before a reopen (default 3)")
        ->check(CLI::Range(1, 1000));
    app.add_option("--tick-ms", f.host.tickMs, "the host's message tick (default 20)")->check(CLI::Range(1, 1000));
    app.add_option("--driver", f.host.driver, "the driver library (default: next to this program)")->type_name("FILE");
    app.add_option("--device-dir", f.host.deviceDir, "folder where long device paths are linked as comN")
        ->type_name("FOLDER");
    app.add_option("--csv", f.host.csv, "record every gate value change: time, vpi, address, value")->type_name("FILE");
    app.add_flag("--overwrite", f.host.overwrite, "let --csv replace an existing file");
    app.add_option("--log-size-kb", f.host.logSizeKb, "rotate the --log file at this size (default 1024)")
        ->check(CLI::Range(16, 1048576));
    app.add_flag("--trace", f.host.trace, "show the driver's byte trace, one line per report");

    app.add_option("--name", f.vpi.name, "its device id on MQTT (default VPI<number>)")->type_name("ID");
    // Publishing to MQTT. Ids and the url are checked once all settings are in.
    MqttConfig& m = f.host.mqtt;
    app.add_option("--mqtt-url", m.url, "publish to this broker: mqtt://host[:port] or mqtts://host[:port]")
        ->type_name("URL");
    app.add_option("--mqtt-format", m.format, "sparkplug (default) or json")->type_name("FORMAT");
    app.add_option("--mqtt-group", m.group, "Sparkplug group id (default vpivg)")->type_name("ID");
    app.add_option("--mqtt-node", m.node, "edge node id (default: this machine's host name)")->type_name("ID");
    app.add_option("--mqtt-primary-host", m.primaryHost, "Sparkplug primary host id: no births until it is online")
        ->type_name("ID");
    app.add_option("--mqtt-topic", m.topic, "JSON topic prefix (default vpivg/<node>)")->type_name("TOPIC");
    app.add_option("--mqtt-qos", m.qos, "QoS of the JSON data, 0 or 1 (default 1)")->check(CLI::Range(0, 1));
    app.add_option("--mqtt-user", m.user, "user name for the broker")->type_name("NAME");
    app.add_option("--mqtt-password-file", m.passwordFile, "file whose first line is the broker password")
        ->type_name("FILE");
    app.add_option("--mqtt-ca-file", m.caFile, "CA certificates (PEM) that vouch for an mqtts:// broker")
        ->type_name("FILE");
    app.add_option("--mqtt-cert-file", m.certFile, "client certificate (PEM) for the broker")->type_name("FILE");
    app.add_option("--mqtt-key-file", m.keyFile, "the client certificate's key (PEM)")->type_name("FILE");
    app.add_option("--mqtt-keepalive-s", m.keepaliveS, "MQTT keepalive in seconds (default 30)")
        ->check(CLI::Range(5, 3600));
    app.add_option("--mqtt-store", m.store,
                   "every report kept in this file until the broker has it (default vpivg-host-<node>.db; none: no store)")
        ->type_name("FILE");
    app.add_option("--mqtt-store-mb", m.storeMb, "the store's size bound: the oldest reports go past it (default 256)")
        ->check(CLI::Range(1, 1048576));
    app.add_option("--mqtt-replay-per-s", m.replayPerS, "stored reports sent per second after an outage (default 500)")
        ->check(CLI::Range(1, 100000));
}

}  // namespace

std::vector<std::string> FlagNames() {
    Flags f;
    CLI::App app;
    Define(app, f);
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            std::string flag = "--" + name;
            if (std::find(std::begin(kNotSettings), std::end(kNotSettings), flag) == std::end(kNotSettings)) {
                names.push_back(name);
            }
        }
    }
    return names;
}

std::optional<int> ParseCommandLine(const std::vector<std::string>& args, HostOptions* options,
                                    HostConfig* config) {
    Flags f;
    f.vpi.number = 1;
    CLI::App app{"vpivg-host: the stand-in SCADA host for the vpivg driver", "vpivg-host"};
    Define(app, f);
    // The demo takes the program's flags after its name too ("demo --duration 5").
    app.fallthrough();
    auto* demo = app.add_subcommand("demo", "simulator and driver on a pseudo-terminal pair, no hardware needed");
    app.footer("A config file takes every flag but --config, --check-config, --list-ports and --version\n"
               "as a setting of the same name: see vpivg-host.example.toml.");
    std::vector<const char*> argv{"vpivg-host"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    if (auto exit = vpitools::ParseCommandLine(app, static_cast<int>(argv.size()), argv.data())) return exit;

    auto fail = [&](const std::string& text) {
        std::cerr << "vpivg-host: " << text << "\nRun 'vpivg-host --help' for the options.\n";
        return 2;
    };
    auto given = [&](const char* flag) { return app.count(flag) > 0; };
    bool vpiFlags = std::any_of(std::begin(kVpiFlags), std::end(kVpiFlags), given);
    f.options.demo = demo->parsed();
    if (f.common.version) {
        f.options.version = true;
        f.options.driverPath = f.host.driver;
        *options = f.options;
        return std::nullopt;
    }
    if (f.options.listPorts) {
        *options = f.options;
        return std::nullopt;
    }

    HostConfig result;
    if (f.options.demo) {
        if (!f.options.configPath.empty() || vpiFlags) return fail("demo takes no --config or VPI flags");
        if (f.options.checkConfig) return fail("demo takes no --check-config");
        if (given("--device-dir")) {
            return fail("demo takes no --device-dir: it links its own line as COM1 in a folder of its own");
        }
        result = DemoSettings();
    } else if (!f.options.configPath.empty()) {
        if (vpiFlags) return fail("--config and the VPI flags (--port, --vpi, ...) exclude each other: the file holds the VPIs");
        ConfigError error;
        if (!LoadConfigFile(f.options.configPath, &result, &error)) {
            std::cerr << "vpivg-host: " << error.Text() << "\n";
            return 2;
        }
    } else if (f.options.checkConfig) {
        return fail("--check-config checks a --config FILE");
    } else if (vpiFlags) {
        if (f.line.port.empty()) return fail("--port is required (or --config FILE)");
        VpiConfig vpi = f.vpi;
        std::string why;
        auto name = DriverPortName(f.line.port, kWin32Target, &why, !kWin32Target);
        if (!name) return fail("--port " + f.line.port + ": " + why);
        vpi.port = f.line.port;
        vpi.driverPort = *name;
        vpi.streams = {1};
        for (int i = 1; i <= 20; ++i) vpi.params.push_back(i);
        if (!f.streams.empty() && !vpitools::ParseNumberList(f.streams, 1, 99, &vpi.streams, &why)) {
            return fail("--streams " + f.streams + ": " + why + " (streams are 1..99)");
        }
        if (!f.params.empty() && !vpitools::ParseNumberList(f.params, 1, 99, &vpi.params, &why)) {
            return fail("--params " + f.params + ": " + why + " (params are 1..99)");
        }
        // Unset line words stay unset: the driver's own defaults then hold.
        if (given("--baud")) {
            if (auto wrong = CheckBaud(f.line.baud)) return fail("--baud " + std::to_string(f.line.baud) + ": " + *wrong);
            vpi.baud = static_cast<int>(f.line.baud);
        }
        if (given("--data-bits")) vpi.dataBits = f.line.dataBits;
        if (given("--parity")) vpi.parity = static_cast<int>(f.line.parity);
        if (given("--stop-bits")) vpi.stopBits = static_cast<int>(f.line.stopBits);
        if (given("--read-timeout-ms")) {
            auto units = ReadTimeoutUnits(f.line.readTimeoutMs);
            if (!units) return fail("--read-timeout-ms " + std::to_string(f.line.readTimeoutMs) + ": " + kReadTimeoutRange);
            vpi.readTimeout = *units;
        }
        if (given("--status-wait")) vpi.statusWait = f.statusWait;
        result.vpis.push_back(vpi);
    } else {
        return fail("nothing to run: give --config FILE or --port NAME (or 'demo', or --list-ports)");
    }
    // A flag given wins over the file.
    const HostConfig& h = f.host;
    if (given("--scan-period-ms")) result.scanPeriodMs = h.scanPeriodMs;
    if (given("--poll-period-ms")) result.pollPeriodMs = h.pollPeriodMs;
    if (given("--recovery") || given("--no-recovery")) result.recovery = h.recovery;
    if (given("--recovery-after")) result.recoveryAfter = h.recoveryAfter;
    if (given("--tick-ms")) result.tickMs = h.tickMs;
    if (given("--driver")) result.driver = h.driver;
    if (given("--device-dir")) result.deviceDir = h.deviceDir;
    if (given("--csv")) result.csv = h.csv;
    if (given("--overwrite")) result.overwrite = h.overwrite;
    if (given("--log")) result.log = f.common.logPath;
    if (given("--log-size-kb")) result.logSizeKb = h.logSizeKb;
    if (given("--trace")) result.trace = h.trace;
    if (given("--duration")) result.duration = f.common.duration;
    if (given("--plain")) result.plain = f.common.plain;
    if (given("--quiet")) result.quiet = f.common.quiet;
    const MqttConfig& m = h.mqtt;
    if (given("--mqtt-url")) result.mqtt.url = m.url;
    if (given("--mqtt-format")) result.mqtt.format = m.format;
    if (given("--mqtt-group")) result.mqtt.group = m.group;
    if (given("--mqtt-node")) result.mqtt.node = m.node;
    if (given("--mqtt-primary-host")) result.mqtt.primaryHost = m.primaryHost;
    if (given("--mqtt-topic")) result.mqtt.topic = m.topic;
    if (given("--mqtt-qos")) result.mqtt.qos = m.qos;
    if (given("--mqtt-user")) result.mqtt.user = m.user;
    if (given("--mqtt-password-file")) result.mqtt.passwordFile = m.passwordFile;
    if (given("--mqtt-ca-file")) result.mqtt.caFile = m.caFile;
    if (given("--mqtt-cert-file")) result.mqtt.certFile = m.certFile;
    if (given("--mqtt-key-file")) result.mqtt.keyFile = m.keyFile;
    if (given("--mqtt-keepalive-s")) result.mqtt.keepaliveS = m.keepaliveS;
    if (given("--mqtt-store")) result.mqtt.store = m.store;
    if (given("--mqtt-store-mb")) result.mqtt.storeMb = m.storeMb;
    if (given("--mqtt-replay-per-s")) result.mqtt.replayPerS = m.replayPerS;
    // Each flag checked by the name it was given under.
    struct Checked {
        const char* flag;
        const std::string& value;
        std::optional<std::string> (*check)(const std::string&);
    };
    const Checked checks[] = {{"--mqtt-url", m.url, CheckMqttUrl},       {"--mqtt-format", m.format, CheckMqttFormat},
                              {"--mqtt-group", m.group, CheckMqttId},    {"--mqtt-node", m.node, CheckMqttId},
                              {"--mqtt-primary-host", m.primaryHost, CheckMqttId},
                              {"--mqtt-topic", m.topic, CheckMqttTopic}, {"--mqtt-store", m.store, CheckMqttStore},
                              {"--name", f.vpi.name, CheckMqttId}};
    for (const Checked& c : checks) {
        if (!given(c.flag)) continue;
        if (auto wrong = c.check(c.value)) return fail(std::string(c.flag) + " " + c.value + ": " + *wrong);
    }
    if (auto wrong = CheckMqttConfig(result)) return fail(*wrong);
    *options = f.options;
    *config = std::move(result);
    return std::nullopt;
}

}  // namespace vpihost
