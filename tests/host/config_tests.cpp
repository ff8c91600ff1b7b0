// The host's configuration: what a plant writes must either run as written or be refused with
// the file, line, column and what is wrong, before anything is started.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "commandline.hpp"
#include "config.hpp"
#include "mqttsettings.hpp"
#include "driverlib.hpp"
#include "portname.hpp"
#include "ports.hpp"

using namespace vpihost;

namespace {

ConfigError ExpectRefused(const std::string& text) {
    HostConfig config;
    ConfigError error;
    EXPECT_FALSE(ParseConfig(text, "plant.toml", &config, &error)) << text;
    return error;
}

const char* kGood =
    "# a plant\n"
    "scan-period-ms = 500\n"
    "poll-period-ms = 2000 # inline comment\n"
    "recovery = false\n"
    "recovery-after = 5\n"
    "tick-ms = 10\n"
    "log = \"plant.log\"\n"
    "log-size-kb = 64\n"
    "csv = \"plant.csv\"\n"
    "overwrite = true\n"
    "trace = true\n"
    "duration = 2.5\n"
    "plain = true\n"
    "quiet = false\n"
    "device-dir = \"/run/plant\"\n"
    "driver = \"./libvpivg.so\"\n"
    "\n"
    "[[vpi]]\n"
    "vpi = 3\n"
    "port = \"com4\"\n"
    "baud = 19200\n"
    "data-bits = 7\n"
    "parity = \"Even\"\n"
    "stop-bits = 1.5\n"
    "read-timeout-ms = 2500\n"
    "status-wait = 45\n"
    "streams = \"1-3,5\"\n"
    "params = [1, 2, 3, 4, 10]\n"
    "[[vpi]]\r\n"
    "vpi = 4\r\n"
    "port = \"/dev/ttyS0\"\r\n"
    "streams = 2\r\n"
    "params = \"5-6\"\r\n";

std::string Example() {
    // The source tree comes from the build: __FILE__ is relative in a reproducible build.
    return (std::filesystem::path(VPIVG_SOURCE_DIR) / "host" / "vpivg-host" / "vpivg-host.example.toml")
        .string();
}

}  // namespace

TEST(HostConfig, ReadsEverySetting) {
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(ParseConfig(kGood, "plant.toml", &config, &error)) << error.Text();
    EXPECT_EQ(config.scanPeriodMs, 500);
    EXPECT_EQ(config.pollPeriodMs, 2000);
    EXPECT_FALSE(config.recovery);
    EXPECT_EQ(config.recoveryAfter, 5);
    EXPECT_EQ(config.tickMs, 10);
    EXPECT_EQ(config.log, "plant.log");
    EXPECT_EQ(config.logSizeKb, 64);
    EXPECT_EQ(config.csv, "plant.csv");
    EXPECT_TRUE(config.overwrite && config.trace && config.plain && !config.quiet);
    EXPECT_DOUBLE_EQ(config.duration, 2.5);
    EXPECT_EQ(config.deviceDir, "/run/plant");
    EXPECT_EQ(config.driver, "./libvpivg.so");
    ASSERT_EQ(config.vpis.size(), 2u);
    const VpiConfig& v = config.vpis[0];
    EXPECT_EQ(v.number, 3);
    EXPECT_EQ(v.line, 18);
    EXPECT_EQ(v.port, "com4");
    EXPECT_EQ(v.driverPort, "com4");
    EXPECT_EQ(v.baud, 19200);
    EXPECT_EQ(v.dataBits, 7);
    EXPECT_EQ(v.parity, 2);
    EXPECT_EQ(v.stopBits, 1);
    EXPECT_EQ(v.readTimeout, 250);
    EXPECT_EQ(v.statusWait, 45);
    EXPECT_EQ(v.streams, (std::vector<int>{1, 2, 3, 5}));
    EXPECT_EQ(v.params, (std::vector<int>{1, 2, 3, 4, 10}));
    const VpiConfig& w = config.vpis[1];
    EXPECT_EQ(w.driverPort, "/dev/ttyS0");
    EXPECT_EQ(w.streams, (std::vector<int>{2}));
    EXPECT_FALSE(w.baud.has_value()) << "unset line words come from the driver's defaults";
    EXPECT_FALSE(w.statusWait.has_value());
    EXPECT_EQ(w.readTimeout, 100);
}

TEST(HostConfig, AByteOrderMarkIsNoPartOfTheSettings) {
    HostConfig config;
    ConfigError error;
    std::string text = std::string("\xEF\xBB\xBF") + kGood;
    ASSERT_TRUE(ParseConfig(text, "plant.toml", &config, &error)) << error.Text();
    EXPECT_EQ(config.scanPeriodMs, 500);
    // A mistake on the first line is still told without an invisible character in it.
    error = ExpectRefused("\xEF\xBB\xBFscan-period-ms = 10\n");
    EXPECT_EQ(error.Text().find("\xEF\xBB\xBF"), std::string::npos);
    EXPECT_EQ(error.line, 1);
    EXPECT_EQ(error.column, 18);
}

TEST(HostConfig, TheShippedExampleIsValid) {
    if (!std::filesystem::exists(Example())) GTEST_SKIP() << "sources not at " << Example();
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(LoadConfigFile(Example(), &config, &error)) << error.Text();
    ASSERT_EQ(config.vpis.size(), 1u);
    EXPECT_EQ(config.vpis[0].port, "COM1");
    EXPECT_EQ(config.vpis[0].statusWait, 60);
}

// The example the Linux package installs as /etc/vpivg/gateway.toml.example is a file the host
// takes. A build without MQTT (Windows) refuses its mqtt-url, as it says.
TEST(HostConfig, TheGatewayExampleIsAFileTheHostTakes) {
    if (!kHaveMqtt) GTEST_SKIP() << "this build has no MQTT: the example is the Linux gateway's";
    HostConfig config;
    ConfigError error;
    auto example = std::filesystem::path(VPIVG_SOURCE_DIR) / "packaging" / "gateway.toml.example";
    ASSERT_TRUE(LoadConfigFile(example.string(), &config, &error)) << error.Text();
    ASSERT_EQ(config.vpis.size(), 1u);
}

TEST(HostConfig, EverySettingIsAFlagOfTheSameNameAndTheReverse) {
    std::vector<std::string> settings = SettingNames();
    std::vector<std::string> flags = FlagNames();
    std::sort(settings.begin(), settings.end());
    std::sort(flags.begin(), flags.end());
    EXPECT_EQ(settings, flags);
}

// Non-ASCII text belongs in strings and comments; anywhere else it is a mistake named with its
// place. The TOML reader classifies such a character wherever it may skip white space, which the
// build makes safe for every character (cmake/tomlplusplus.cmake; a fuzzer found the fault).
TEST(HostConfig, NonAsciiTextIsTakenInStringsAndCommentsAndNamedElsewhere) {
    HostConfig config;
    ConfigError error;
    const std::string good = "# Ofen S\xC3\xBC" "d, Messstelle \xE2\x84\x96 3\n"
                             "log = 'C:\\Betrieb\\Pr\xC3\xBC" "fung.log'\n"
                             "csv = \"\"\"\\u00e9t\\u00e9 \\\n    \xC3\xA9t\xC3\xA9.csv\"\"\"\n"
                             "[[vpi]] # \xEF\xBB\xBB\nvpi = 1\nport = \"COM1\"\nstreams = 1\n"
                             "params = \"1-5\"\n";
    ASSERT_TRUE(ParseConfig(good, "plant.toml", &config, &error)) << error.Text();
    EXPECT_EQ(config.log, "C:\\Betrieb\\Pr\xC3\xBC" "fung.log");
    EXPECT_EQ(config.csv, "\xC3\xA9t\xC3\xA9 \xC3\xA9t\xC3\xA9.csv");

    struct Case {
        std::string text;
        int line;
        int column;
    };
    const std::vector<Case> cases{
        {"\xC3\xA9 = 1\n", 1, 1},
        {"scan-period-ms = 1000 \xC3\xA9\n", 1, 23},
        {"scan-period-ms = 10\xC3\xA9" "00\n", 1, 20},
        // What the fuzzer found: a byte order mark changed into another character, and the same
        // inside a bare word the reader reads on through.
        {"\xEF\xBB\xBB# x\n", 1, 1},
        {"scan-period-ms = 1\"\".\"\".\"\xEF\xBB\xB9L\"\n", 1, 19},
        {"log = \"a\\\xC3\xA9\"\n", 1, 10},
    };
    for (const Case& c : cases) {
        error = ExpectRefused(c.text);
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.Text();
        EXPECT_EQ(error.column, c.column) << c.text << " -> " << error.Text();
    }
}

TEST(HostConfig, EveryMistakeIsNamedWithItsLineAndColumn) {
    struct Case {
        std::string text;
        int line;
        int column;
        std::string says;
    };
    const std::string vpi = "[[vpi]]\nvpi = 1\nport = \"COM1\"\nstreams = 1\nparams = \"1-5\"\n";
    const std::vector<Case> cases{
        // Settings of a VPI at the top would hold nothing: refused where they stand.
        {"port = \"COM1\"\n", 1, 8, "belongs to a VPI"},
        {"streams = 1\n" + vpi, 1, 11, "belongs to a VPI"},
        // Not TOML at all.
        {"[host\n", 1, 6, ""},
        {"scan-period-ms\n", 1, 15, ""},
        {"= 5\n", 1, 1, ""},
        {"scan-period-ms =\n", 1, 17, ""},
        {"scan-period-ms = 100\nscan-period-ms = 200\n", 2, 18, "redefine"},
        {"[[vpi]]\nvpi = 0\n", 2, 7, "1 to 255"},
        {"[[vpi]]\nvpi = 256\n", 2, 7, "1 to 255"},
        {"[[vpi]]\nvpi = \"x\"\n", 2, 7, "1 to 255"},
        {"[vpi]\nvpi = 1\n", 1, 1, "[[vpi]] table"},
        {vpi + vpi, 6, 1, "second [[vpi]] for VPI 1"},
        {"[hosts]\n", 1, 1, "unknown setting 'hosts'"},
        {"scan-period-ms = 10\n", 1, 18, "50 to 3600000"},
        {"scan-period-ms = \"1s\"\n", 1, 18, "whole number"},
        {"poll-period-ms = 50\n", 1, 18, "0 (no polls)"},
        {"recovery = \"maybe\"\n", 1, 12, "true or false"},
        {"recovery-after = 0\n", 1, 18, "failed status scans"},
        {"tick-ms = 0\n", 1, 11, "1 to 1000"},
        {"duration = -1\n", 1, 12, "0 for until stopped"},
        {"log = 5\n", 1, 7, "quoted text"},
        {"log-size-kb = 1\n", 1, 15, "16 to"},
        {"colour = \"red\"\n", 1, 10, "unknown setting 'colour'"},
        {"[[vpi]]\nport = \"COM1 COM2\"\n", 2, 8, "blank"},
        {"[[vpi]]\nport = \"COM0\"\n", 2, 8, "COM1 up"},
        {"[[vpi]]\nport = \"\"\n", 2, 8, "empty"},
        {"[[vpi]]\nbaud = 115200\n", 2, 8, "16 bits"},
        {"[[vpi]]\nbaud = 49\n", 2, 8, "from 50 to 65535"},
        {"[[vpi]]\nbaud = \"9600\"\n", 2, 8, "whole number"},
        {"[[vpi]]\ndata-bits = 9\n", 2, 13, "5, 6, 7 or 8"},
        {"[[vpi]]\nparity = \"yes\"\n", 2, 10, "\"none\", \"odd\""},
        {"[[vpi]]\nstop-bits = 3\n", 2, 13, "1, 1.5 or 2"},
        {"[[vpi]]\nstop-bits = \"1\"\n", 2, 13, "1, 1.5 or 2"},
        {"[[vpi]]\nread-timeout-ms = 500\n", 2, 19, "driver's least"},
        {"[[vpi]]\nstatus-wait = 29\n", 2, 15, "30 to 120"},
        {"[[vpi]]\nstatus-wait = 121\n", 2, 15, "30 to 120"},
        {"[[vpi]]\nstreams = \"0-3\"\n", 2, 11, "streams are 1..99"},
        {"[[vpi]]\nstreams = \"1-100\"\n", 2, 11, "streams are 1..99"},
        {"[[vpi]]\nstreams = [1, 100]\n", 2, 15, "from 1 to 99"},
        {"[[vpi]]\nstreams = []\n", 2, 11, "empty"},
        {"[[vpi]]\nparams = \"5-3\"\n", 2, 10, "backwards"},
        {"[[vpi]]\nparams = \"1,x\"\n", 2, 10, "'x'"},
        {"[[vpi]]\nspeed = 9600\n", 2, 9, "unknown VPI setting 'speed'"},
        {"[[vpi]]\nport = \"COM1\"\nstreams = 1\nparams = 5\n", 1, 1, "no number"},
        {"[[vpi]]\nvpi = 1\nstreams = 1\nparams = 5\n", 1, 1, "has no port"},
        {"[[vpi]]\nvpi = 1\nport = \"COM1\"\nparams = 5\n", 1, 1, "no streams"},
        {"[[vpi]]\nvpi = 1\nport = \"COM1\"\nstreams = 5\n", 1, 1, "no params"},
        {"# nothing\nscan-period-ms = 500\n", 0, 0, "no [[vpi]] table"},
        // One device, two names: the driver opens a port exclusively, so the second VPI would
        // only ever fail.
        {vpi + "[[vpi]]\nvpi = 2\nport = \"com1\"\nstreams = 1\nparams = 5\n", 6, 1, "already used by VPI 1"},
        {vpi + "[[vpi]]\nvpi = 2\nport = '\\\\.\\COM1'\nstreams = 1\nparams = 5\n", 6, 1, "already used by VPI 1"},
    };
    for (const Case& c : cases) {
        ConfigError error = ExpectRefused(c.text);
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.Text();
        EXPECT_EQ(error.column, c.column) << c.text << " -> " << error.Text();
        EXPECT_NE(error.message.find(c.says), std::string::npos) << c.text << " -> " << error.Text();
        EXPECT_FALSE(error.message.empty());
        std::string where = c.line ? "plant.toml:" + std::to_string(c.line) + ":" + std::to_string(c.column) + ": "
                                   : "plant.toml: ";
        EXPECT_EQ(error.Text().rfind(where, 0), 0u) << error.Text();
    }
}

TEST(HostConfig, PortNamesAsPlantsWriteThem) {
    std::string why;
    EXPECT_EQ(DriverPortName("COM9", true, &why), "COM9");
    EXPECT_EQ(DriverPortName("com10", true, &why), "\\\\.\\COM10");
    EXPECT_EQ(DriverPortName("COM9999", true, &why), "\\\\.\\COM9999") << "exactly 11 characters";
    EXPECT_FALSE(DriverPortName("COM10000", true, &why));
    EXPECT_NE(why.find("11 characters"), std::string::npos);
    EXPECT_EQ(DriverPortName("COM10000", false, &why), "COM10000") << "native takes COMn as it is";
    EXPECT_EQ(DriverPortName("\\\\.\\COM12", true, &why), "\\\\.\\COM12");
    EXPECT_EQ(DriverPortName("/dev/ttyS0", false, &why), "/dev/ttyS0");
    EXPECT_FALSE(DriverPortName("/dev/ttyUSB10", false, &why));
    // Where the host links long paths, the driver's name comes from the link.
    EXPECT_EQ(DriverPortName("/dev/serial/by-id/usb-FTDI-if00", false, &why, true), "");
    EXPECT_FALSE(DriverPortName("", false, &why));
}

// A port that would not open is looked at under the name the driver opened: on Windows COM10
// and up only exist as \\.\COMn, so the short name would call a busy port missing.
TEST(HostPortName, AVpiPortIsLookedAtUnderTheNameTheDriverOpened) {
    std::string why;
    for (const std::string& plant : {std::string("COM12"), std::string("COM3")}) {
        auto driverName = DriverPortName(plant, kWin32Target, &why);
        ASSERT_TRUE(driverName) << why;
        const std::string device = vpitools::ResolvePort(*driverName);
        const std::string text = DiagnoseVpiPort(plant, *driverName);
        const std::string named = device == plant ? plant + ": " : plant + " (" + device + "): ";
        EXPECT_EQ(text.rfind(named, 0), 0u) << text;
    }
    if (kWin32Target) {
        EXPECT_EQ(*DriverPortName("COM12", true, &why), "\\\\.\\COM12");
        EXPECT_EQ(DiagnoseVpiPort("COM12", "\\\\.\\COM12").rfind("COM12 (\\\\.\\COM12): ", 0), 0u);
    }
}

namespace {

// The command line as the program reads it: what it says on standard output and error.
struct Parsed {
    std::optional<int> exit;
    std::string out, err;
};
Parsed Parse(const std::vector<std::string>& args, HostOptions* options, HostConfig* config) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Parsed p;
    p.exit = ParseCommandLine(args, options, config);
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

}  // namespace

TEST(HostCommandLine, FlagsAndTheirMistakes) {
    HostOptions options;
    HostConfig config;
    Parsed p = Parse({"--port=COM5", "--vpi", "2", "--streams", "1-3", "--params", "1-20", "--trace",
                      "--csv", "x.csv", "--duration", "2.5", "--no-recovery", "--plain",
                      "--scan-period-ms", "200", "--parity", "odd", "--stop-bits", "2",
                      "--read-timeout-ms", "1500", "--log", "x.log"},
                     &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_TRUE(config.trace && config.plain);
    EXPECT_FALSE(config.recovery);
    EXPECT_EQ(config.csv, "x.csv");
    EXPECT_EQ(config.log, "x.log");
    EXPECT_DOUBLE_EQ(config.duration, 2.5);
    EXPECT_EQ(config.scanPeriodMs, 200);
    ASSERT_EQ(config.vpis.size(), 1u);
    EXPECT_EQ(config.vpis[0].port, "COM5");
    EXPECT_EQ(config.vpis[0].number, 2);
    EXPECT_EQ(config.vpis[0].parity, 1);
    EXPECT_EQ(config.vpis[0].stopBits, 2);
    EXPECT_EQ(config.vpis[0].readTimeout, 150);
    EXPECT_FALSE(config.vpis[0].baud) << "an unset line word stays the driver's";
    EXPECT_EQ(config.vpis[0].streams, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(config.vpis[0].params.size(), 20u);

    p = Parse({"demo", "--duration", "5"}, &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_TRUE(options.demo);
    EXPECT_DOUBLE_EQ(config.duration, 5);

    p = Parse({"--help"}, &options, &config);
    EXPECT_EQ(p.exit, 0);
    EXPECT_NE(p.out.find("--scan-period-ms"), std::string::npos);
    // --version is answered once --driver is read: it names the driver this host would load.
    p = Parse({"--version", "--driver", "elsewhere/libvpivg.so"}, &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_TRUE(options.version);
    EXPECT_EQ(options.driverPath, "elsewhere/libvpivg.so");

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {},
             {"--streams", "1"},
             {"--port"},
             {"--port", "COM1", "--vpi", "0"},
             {"--port", "COM1", "--config", "x.toml"},
             {"--port", "COM1", "--duration", "-1"},
             {"--port", "COM1", "--frobnicate", "1"},
             {"--port", "COM1", "--parity", "maybe"},
             {"--port", "COM1", "--stop-bits", "3"},
             {"--port", "COM1", "--baud", "115200"},
             {"--port", "COM1", "--read-timeout-ms", "100"},
             {"--port", "COM1", "--poll-period-ms", "5"},
             {"COM1"},
             {"demo", "--port", "COM1"},
         }) {
        p = Parse(bad, &options, &config);
        EXPECT_EQ(p.exit, 2) << bad.size();
        EXPECT_EQ(p.err.rfind("vpivg-host: ", 0), 0u) << p.err;
        EXPECT_EQ(p.out, "") << "mistakes go to standard error";
    }
    p = Parse({"--config", "/nonexistent/plant.toml"}, &options, &config);
    EXPECT_EQ(p.exit, 2);
    EXPECT_NE(p.err.find("/nonexistent/plant.toml: cannot read the file"), std::string::npos) << p.err;
}

// The file and the flags take the same values and mean the same by them.
TEST(HostConfig, TheFileAndTheFlagsAgree) {
    const std::string vpi = "[[vpi]]\nvpi = 1\nport = \"COM1\"\nstreams = 1\nparams = \"1-5\"\n";
    HostConfig config;
    ConfigError error;
    config.duration = 7;
    ASSERT_TRUE(ParseConfig("duration = 0\n" + vpi, "plant.toml", &config, &error)) << error.Text();
    EXPECT_DOUBLE_EQ(config.duration, 0) << "0 is until stopped, as --duration 0";
    ASSERT_TRUE(ParseConfig(vpi + "baud = 50\n", "plant.toml", &config, &error)) << error.Text();
    EXPECT_EQ(config.vpis[0].baud, 50);
    ASSERT_TRUE(ParseConfig(vpi + "baud = 65535\n", "plant.toml", &config, &error)) << error.Text();

    HostOptions options;
    Parsed p = Parse({"--port", "COM1", "--baud", "50", "--duration", "0"}, &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_EQ(config.vpis[0].baud, 50);
    EXPECT_DOUBLE_EQ(config.duration, 0);
    for (const char* baud : {"49", "65536"}) {
        p = Parse({"--port", "COM1", "--baud", baud}, &options, &config);
        EXPECT_EQ(p.exit, 2) << baud;
        ConfigError refused;
        HostConfig ignored;
        EXPECT_FALSE(ParseConfig(vpi + "baud = " + baud + "\n", "plant.toml", &ignored, &refused)) << baud;
    }
}

// The demo's settings are defaults like any others: a flag given changes them, and what it
// cannot take it refuses.
TEST(HostCommandLine, TheDemoTakesItsFlagsOrRefusesThem) {
    HostOptions options;
    HostConfig config;
    Parsed p = Parse({"demo"}, &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_EQ(config.scanPeriodMs, 1000);
    EXPECT_EQ(config.pollPeriodMs, 9000);
    EXPECT_EQ(config.recoveryAfter, 2);
    EXPECT_DOUBLE_EQ(config.duration, 30);

    p = Parse({"demo", "--scan-period-ms", "300", "--poll-period-ms", "0", "--recovery-after", "5",
               "--duration", "0", "--driver", "lib/libvpivg.so"},
              &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_EQ(config.scanPeriodMs, 300);
    EXPECT_EQ(config.pollPeriodMs, 0) << "no polls, as asked";
    EXPECT_EQ(config.recoveryAfter, 5);
    EXPECT_DOUBLE_EQ(config.duration, 0) << "until stopped";
    EXPECT_EQ(config.driver, "lib/libvpivg.so");

    p = Parse({"demo", "--device-dir", "/tmp"}, &options, &config);
    EXPECT_EQ(p.exit, 2);
    EXPECT_NE(p.err.find("demo takes no --device-dir"), std::string::npos) << p.err;
}

TEST(HostCommandLine, AFlagGivenWinsOverTheFile) {
    if (!std::filesystem::exists(Example())) GTEST_SKIP() << "sources not at " << Example();
    HostOptions options;
    HostConfig config;
    Parsed p = Parse({"--config", Example(), "--scan-period-ms", "300", "--no-recovery"}, &options, &config);
    ASSERT_FALSE(p.exit) << p.err;
    EXPECT_EQ(config.scanPeriodMs, 300);
    EXPECT_FALSE(config.recovery);
    EXPECT_EQ(config.tickMs, 20) << "the file's value where no flag was given";
}
