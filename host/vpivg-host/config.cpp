#include "config.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "mqttsettings.hpp"
#include "number_list.hpp"
#include "portname.hpp"

namespace vpihost {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string_view Trim(std::string_view text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool ToInt(std::string_view text, int* out) {
    auto result = std::from_chars(text.data(), text.data() + text.size(), *out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Reads one file; the first error wins and says where it stands.
class Reader {
public:
    Reader(const std::string& file, ConfigError* error) : file_(file), error_(error) {}

    bool Fail(const toml::source_region& where, const std::string& message) {
        *error_ = ConfigError{file_, static_cast<int>(where.begin.line),
                              static_cast<int>(where.begin.column), message};
        return false;
    }

    // An integer setting within [low, high]; `expected` says what the range means.
    bool Integer(const toml::node& node, std::string_view key, long long low, long long high,
                 const std::string& expected, int* out) {
        auto value = node.value_exact<std::int64_t>();
        if (!value || *value < low || *value > high) {
            return Fail(node.source(), std::string(key) + " = " + Shown(node) + ": " + expected);
        }
        *out = static_cast<int>(*value);
        return true;
    }
    bool Text(const toml::node& node, std::string_view key, std::string* out) {
        auto value = node.value_exact<std::string>();
        if (!value) return Fail(node.source(), std::string(key) + " = " + Shown(node) + ": expected a quoted text");
        *out = *value;
        return true;
    }
    bool Switch(const toml::node& node, std::string_view key, bool* out) {
        auto value = node.value_exact<bool>();
        if (!value) return Fail(node.source(), std::string(key) + " = " + Shown(node) + ": expected true or false");
        *out = *value;
        return true;
    }
    // streams = "1-3,5", streams = [1, 2, 3] or streams = 2.
    bool List(const toml::node& node, std::string_view key, std::vector<int>* out) {
        std::string why;
        std::string what = std::string(key) + " = " + Shown(node) + ": ";
        std::string range = " (" + std::string(key) + " are 1..99)";
        if (auto text = node.value_exact<std::string>()) {
            if (!vpitools::ParseNumberList(*text, 1, 99, out, &why)) return Fail(node.source(), what + why + range);
            return true;
        }
        if (auto number = node.value_exact<std::int64_t>()) {
            if (*number < 1 || *number > 99) return Fail(node.source(), what + "outside 1..99" + range);
            *out = {static_cast<int>(*number)};
            return true;
        }
        if (const toml::array* array = node.as_array()) {
            out->clear();
            for (const toml::node& item : *array) {
                auto number = item.value_exact<std::int64_t>();
                if (!number || *number < 1 || *number > 99) {
                    return Fail(item.source(), what + "every item must be a number from 1 to 99");
                }
                out->push_back(static_cast<int>(*number));
            }
            if (out->empty()) return Fail(node.source(), what + "the list is empty");
            std::sort(out->begin(), out->end());
            out->erase(std::unique(out->begin(), out->end()), out->end());
            return true;
        }
        return Fail(node.source(), what + "expected a list such as \"1-3,5\" or [1, 2, 3]");
    }

    static std::string Shown(const toml::node& node) {
        std::ostringstream text;
        node.visit([&](const auto& value) { text << value; });
        std::string shown = text.str();
        if (shown.size() > 40) {
            shown.resize(37);
            shown += "...";
        }
        return shown;
    }

    bool HostKey(std::string_view key, const toml::node& node, HostConfig& c);
    bool VpiTable(const toml::table& table, VpiConfig* vpi);

private:
    std::string file_;
    ConfigError* error_;
};

const char* const kHostKeys =
    "scan-period-ms, poll-period-ms, recovery, recovery-after, tick-ms, csv, overwrite, log, "
    "log-size-kb, trace, duration, plain, quiet, device-dir, driver, mqtt-url, mqtt-format, mqtt-group, "
    "mqtt-node, mqtt-primary-host, mqtt-topic, mqtt-qos, mqtt-user, mqtt-password-file, mqtt-ca-file, "
    "mqtt-cert-file, mqtt-key-file, mqtt-keepalive-s, mqtt-store, mqtt-store-mb, mqtt-replay-per-s";
const char* const kVpiKeys =
    "vpi, port, baud, data-bits, parity, stop-bits, read-timeout-ms, status-wait, streams, params, name";

bool Reader::HostKey(std::string_view key, const toml::node& node, HostConfig& c) {
    auto checked = [&](std::optional<std::string> (*check)(long long), int* out) {
        auto value = node.value_exact<std::int64_t>();
        std::optional<std::string> wrong = value ? check(*value) : std::optional<std::string>("expected a whole number");
        if (wrong) return Fail(node.source(), std::string(key) + " = " + Shown(node) + ": " + *wrong);
        *out = static_cast<int>(*value);
        return true;
    };
    if (key == "scan-period-ms") return checked(CheckScanPeriod, &c.scanPeriodMs);
    if (key == "poll-period-ms") return checked(CheckPollPeriod, &c.pollPeriodMs);
    if (key == "recovery") return Switch(node, key, &c.recovery);
    if (key == "recovery-after") return Integer(node, key, 1, 1000, "expected a number of failed status scans from 1 to 1000", &c.recoveryAfter);
    if (key == "tick-ms") return Integer(node, key, 1, 1000, "expected milliseconds from 1 to 1000", &c.tickMs);
    if (key == "csv") return Text(node, key, &c.csv);
    if (key == "overwrite") return Switch(node, key, &c.overwrite);
    if (key == "log") return Text(node, key, &c.log);
    if (key == "log-size-kb") return Integer(node, key, 16, 1048576, "expected kilobytes from 16 to 1048576", &c.logSizeKb);
    if (key == "trace") return Switch(node, key, &c.trace);
    if (key == "plain") return Switch(node, key, &c.plain);
    if (key == "quiet") return Switch(node, key, &c.quiet);
    if (key == "device-dir") return Text(node, key, &c.deviceDir);
    if (key == "driver") return Text(node, key, &c.driver);
    // Text settings whose form is checked where they stand, so the message points at them.
    auto checkedText = [&](std::optional<std::string> (*check)(const std::string&), std::string* out) {
        if (!Text(node, key, out)) return false;
        if (auto wrong = check(*out)) return Fail(node.source(), std::string(key) + " = " + Shown(node) + ": " + *wrong);
        return true;
    };
    if (key == "mqtt-url") return checkedText(CheckMqttUrl, &c.mqtt.url);
    if (key == "mqtt-format") return checkedText(CheckMqttFormat, &c.mqtt.format);
    if (key == "mqtt-group") return checkedText(CheckMqttId, &c.mqtt.group);
    if (key == "mqtt-node") return checkedText(CheckMqttId, &c.mqtt.node);
    if (key == "mqtt-primary-host") return checkedText(CheckMqttId, &c.mqtt.primaryHost);
    if (key == "mqtt-topic") return checkedText(CheckMqttTopic, &c.mqtt.topic);
    if (key == "mqtt-qos") return Integer(node, key, 0, 1, "expected 0 or 1", &c.mqtt.qos);
    if (key == "mqtt-user") return Text(node, key, &c.mqtt.user);
    if (key == "mqtt-password-file") return Text(node, key, &c.mqtt.passwordFile);
    if (key == "mqtt-ca-file") return Text(node, key, &c.mqtt.caFile);
    if (key == "mqtt-cert-file") return Text(node, key, &c.mqtt.certFile);
    if (key == "mqtt-key-file") return Text(node, key, &c.mqtt.keyFile);
    if (key == "mqtt-keepalive-s") return Integer(node, key, 5, 3600, "expected seconds from 5 to 3600", &c.mqtt.keepaliveS);
    if (key == "mqtt-store") return checkedText(CheckMqttStore, &c.mqtt.store);
    if (key == "mqtt-store-mb") return Integer(node, key, 1, 1048576, "expected megabytes from 1 to 1048576", &c.mqtt.storeMb);
    if (key == "mqtt-replay-per-s") return Integer(node, key, 1, 100000, "expected reports a second from 1 to 100000", &c.mqtt.replayPerS);
    if (key == "duration") {
        auto value = node.value<double>();  // 10 and 2.5 alike
        if (!value || !(*value >= 0) || *value > 1e9) {
            return Fail(node.source(), "duration = " + Shown(node) + ": expected seconds, 0 for until stopped");
        }
        c.duration = *value;
        return true;
    }
    static const std::set<std::string_view> kVpiOnly{"port", "baud", "data-bits", "parity", "stop-bits",
                                                     "read-timeout-ms", "status-wait", "streams", "params"};
    if (kVpiOnly.count(key)) {
        // Taken at the top it would look like a setting that holds and then fail at run time.
        return Fail(node.source(), std::string(key) + " belongs to a VPI: put it under a [[vpi]] table");
    }
    return Fail(node.source(), "unknown setting '" + std::string(key) + "' (" + kHostKeys + ", and [[vpi]] tables)");
}

bool Reader::VpiTable(const toml::table& table, VpiConfig* vpi) {
    bool streamsSet = false, paramsSet = false, numberSet = false;
    int number = 0;
    vpi->line = static_cast<int>(table.source().begin.line);
    vpi->column = static_cast<int>(table.source().begin.column);
    for (const auto& [k, node] : table) {
        std::string_view key = k.str();
        std::string why;
        if (key == "vpi") {
            if (!Integer(node, key, 1, 255, "a VPI number is from 1 to 255", &vpi->number)) return false;
            numberSet = true;
        } else if (key == "port") {
            if (!Text(node, key, &vpi->port)) return false;
            auto name = DriverPortName(vpi->port, kWin32Target, &why, !kWin32Target);
            if (!name) return Fail(node.source(), "port = " + Shown(node) + ": " + why);
            vpi->driverPort = *name;
        } else if (key == "baud") {
            // The flag's own check, so the file and the command line take the same speeds.
            auto value = node.value_exact<std::int64_t>();
            auto wrong = value ? CheckBaud(*value) : std::optional<std::string>("expected a whole number");
            if (wrong) return Fail(node.source(), "baud = " + Shown(node) + ": " + *wrong);
            vpi->baud = static_cast<int>(*value);
        } else if (key == "data-bits") {
            if (!Integer(node, key, 5, 8, "expected 5, 6, 7 or 8", &number)) return false;
            vpi->dataBits = number;
        } else if (key == "parity") {
            auto text = node.value_exact<std::string>();
            auto code = text ? ParityCode(*text) : std::nullopt;
            if (!code) return Fail(node.source(), "parity = " + Shown(node) + ": expected \"none\", \"odd\", \"even\", \"mark\" or \"space\"");
            vpi->parity = *code;
        } else if (key == "stop-bits") {
            auto bits = node.value<double>();
            auto code = bits ? StopBitsCode(*bits) : std::nullopt;
            if (!code || !(node.is_integer() || node.is_floating_point())) {
                return Fail(node.source(), "stop-bits = " + Shown(node) + ": expected 1, 1.5 or 2");
            }
            vpi->stopBits = *code;
        } else if (key == "read-timeout-ms") {
            if (!Integer(node, key, 1000, 60000, kReadTimeoutRange, &number)) return false;
            vpi->readTimeout = *ReadTimeoutUnits(number);
        } else if (key == "status-wait") {
            if (!Integer(node, key, 30, 120, "expected milliseconds from 30 to 120", &number)) return false;
            vpi->statusWait = number;
        } else if (key == "streams") {
            if (!List(node, key, &vpi->streams)) return false;
            streamsSet = true;
        } else if (key == "params") {
            if (!List(node, key, &vpi->params)) return false;
            paramsSet = true;
        } else if (key == "name") {
            if (!Text(node, key, &vpi->name)) return false;
            if (auto wrong = CheckMqttId(vpi->name)) {
                return Fail(node.source(), "name = " + Shown(node) + ": " + *wrong);
            }
        } else {
            return Fail(node.source(), "unknown VPI setting '" + std::string(key) + "' (" + kVpiKeys + ")");
        }
    }
    std::string where = numberSet ? "VPI " + std::to_string(vpi->number) : "this [[vpi]]";
    if (!numberSet) return Fail(table.source(), "this [[vpi]] has no number (e.g. vpi = 1)");
    if (vpi->port.empty()) return Fail(table.source(), where + " has no port");
    if (!streamsSet) return Fail(table.source(), where + " has no streams (e.g. streams = \"1-3\")");
    if (!paramsSet) return Fail(table.source(), where + " has no params (e.g. params = \"1-20\")");
    return true;
}

}  // namespace

std::vector<std::string> SettingNames() {
    std::vector<std::string> names;
    for (std::string_view list : {std::string_view(kHostKeys), std::string_view(kVpiKeys)}) {
        while (!list.empty()) {
            std::size_t comma = list.find(',');
            names.emplace_back(Trim(list.substr(0, comma)));
            list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        }
    }
    return names;
}

std::string ConfigError::Text() const {
    std::string where = file.empty() ? "command line" : file;
    if (line > 0) where += ":" + std::to_string(line) + ":" + std::to_string(column > 0 ? column : 1);
    return where + ": " + message;
}

std::optional<std::string> CheckScanPeriod(long long ms) {
    if (ms < 50 || ms > 3600000) return "expected milliseconds from 50 to 3600000";
    return std::nullopt;
}
std::optional<std::string> CheckPollPeriod(long long ms) {
    if (ms < 0 || ms > 3600000 || (ms > 0 && ms < 100)) return "expected 0 (no polls) or milliseconds from 100 to 3600000";
    return std::nullopt;
}
std::optional<std::string> CheckStatusWait(long long ms) {
    if (ms < 30 || ms > 120) return "expected milliseconds from 30 to 120";
    return std::nullopt;
}
std::optional<std::string> CheckBaud(long long baud) {
    if (baud < 50 || baud > 65535) return "expected a line speed from 50 to 65535 baud (the driver's record holds 16 bits)";
    return std::nullopt;
}
const char* const kReadTimeoutRange = "expected milliseconds from 1000 (the driver's least) to 60000";
std::optional<int> ReadTimeoutUnits(long long ms) {
    if (ms < 1000 || ms > 60000) return std::nullopt;
    return static_cast<int>((ms + 9) / 10);
}
std::optional<int> ParityCode(std::string_view name) {
    static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
    std::string lower = Lower(std::string(name));
    for (int i = 0; i < 5; ++i) {
        if (lower == kNames[i]) return i;
    }
    return std::nullopt;
}
std::optional<int> StopBitsCode(double bits) {
    if (bits == 1) return 0;
    if (bits == 1.5) return 1;
    if (bits == 2) return 2;
    return std::nullopt;
}

std::optional<std::string> DriverPortName(const std::string& name, bool forWin32,
                                          std::string* why, bool longPathLinked) {
    if (name.empty()) {
        *why = "port name is empty";
        return std::nullopt;
    }
    for (unsigned char c : name) {
        if (c <= ' ' || c >= 0x7f) {
            *why = "port name '" + name + "' holds a blank or a character that is not plain ASCII";
            return std::nullopt;
        }
    }
    std::string result = name;
    // COMn, any case: from COM10 up Windows opens it only as \\.\COMn.
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.size() > 3 && upper.compare(0, 3, "COM") == 0 &&
        std::all_of(upper.begin() + 3, upper.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        int number = 0;
        if (upper.size() > 11 || !ToInt(std::string_view(upper).substr(3), &number) || number < 1) {
            *why = "'" + name + "' is not a COM port number from COM1 up";
            return std::nullopt;
        }
        if (forWin32 && number >= 10) result = "\\\\.\\COM" + std::to_string(number);
    }
    if (result.size() > 11) {
        if (longPathLinked && name[0] == '/') return std::string();
        *why = "port name '" + result + "' is longer than the 11 characters the driver takes" +
               (name[0] == '/' ? " (link the device under a shorter path, or as comN in "
                                 "VPIVG_DEVICE_DIR and use COMn)"
                               : "");
        return std::nullopt;
    }
    return result;
}

bool CheckVpis(const std::vector<VpiConfig>& vpis, const std::string& fileName,
               ConfigError* error) {
    if (vpis.empty()) {
        *error = ConfigError{fileName, 0, 0, "no [[vpi]] table: nothing to run"};
        return false;
    }
    for (std::size_t i = 0; i < vpis.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const VpiConfig& a = vpis[i];
            const VpiConfig& b = vpis[j];
            if (a.number == b.number) {
                *error = ConfigError{fileName, a.line, a.column, "second [[vpi]] for VPI " + std::to_string(a.number)};
                return false;
            }
            // One device per VPI: the driver opens its port exclusively.
            if (SamePort(a.port, b.port)) {
                *error = ConfigError{fileName, a.line, a.column,
                                     "VPI " + std::to_string(a.number) + " uses port " + a.port +
                                         ", already used by VPI " + std::to_string(b.number) +
                                         (a.port == b.port ? "" : " as " + b.port)};
                return false;
            }
        }
    }
    return true;
}

bool ParseConfig(std::string_view text, const std::string& fileName, HostConfig* out,
                 ConfigError* error) {
    // Windows editors save UTF-8 with a byte order mark; it is no part of the settings.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Reader reader(fileName, error);
    toml::parse_result parsed = toml::parse(text, fileName);
    if (!parsed) {
        const toml::parse_error& e = parsed.error();
        return reader.Fail(e.source(), std::string(e.description()));
    }
    const toml::table& root = parsed.table();
    HostConfig config = *out;
    config.vpis.clear();
    for (const auto& [k, node] : root) {
        std::string_view key = k.str();
        if (key != "vpi") {
            if (!reader.HostKey(key, node, config)) return false;
            continue;
        }
        const toml::array* tables = node.as_array();
        if (!tables || !tables->is_array_of_tables()) {
            return reader.Fail(node.source(), "vpi: write each VPI as a [[vpi]] table");
        }
        for (const toml::node& item : *tables) {
            VpiConfig vpi;
            if (!reader.VpiTable(*item.as_table(), &vpi)) return false;
            config.vpis.push_back(std::move(vpi));
        }
    }
    if (!CheckVpis(config.vpis, fileName, error)) return false;
    if (auto wrong = CheckMqttConfig(config)) {
        *error = ConfigError{fileName, 0, 0, *wrong};
        return false;
    }
    *out = std::move(config);
    return true;
}

bool LoadConfigFile(const std::string& path, HostConfig* config, ConfigError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = ConfigError{path, 0, 0, "cannot read the file"};
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return ParseConfig(text.str(), path, config, error);
}

}  // namespace vpihost
