#include "config.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace vpihost {

namespace {

std::string Trim(std::string_view text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "Scan period ms", "scan-period-ms" and "scan_period_ms" are one key.
std::string KeyName(std::string text) {
    text = Lower(Trim(text));
    std::string out;
    for (char c : text) {
        char k = (c == ' ' || c == '-' || c == '\t') ? '_' : c;
        if (k == '_' && !out.empty() && out.back() == '_') continue;
        out += k;
    }
    return out;
}

bool ToInt(const std::string& text, long long low, long long high, int* out) {
    if (text.empty() || text.size() > 10) return false;
    long long v = 0;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-') {
        negative = true;
        i = 1;
        if (text.size() == 1) return false;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    if (negative) v = -v;
    if (v < low || v > high) return false;
    *out = static_cast<int>(v);
    return true;
}

std::optional<bool> ToSwitch(const std::string& text) {
    std::string v = Lower(text);
    if (v == "on" || v == "yes" || v == "true" || v == "1") return true;
    if (v == "off" || v == "no" || v == "false" || v == "0") return false;
    return std::nullopt;
}

// A number list within [low, high], e.g. "1-3,5".
bool ToList(const std::string& text, int low, int high, std::vector<int>* out, std::string* why) {
    out->clear();
    std::string_view rest = text;
    while (true) {
        std::size_t comma = rest.find(',');
        std::string item = Trim(rest.substr(0, comma));
        std::size_t dash = item.find('-');
        int first = 0, last = 0;
        bool ok = dash == std::string::npos
                      ? ToInt(item, 0, 1000000, &first) && (last = first, true)
                      : ToInt(Trim(item.substr(0, dash)), 0, 1000000, &first) &&
                            ToInt(Trim(item.substr(dash + 1)), 0, 1000000, &last);
        if (!ok) {
            *why = "'" + item + "' is neither a number nor a range like 1-3";
            return false;
        }
        if (last < first) {
            *why = "range " + item + " runs backwards";
            return false;
        }
        if (first < low || last > high) {
            *why = item + " is outside " + std::to_string(low) + ".." + std::to_string(high);
            return false;
        }
        for (int v = first; v <= last; ++v) out->push_back(v);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    std::sort(out->begin(), out->end());
    out->erase(std::unique(out->begin(), out->end()), out->end());
    return true;
}

struct Parser {
    std::string file;
    ConfigError* error;
    bool Fail(int line, const std::string& message) {
        *error = ConfigError{file, line, message};
        return false;
    }
};

// Checks one VPI once its whole section has been read.
bool FinishVpi(Parser& p, VpiConfig& vpi, bool streamsSet, bool paramsSet) {
    std::string where = "[vpi " + std::to_string(vpi.number) + "]";
    if (vpi.port.empty()) return p.Fail(vpi.line, where + " has no port");
    if (!streamsSet) return p.Fail(vpi.line, where + " has no streams (e.g. streams = 1-3)");
    if (!paramsSet) return p.Fail(vpi.line, where + " has no params (e.g. params = 1-20)");
    return true;
}

}  // namespace

std::string ConfigError::Text() const {
    std::string where = file.empty() ? "command line" : file;
    if (line > 0) where += ":" + std::to_string(line);
    return where + ": " + message;
}

std::optional<std::string> DriverPortName(const std::string& name, bool forWin32,
                                          std::string* why) {
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
        if (!ToInt(upper.substr(3), 1, 99999999, &number)) {
            *why = "'" + name + "' is not a COM port number from COM1 up";
            return std::nullopt;
        }
        if (forWin32 && number >= 10) result = "\\\\.\\COM" + std::to_string(number);
    }
    if (result.size() > 11) {
        *why = "port name '" + result + "' is longer than the 11 characters the driver takes" +
               (name[0] == '/' ? " (link the device under a shorter path, or as comN in "
                                 "VPIVG_DEVICE_DIR and use COMn)"
                               : "");
        return std::nullopt;
    }
    return result;
}

bool ParseConfig(std::string_view text, const std::string& fileName, HostConfig* out,
                 ConfigError* error) {
    Parser p{fileName, error};
    HostConfig config;
    enum class Section { None, Host, Vpi } section = Section::None;
    std::set<std::string> keysSeen;
    std::set<int> vpisSeen;
    bool hostSeen = false;
    bool streamsSet = false, paramsSet = false;
    VpiConfig* vpi = nullptr;

    int lineNumber = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        // Comments run from ';' or '#' to the end of the line; no value needs either.
        std::string line = Trim(raw.substr(0, raw.find_first_of(";#")));
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') return p.Fail(lineNumber, "section header '" + line + "' lacks its ']'");
            if (vpi && !FinishVpi(p, *vpi, streamsSet, paramsSet)) return false;
            vpi = nullptr;
            keysSeen.clear();
            std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
            if (name == "host") {
                if (hostSeen) return p.Fail(lineNumber, "second [host] section");
                hostSeen = true;
                section = Section::Host;
            } else if (name.compare(0, 3, "vpi") == 0) {
                int number = 0;
                if (!ToInt(Trim(name.substr(3)), 1, 255, &number)) {
                    return p.Fail(lineNumber, "'[" + name + "]': a VPI section is [vpi N] with N from 1 to 255");
                }
                if (!vpisSeen.insert(number).second) {
                    return p.Fail(lineNumber, "second section for VPI " + std::to_string(number));
                }
                section = Section::Vpi;
                config.vpis.emplace_back();
                vpi = &config.vpis.back();
                vpi->number = number;
                vpi->line = lineNumber;
                streamsSet = paramsSet = false;
            } else {
                return p.Fail(lineNumber, "unknown section [" + name + "] (expected [host] or [vpi N])");
            }
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return p.Fail(lineNumber, "'" + line + "' is not 'key = value'");
        }
        std::string key = KeyName(line.substr(0, equals));
        std::string value = Trim(line.substr(equals + 1));
        if (key.empty()) return p.Fail(lineNumber, "a value without a key");
        if (section == Section::None) {
            return p.Fail(lineNumber, "'" + key + "' stands before any [host] or [vpi N] section");
        }
        if (!keysSeen.insert(key).second) return p.Fail(lineNumber, key + " is given twice in this section");
        if (value.empty()) return p.Fail(lineNumber, key + " has no value");
        auto bad = [&](const std::string& expected) {
            return p.Fail(lineNumber, key + " = " + value + ": " + expected);
        };

        if (section == Section::Host) {
            if (key == "scan_period_ms") {
                if (!ToInt(value, 50, 3600000, &config.scanPeriodMs)) return bad("expected milliseconds from 50 to 3600000");
            } else if (key == "poll_period_ms") {
                if (!ToInt(value, 0, 3600000, &config.pollPeriodMs) ||
                    (config.pollPeriodMs > 0 && config.pollPeriodMs < 100)) {
                    return bad("expected 0 (no polls) or milliseconds from 100 to 3600000");
                }
            } else if (key == "recovery") {
                auto on = ToSwitch(value);
                if (!on) return bad("expected on or off");
                config.recovery = *on;
            } else if (key == "recovery_after") {
                if (!ToInt(value, 1, 1000, &config.recoveryAfter)) return bad("expected a number of failed status scans from 1 to 1000");
            } else if (key == "tick_ms") {
                if (!ToInt(value, 1, 1000, &config.tickMs)) return bad("expected milliseconds from 1 to 1000");
            } else {
                return p.Fail(lineNumber, "unknown key '" + key + "' in [host] (scan_period_ms, poll_period_ms, recovery, recovery_after, tick_ms)");
            }
            continue;
        }

        int number = 0;
        std::string why;
        if (key == "port") {
            auto name = DriverPortName(value, kWin32Target, &why);
            if (!name) return p.Fail(lineNumber, why);
            vpi->port = value;
            vpi->driverPort = *name;
        } else if (key == "baud") {
            if (!ToInt(value, 1, 65535, &number)) return bad("expected a line speed from 1 to 65535 (the driver's record holds 16 bits)");
            vpi->baud = number;
        } else if (key == "data_bits") {
            if (!ToInt(value, 5, 8, &number)) return bad("expected 5, 6, 7 or 8");
            vpi->dataBits = number;
        } else if (key == "parity") {
            static const std::map<std::string, int> kParity{
                {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
            auto it = kParity.find(Lower(value));
            if (it == kParity.end()) return bad("expected none, odd, even, mark or space");
            vpi->parity = it->second;
        } else if (key == "stop_bits") {
            if (value == "1") vpi->stopBits = 0;
            else if (value == "1.5") vpi->stopBits = 1;
            else if (value == "2") vpi->stopBits = 2;
            else return bad("expected 1, 1.5 or 2");
        } else if (key == "read_timeout") {
            if (!ToInt(value, 100, 30000, &vpi->readTimeout)) return bad("expected units of 10 ms from 100 (1 s, the driver's least) to 30000");
        } else if (key == "status_wait") {
            if (!ToInt(value, 30, 120, &number)) return bad("expected milliseconds from 30 to 120");
            vpi->statusWait = number;
        } else if (key == "streams") {
            if (!ToList(value, 1, 99, &vpi->streams, &why)) return bad(why + " (streams are 1..99)");
            streamsSet = true;
        } else if (key == "params") {
            if (!ToList(value, 1, 99, &vpi->params, &why)) return bad(why + " (params are 1..99)");
            paramsSet = true;
        } else {
            return p.Fail(lineNumber, "unknown key '" + key + "' in [vpi " + std::to_string(vpi->number) +
                                          "] (port, baud, data_bits, parity, stop_bits, read_timeout, status_wait, streams, params)");
        }
    }
    if (vpi && !FinishVpi(p, *vpi, streamsSet, paramsSet)) return false;
    if (config.vpis.empty()) return p.Fail(0, "no [vpi N] section: nothing to run");
    // One device per VPI: the driver opens its port exclusively.
    for (std::size_t i = 0; i < config.vpis.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (Lower(config.vpis[i].driverPort) == Lower(config.vpis[j].driverPort)) {
                return p.Fail(config.vpis[i].line, "VPI " + std::to_string(config.vpis[i].number) +
                                                       " uses port " + config.vpis[i].port + ", already used by VPI " +
                                                       std::to_string(config.vpis[j].number));
            }
        }
    }
    *out = std::move(config);
    return true;
}

bool LoadConfigFile(const std::string& path, HostConfig* config, ConfigError* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = ConfigError{path, 0, "cannot read the file"};
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    return ParseConfig(text.str(), path, config, error);
}

const char* const kUsage =
    "usage: vpivg-host [--config FILE | --port NAME [--vpi N] [--streams LIST] [--params LIST]]\n"
    "                  [--trace] [--csv FILE] [--duration S] [--no-recovery] [--plain]\n"
    "       vpivg-host demo [--duration S] [--trace] [--csv FILE] [--plain]\n"
    "\n"
    "  --config FILE      the host's INI file (see vpivg-host.example.ini)\n"
    "  --port NAME        one VPI on this port (COM5, or a path of up to 11 characters)\n"
    "  --vpi N            its VPI number (default 1)\n"
    "  --streams LIST     its streams, e.g. 1-3,5 (default 1)\n"
    "  --params LIST      its parameters, e.g. 1-20 (default 1-20)\n"
    "  --baud N           its line speed (default: the driver's)\n"
    "  --status-wait MS   its !STATUS wait, 30..120 (written to vpiVGnn.int if missing)\n"
    "  --scan-ms N        scan period (default 1000)\n"
    "  --poll-ms N        poll period, 0 = no polls (default 0)\n"
    "  --trace            show the driver's byte trace (log level 8)\n"
    "  --csv FILE         record every gate value change: time, vpi, address, value\n"
    "  --duration S       stop on its own after S seconds\n"
    "  --no-recovery      never reopen a silent VPI's port\n"
    "  --plain            plain text lines, no live screen\n"
    "  --driver PATH      the driver library (default: next to this program, else where\n"
    "                     the package puts it)\n"
    "  --version          this program's version and the driver's, read from the library\n"
    "\n"
    "  demo               simulator and driver on a pseudo-terminal pair, no hardware needed\n";

bool ParseCommandLine(const std::vector<std::string>& args, HostOptions* options,
                      HostConfig* config, ConfigError* error) {
    Parser p{"", error};
    HostOptions o;
    VpiConfig flagVpi;
    flagVpi.number = 1;
    flagVpi.streams = {1};
    for (int i = 1; i <= 20; ++i) flagVpi.params.push_back(i);
    bool vpiFlags = false;
    std::optional<int> scanMs, pollMs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i == 0 && a == "demo") {
            o.demo = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        if (a == "--version") { o.version = true; continue; }
        if (a == "--trace") { o.trace = true; continue; }
        if (a == "--no-recovery") { o.recoveryOff = true; continue; }
        if (a == "--plain") { o.plain = true; continue; }
        if (a.rfind("--", 0) != 0) return p.Fail(0, "unexpected argument '" + a + "'");
        if (i + 1 >= args.size()) return p.Fail(0, a + " needs a value");
        const std::string& v = args[++i];
        std::string why;
        int n = 0;
        if (a == "--config") {
            o.configPath = v;
        } else if (a == "--csv") {
            o.csvPath = v;
        } else if (a == "--driver") {
            o.driverPath = v;
        } else if (a == "--duration") {
            char* end = nullptr;
            o.durationS = std::strtod(v.c_str(), &end);
            if (!end || *end || !(o.durationS > 0)) return p.Fail(0, "--duration " + v + ": expected seconds above 0");
        } else if (a == "--port") {
            auto name = DriverPortName(v, kWin32Target, &why);
            if (!name) return p.Fail(0, "--port: " + why);
            flagVpi.port = v;
            flagVpi.driverPort = *name;
            vpiFlags = true;
        } else if (a == "--vpi") {
            if (!ToInt(v, 1, 255, &flagVpi.number)) return p.Fail(0, "--vpi " + v + ": expected 1..255");
            vpiFlags = true;
        } else if (a == "--streams") {
            if (!ToList(v, 1, 99, &flagVpi.streams, &why)) return p.Fail(0, "--streams: " + why + " (streams are 1..99)");
            vpiFlags = true;
        } else if (a == "--params") {
            if (!ToList(v, 1, 99, &flagVpi.params, &why)) return p.Fail(0, "--params: " + why + " (params are 1..99)");
            vpiFlags = true;
        } else if (a == "--baud") {
            if (!ToInt(v, 1, 65535, &n)) return p.Fail(0, "--baud " + v + ": expected 1..65535");
            flagVpi.baud = n;
            vpiFlags = true;
        } else if (a == "--status-wait") {
            if (!ToInt(v, 30, 120, &n)) return p.Fail(0, "--status-wait " + v + ": expected 30..120");
            flagVpi.statusWait = n;
            vpiFlags = true;
        } else if (a == "--scan-ms") {
            if (!ToInt(v, 50, 3600000, &n)) return p.Fail(0, "--scan-ms " + v + ": expected 50..3600000");
            scanMs = n;
        } else if (a == "--poll-ms") {
            if (!ToInt(v, 0, 3600000, &n) || (n > 0 && n < 100)) return p.Fail(0, "--poll-ms " + v + ": expected 0 or 100..3600000");
            pollMs = n;
        } else {
            return p.Fail(0, "unknown option " + a);
        }
    }
    if (o.help || o.version) {
        *options = o;
        return true;
    }
    HostConfig result;
    if (o.demo) {
        if (!o.configPath.empty() || vpiFlags) return p.Fail(0, "demo takes no --config or VPI flags");
    } else if (!o.configPath.empty()) {
        if (vpiFlags) return p.Fail(0, "--config and --port/--vpi/--streams/--params/--baud/--status-wait exclude each other");
        if (!LoadConfigFile(o.configPath, &result, error)) return false;
    } else if (vpiFlags) {
        if (flagVpi.port.empty()) return p.Fail(0, "--port is required (or --config FILE)");
        result.vpis.push_back(flagVpi);
    } else {
        return p.Fail(0, "nothing to run: give --config FILE or --port NAME (or 'demo')");
    }
    if (scanMs) result.scanPeriodMs = *scanMs;
    if (pollMs) result.pollPeriodMs = *pollMs;
    if (o.recoveryOff) result.recovery = false;
    *options = o;
    *config = std::move(result);
    return true;
}

}  // namespace vpihost
