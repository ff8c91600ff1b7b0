// vpivg-host configuration: the INI file and the command-line flags for the common case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpihost {

struct VpiConfig {
    int number = 0;
    int line = 0;                  // where its section starts (0: from the command line)
    std::string port;              // as the plant wrote it ("COM12", "/dev/ttyUSB0")
    std::string driverPort;        // as the driver gets it ("\\.\COM12" on win32)
    std::optional<int> baud;       // unset: the driver's default from describe
    std::optional<int> dataBits;
    std::optional<int> parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<int> stopBits;   // 0 = 1, 1 = 1.5, 2 = 2
    int readTimeout = 100;         // units of 10 ms
    std::optional<int> statusWait; // ms; written to the VPI's init file if that is missing
    std::vector<int> streams;
    std::vector<int> params;
};

struct HostConfig {
    int scanPeriodMs = 1000;
    int pollPeriodMs = 0;          // 0: no polls
    bool recovery = true;
    int recoveryAfter = 3;         // failed "!STATUS" scans before the port is reopened
    int tickMs = 20;
    std::vector<VpiConfig> vpis;
};

struct ConfigError {
    std::string file;
    int line = 0;                  // 0: not tied to a line
    std::string message;
    std::string Text() const;      // "file:line: message"
};

// Parses the INI text. On failure `error` says where and what, and `config` must not be used.
bool ParseConfig(std::string_view text, const std::string& fileName, HostConfig* config,
                 ConfigError* error);
bool LoadConfigFile(const std::string& path, HostConfig* config, ConfigError* error);

// The name the driver gets for a port the plant wrote as `name`. On win32 COM10 and above need
// the "\\.\COMn" form; the result must fit the driver's 11 characters. Nullopt with `why` when
// it cannot be used.
std::optional<std::string> DriverPortName(const std::string& name, bool forWin32,
                                          std::string* why);
constexpr bool kWin32Target =
#if defined(_WIN32)
    true;
#else
    false;
#endif

// What the command line asks for.
struct HostOptions {
    bool demo = false;
    std::string configPath;
    bool trace = false;
    std::string csvPath;
    double durationS = 0;          // 0: until Ctrl-C
    bool recoveryOff = false;
    bool plain = false;
    std::string driverPath;        // default: next to the program
    bool help = false;
    bool version = false;          // print this build's version and the driver's, then exit
};

// Parses argv (without the program name). A config built from flags (--port ...) goes into
// `config`; with --config the file is loaded into it. Errors carry exit code 2.
bool ParseCommandLine(const std::vector<std::string>& args, HostOptions* options,
                      HostConfig* config, ConfigError* error);
extern const char* const kUsage;

}  // namespace vpihost
