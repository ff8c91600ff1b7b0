// The host's configuration: what a plant writes must either run as written or be refused with
// the file, the line and what is wrong, before anything is started.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "config.hpp"
#include "host.hpp"

using namespace vpihost;

namespace {

ConfigError ExpectRefused(const std::string& text) {
    HostConfig config;
    ConfigError error;
    EXPECT_FALSE(ParseConfig(text, "plant.ini", &config, &error)) << text;
    return error;
}

const char* kGood =
    "; a plant\n"
    "[host]\n"
    "scan period ms = 500\n"
    "poll_period_ms = 2000 ; inline comment\n"
    "Recovery = off\n"
    "recovery-after = 5\n"
    "tick_ms = 10\n"
    "\n"
    "[VPI 3]\n"
    "port = com4\n"
    "baud = 19200\n"
    "data_bits = 7\n"
    "parity = Even\n"
    "stop_bits = 1.5\n"
    "read_timeout = 250\n"
    "status_wait = 45\n"
    "streams = 1-3,5\n"
    "params = 1-4, 10\n"
    "[vpi 4]\r\n"
    "port = /dev/ttyS0\r\n"
    "streams = 2\r\n"
    "params = 5-6\r\n";

}  // namespace

TEST(HostConfig, ReadsEveryKey) {
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(ParseConfig(kGood, "plant.ini", &config, &error)) << error.Text();
    EXPECT_EQ(config.scanPeriodMs, 500);
    EXPECT_EQ(config.pollPeriodMs, 2000);
    EXPECT_FALSE(config.recovery);
    EXPECT_EQ(config.recoveryAfter, 5);
    EXPECT_EQ(config.tickMs, 10);
    ASSERT_EQ(config.vpis.size(), 2u);
    const VpiConfig& v = config.vpis[0];
    EXPECT_EQ(v.number, 3);
    EXPECT_EQ(v.line, 9);
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
    EXPECT_FALSE(w.baud.has_value()) << "unset line words come from the driver's defaults";
    EXPECT_FALSE(w.statusWait.has_value());
    EXPECT_EQ(w.readTimeout, 100);
}

TEST(HostConfig, TheShippedExampleIsValid) {
    // The source tree comes from the build: __FILE__ is relative in a reproducible build.
    auto example = std::filesystem::path(VPIVG_SOURCE_DIR) / "host" /
                   "vpivg-host" / "vpivg-host.example.ini";
    if (!std::filesystem::exists(example)) GTEST_SKIP() << "sources not at " << example;
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(LoadConfigFile(example.string(), &config, &error)) << error.Text();
    ASSERT_EQ(config.vpis.size(), 1u);
    EXPECT_EQ(config.vpis[0].port, "COM1");
}

TEST(HostConfig, EveryMistakeIsNamedWithItsLine) {
    struct Case {
        std::string text;
        int line;
        std::string says;
    };
    const std::string vpi = "[vpi 1]\nport = COM1\nstreams = 1\nparams = 1-5\n";
    const std::vector<Case> cases{
        {"port = COM1\n", 1, "before any"},
        {"[host\n", 1, "lacks its ']'"},
        {"[hosts]\n", 1, "unknown section"},
        {"[vpi 0]\n", 1, "1 to 255"},
        {"[vpi 256]\n", 1, "1 to 255"},
        {"[vpi x]\n", 1, "1 to 255"},
        {"[host]\n[host]\n", 2, "second [host]"},
        {vpi + "[vpi 1]\n", 5, "second section for VPI 1"},
        {"[host]\nscan_period_ms\n", 2, "not 'key = value'"},
        {"[host]\n= 5\n", 2, "without a key"},
        {"[host]\nscan_period_ms =\n", 2, "has no value"},
        {"[host]\nscan_period_ms = 10\n", 2, "50 to 3600000"},
        {"[host]\nscan_period_ms = 1s\n", 2, "50 to 3600000"},
        {"[host]\nscan_period_ms = 100\nscan period ms = 200\n", 3, "given twice"},
        {"[host]\npoll_period_ms = 50\n", 2, "0 (no polls)"},
        {"[host]\nrecovery = maybe\n", 2, "on or off"},
        {"[host]\nrecovery_after = 0\n", 2, "failed status scans"},
        {"[host]\ntick_ms = 0\n", 2, "1 to 1000"},
        {"[host]\ncolour = red\n", 2, "unknown key 'colour'"},
        {"[vpi 1]\nport = COM1 COM2\n", 2, "blank"},
        {"[vpi 1]\nport = /dev/serial/by-id/usb-1\n", 2, "11 characters"},
        {"[vpi 1]\nport = COM0\n", 2, "COM1 up"},
        {"[vpi 1]\nbaud = 115200\n", 2, "16 bits"},
        {"[vpi 1]\ndata_bits = 9\n", 2, "5, 6, 7 or 8"},
        {"[vpi 1]\nparity = yes\n", 2, "none, odd, even, mark or space"},
        {"[vpi 1]\nstop_bits = 3\n", 2, "1, 1.5 or 2"},
        {"[vpi 1]\nread_timeout = 50\n", 2, "driver's least"},
        {"[vpi 1]\nstatus_wait = 29\n", 2, "30 to 120"},
        {"[vpi 1]\nstatus_wait = 121\n", 2, "30 to 120"},
        {"[vpi 1]\nstreams = 0-3\n", 2, "streams are 1..99"},
        {"[vpi 1]\nstreams = 1-100\n", 2, "streams are 1..99"},
        {"[vpi 1]\nparams = 5-3\n", 2, "backwards"},
        {"[vpi 1]\nparams = 1,x\n", 2, "'x'"},
        {"[vpi 1]\nspeed = 9600\n", 2, "unknown key 'speed'"},
        {"[vpi 1]\nstreams = 1\nparams = 5\n", 1, "has no port"},
        {"[vpi 1]\nport = COM1\nparams = 5\n[host]\n", 1, "no streams"},
        {"[vpi 1]\nport = COM1\nstreams = 5\n", 1, "no params"},
        {"; nothing\n[host]\n", 0, "no [vpi N] section"},
        {vpi + "[vpi 2]\nport = com1\nstreams = 1\nparams = 5\n", 5, "already used by VPI 1"},
    };
    for (const Case& c : cases) {
        ConfigError error = ExpectRefused(c.text);
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.Text();
        EXPECT_NE(error.message.find(c.says), std::string::npos) << c.text << " -> " << error.Text();
        std::string where = c.line ? "plant.ini:" + std::to_string(c.line) + ": " : "plant.ini: ";
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
    EXPECT_FALSE(DriverPortName("", false, &why));
}

TEST(HostCommandLine, CommonCaseFlagsAndTheirMistakes) {
    HostOptions options;
    HostConfig config;
    ConfigError error;
    ASSERT_TRUE(ParseCommandLine({"--port", "COM5", "--vpi", "2", "--streams", "1-3", "--params",
                                  "1-20", "--trace", "--csv", "x.csv", "--duration", "2.5",
                                  "--no-recovery", "--plain", "--scan-ms", "200"},
                                 &options, &config, &error))
        << error.Text();
    EXPECT_TRUE(options.trace && options.plain && options.recoveryOff);
    EXPECT_EQ(options.csvPath, "x.csv");
    EXPECT_DOUBLE_EQ(options.durationS, 2.5);
    EXPECT_FALSE(config.recovery);
    EXPECT_EQ(config.scanPeriodMs, 200);
    ASSERT_EQ(config.vpis.size(), 1u);
    EXPECT_EQ(config.vpis[0].number, 2);
    EXPECT_EQ(config.vpis[0].streams, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(config.vpis[0].params.size(), 20u);

    ASSERT_TRUE(ParseCommandLine({"demo", "--duration", "5"}, &options, &config, &error));
    EXPECT_TRUE(options.demo);

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {},
             {"--streams", "1"},
             {"--port"},
             {"--port", "COM1", "--vpi", "0"},
             {"--port", "COM1", "--config", "x.ini"},
             {"--port", "COM1", "--duration", "-1"},
             {"--port", "COM1", "--frobnicate", "1"},
             {"COM1"},
             {"demo", "--port", "COM1"},
         }) {
        EXPECT_FALSE(ParseCommandLine(bad, &options, &config, &error)) << bad.size();
        EXPECT_FALSE(error.message.empty());
    }
    EXPECT_FALSE(ParseCommandLine({"--config", "/nonexistent/plant.ini"}, &options, &config, &error));
    EXPECT_EQ(error.Text(), "/nonexistent/plant.ini: cannot read the file");
}

#if !defined(_WIN32)
// The program itself: a bad file ends it with code 2 and the file:line message, and nothing
// starts (no init file is written, no driver message appears).
TEST(HostProgram, BadConfigExitsWithTwoBeforeStartingAnything) {
    std::string folder = ProgramFolder();
    std::string program = folder + "/vpivg-host";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << "no " << program;
    auto dir = std::filesystem::temp_directory_path() / ("vpivg-host-bad-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "plant.ini") << "[vpi 7]\nport = COM1\nstatus_wait = 50\nstreams = 1\nparams = 1-5\nparity = odd-ish\n";
    std::string command = "cd '" + dir.string() + "' && '" + program +
                          "' --config plant.ini --plain > out.txt 2> err.txt";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::stringstream err, out;
    err << std::ifstream(dir / "err.txt").rdbuf();
    out << std::ifstream(dir / "out.txt").rdbuf();
    EXPECT_NE(err.str().find("plant.ini:6: parity = odd-ish: expected none, odd, even, mark or space"),
              std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "vpiVG07.int"));
    std::filesystem::remove_all(dir);
}
#endif

TEST(HostDisplay, BannerTranslationTimestampsAndValues) {
    std::string banner = "\xda\xc4\xbf\n\xb3\xdb\xb2\xb1\xb0 V\xb3\n\xc0\xc4\xd9\n";
    EXPECT_EQ(Cp437ToUtf8(banner), "┌─┐\n│█▓▒░ V│\n└─┘\n");
    auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1714566896789LL));
    EXPECT_EQ(IsoTimestamp(when), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(FormatGateValue(static_cast<float>(78.0842), 3), "78.0842");
    EXPECT_EQ(FormatGateValue(static_cast<float>(0.1), 3), "0.1");
    EXPECT_EQ(FormatGateValue(1234567, 5), "1234567");
    EXPECT_EQ(FormatGateValue(0, 3), "0");
}
