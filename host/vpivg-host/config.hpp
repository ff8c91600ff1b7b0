// vpivg-host configuration: the TOML file, and what the command line and the file share. Every
// setting of the file is a flag of the same name (without the "--") and the reverse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpihost {

struct VpiConfig {
    int number = 0;
    int line = 0;                  // where its table starts (0: from the command line)
    int column = 0;
    std::string port;              // as the plant wrote it ("COM12", "/dev/ttyUSB0")
    std::string driverPort;        // as the driver gets it ("\\.\COM12" on win32); for a long
                                   // device path, set once the host has linked it as COMn
    std::optional<int> baud;       // unset: the driver's default from describe
    std::optional<int> dataBits;
    std::optional<int> parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<int> stopBits;   // 0 = 1, 1 = 1.5, 2 = 2
    int readTimeout = 100;         // units of 10 ms
    std::optional<int> statusWait; // ms; written to the VPI's init file (see initfile.hpp)
    std::vector<int> streams;
    std::vector<int> params;
    std::string name;              // its device id on MQTT; empty: "VPI<number>"
};

// Publishing to an MQTT broker (mqtt-* settings); without a url nothing is published.
struct MqttConfig {
    std::string url;               // mqtt://host[:port] or mqtts://host[:port]
    std::string format = "sparkplug";  // or "json"
    std::string group = "vpivg";   // Sparkplug group id
    std::string node;              // edge node id; empty: the machine's host name
    std::string primaryHost;       // Sparkplug primary host id; empty: none
    std::string topic;             // JSON topic prefix; empty: "vpivg/<node>"
    int qos = 1;                   // JSON data
    std::string user;
    std::string passwordFile;      // its first line is the password
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    int keepaliveS = 30;
    // Every report is kept on disk until the broker has it. Empty: vpivg-host-<node>.db in the
    // working folder; "none": no store (reports made while the broker is away are lost).
    std::string store;
    int storeMb = 256;             // at this size the oldest reports go, counted and logged
    int replayPerS = 500;          // stored reports sent per second after an outage
};

struct HostConfig {
    int scanPeriodMs = 1000;
    int pollPeriodMs = 0;          // 0: no polls
    bool recovery = true;
    int recoveryAfter = 3;         // failed "!STATUS" scans before the port is reopened
    int tickMs = 20;
    // Outputs and run control; the same as the flags of the same name.
    std::string csv;
    std::string log;
    int logSizeKb = 1024;          // the log rotates at this size, keeping kLogFilesKept files
    bool trace = false;
    double duration = 0;           // s; 0: until Ctrl-C
    bool plain = false;
    bool quiet = false;
    bool overwrite = false;        // --csv may replace an existing file
    std::string deviceDir;         // where long device paths are linked as comN
    std::string driver;            // the driver library (default: next to the program)
    MqttConfig mqtt;
    std::vector<VpiConfig> vpis;
};

struct ConfigError {
    std::string file;              // empty: the command line
    int line = 0;                  // 0: not tied to a place
    int column = 0;
    std::string message;
    std::string Text() const;      // "file:line:column: message"
};

// Reads TOML text (a UTF-8 byte order mark is allowed). On failure `error` says where and what,
// and `config` is left as it was.
bool ParseConfig(std::string_view text, const std::string& fileName, HostConfig* config,
                 ConfigError* error);
bool LoadConfigFile(const std::string& path, HostConfig* config, ConfigError* error);

// Every setting name the file takes, top level and [[vpi]] alike.
std::vector<std::string> SettingNames();

// Checks of single settings, shared by the file and the command line: nullopt when fine, else
// what is expected.
std::optional<std::string> CheckScanPeriod(long long ms);
std::optional<std::string> CheckPollPeriod(long long ms);
std::optional<std::string> CheckStatusWait(long long ms);
std::optional<std::string> CheckBaud(long long baud);  // the driver's record holds 16 bits
// read-timeout-ms as the driver's units of 10 ms (rounded up); nullopt outside kReadTimeoutRange.
std::optional<int> ReadTimeoutUnits(long long ms);
extern const char* const kReadTimeoutRange;
std::optional<int> ParityCode(std::string_view name);   // "none".."space", any case
std::optional<int> StopBitsCode(double bits);             // 1, 1.5, 2

// The name the driver gets for a port the plant wrote as `name`. On win32 COM10 and above need
// the "\\.\COMn" form. A device path longer than the driver's 11 characters is accepted when
// `longPathLinked` (the host links it as COMn before the start); the result is then empty.
// Nullopt with `why` when it cannot be used.
std::optional<std::string> DriverPortName(const std::string& name, bool forWin32,
                                          std::string* why, bool longPathLinked = false);
constexpr bool kWin32Target =
#if defined(_WIN32)
    true;
#else
    false;
#endif

// Checks what must hold across VPIs: at least one, distinct numbers, and one port each (COM1
// and \\.\COM1 are one port).
bool CheckVpis(const std::vector<VpiConfig>& vpis, const std::string& fileName,
               ConfigError* error);

}  // namespace vpihost
