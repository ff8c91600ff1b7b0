#include "commandline.hpp"

#include <algorithm>
#include <sstream>

#include <CLI/CLI.hpp>

namespace vpihost {

namespace {

const char* const kVersionText = "vpivg-host (version to follow)";

struct Flags {
    HostConfig host;
    VpiConfig vpi;
    std::string port, streams, params, parity;
    double stopBits = 1;
    int baud = 0, dataBits = 8, statusWait = 60;
    HostOptions options;
    bool version = false;
};

// The VPI flags; with --config the file holds the VPIs, so these would be ambiguous.
const char* const kVpiFlags[] = {"--port", "--vpi", "--streams", "--params", "--baud", "--data-bits",
                                 "--parity", "--stop-bits", "--read-timeout", "--status-wait"};
// Flags that are not settings of the file.
const char* const kNotSettings[] = {"--config", "--list-ports", "--version", "--help", "--no-recovery"};

void Define(CLI::App& app, Flags& f) {
    app.set_help_flag("-h,--help", "this help");
    app.add_flag("--version", f.version, "the program's version");
    app.add_option("--config", f.options.configPath, "the host's TOML file (see vpivg-host.example.toml)");
    app.add_flag("--list-ports", f.options.listPorts, "list the serial ports of this machine and stop");

    auto* vpi = "One VPI from flags (or its [[vpi]] table in the file)";
    app.add_option("--port", f.port, "its port: COMn, or a device path")->group(vpi);
    app.add_option("--vpi", f.vpi.number, "its VPI number (default 1)")->check(CLI::Range(1, 255))->group(vpi);
    app.add_option("--streams", f.streams, "its streams, e.g. 1-3,5 (default 1)")->group(vpi);
    app.add_option("--params", f.params, "its parameters, e.g. 1-20 (default 1-20)")->group(vpi);
    app.add_option("--baud", f.baud, "line speed (default: the driver's)")->check(CLI::Range(1, 65535))->group(vpi);
    app.add_option("--data-bits", f.dataBits, "5, 6, 7 or 8")->check(CLI::Range(5, 8))->group(vpi);
    app.add_option("--parity", f.parity, "none, odd, even, mark or space")->group(vpi);
    app.add_option("--stop-bits", f.stopBits, "1, 1.5 or 2")->group(vpi);
    app.add_option("--read-timeout", f.vpi.readTimeout, "units of 10 ms, 100..30000")->check(CLI::Range(100, 30000))->group(vpi);
    app.add_option("--status-wait", f.statusWait, "ms a !STATUS read waits, 30..120 (written to vpiVGnn.int)")
        ->check(CLI::Range(30, 120))->group(vpi);

    auto* host = "The host";
    app.add_option("--scan-period-ms", f.host.scanPeriodMs, "how often !STATUS and the gates are read (default 1000)")
        ->check(CLI::Range(50, 3600000))->group(host);
    app.add_option("--poll-period-ms", f.host.pollPeriodMs, "how often !POLL is read; 0: never (default)")
        ->check([](const std::string& v) -> std::string {
            long long n = 0;
            std::istringstream in(v);
            if (!(in >> n) || !in.eof()) return "expected a whole number";
            auto wrong = CheckPollPeriod(n);
            return wrong ? *wrong : std::string();
        })->group(host);
    app.add_flag("--recovery,!--no-recovery", f.host.recovery, "reopen the port of a silent VPI (default on)")->group(host);
    app.add_option("--recovery-after", f.host.recoveryAfter, "failed status scans before a reopen (default 3)")
        ->check(CLI::Range(1, 1000))->group(host);
    app.add_option("--tick-ms", f.host.tickMs, "the host's message tick (default 20)")->check(CLI::Range(1, 1000))->group(host);
    app.add_option("--driver", f.host.driver, "the driver library (default: next to this program)")->group(host);
    app.add_option("--device-dir", f.host.deviceDir, "folder where long device paths are linked as comN")->group(host);

    auto* output = "Output";
    app.add_option("--csv", f.host.csv, "record every gate value change: time, vpi, address, value")->group(output);
    app.add_flag("--overwrite", f.host.overwrite, "let --csv replace an existing file")->group(output);
    app.add_option("--log", f.host.log, "keep every driver message and host event in FILE")->group(output);
    app.add_option("--log-size-kb", f.host.logSizeKb, "rotate the log at this size (default 1024)")
        ->check(CLI::Range(16, 1048576))->group(output);
    app.add_flag("--trace", f.host.trace, "show the driver's byte trace, one line per report")->group(output);
    app.add_option("--duration", f.host.duration, "stop on its own after S seconds")
        ->check(CLI::PositiveNumber)->group(output);
    app.add_flag("--plain", f.host.plain, "plain text lines, no live screen")->group(output);
    app.add_flag("--quiet", f.host.quiet, "nothing on the screen but errors")->group(output);
}

bool Given(const CLI::App& app, const std::string& flag) {
    // --no-recovery is the same option as --recovery.
    return app.count(flag) > 0;
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
                                    HostConfig* config, std::ostream& out, std::ostream& err) {
    Flags f;
    f.vpi.number = 1;
    CLI::App app{"vpivg-host: the stand-in SCADA host for the vpivg driver", "vpivg-host"};
    Define(app, f);
    // The demo takes the program's flags after its name too ("demo --duration 5").
    app.fallthrough();
    auto* demo = app.add_subcommand("demo", "simulator and driver on a pseudo-terminal pair, no hardware needed");
    app.footer("A config file takes every flag above but --config, --list-ports and --version as a setting\n"
               "of the same name: see vpivg-host.example.toml.");
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        err << "vpivg-host: " << e.what() << "\n" << "Run with --help for more information.\n";
        return 2;
    }
    if (f.version) {
        out << kVersionText << "\n";
        return 0;
    }
    auto fail = [&](const std::string& text) {
        err << "vpivg-host: " << text << "\nRun with --help for more information.\n";
        return 2;
    };
    bool vpiFlags = std::any_of(std::begin(kVpiFlags), std::end(kVpiFlags),
                                [&](const char* flag) { return Given(app, flag); });
    f.options.demo = demo->parsed();
    if (f.options.listPorts) {
        *options = f.options;
        return std::nullopt;
    }

    HostConfig result;
    if (f.options.demo) {
        if (!f.options.configPath.empty() || vpiFlags) return fail("demo takes no --config or VPI flags");
    } else if (!f.options.configPath.empty()) {
        if (vpiFlags) return fail("--config and the VPI flags (--port, --vpi, ...) exclude each other: the file holds the VPIs");
        ConfigError error;
        if (!LoadConfigFile(f.options.configPath, &result, &error)) {
            err << "vpivg-host: " << error.Text() << "\n";
            return 2;
        }
    } else if (vpiFlags) {
        if (f.port.empty()) return fail("--port is required (or --config FILE)");
        VpiConfig vpi = f.vpi;
        std::string why;
        auto name = DriverPortName(f.port, kWin32Target, &why, !kWin32Target);
        if (!name) return fail("--port " + f.port + ": " + why);
        vpi.port = f.port;
        vpi.driverPort = *name;
        vpi.streams = {1};
        for (int i = 1; i <= 20; ++i) vpi.params.push_back(i);
        if (!f.streams.empty() && !ParseNumberList(f.streams, 1, 99, &vpi.streams, &why)) {
            return fail("--streams " + f.streams + ": " + why + " (streams are 1..99)");
        }
        if (!f.params.empty() && !ParseNumberList(f.params, 1, 99, &vpi.params, &why)) {
            return fail("--params " + f.params + ": " + why + " (params are 1..99)");
        }
        if (Given(app, "--baud")) vpi.baud = f.baud;
        if (Given(app, "--data-bits")) vpi.dataBits = f.dataBits;
        if (Given(app, "--status-wait")) vpi.statusWait = f.statusWait;
        if (Given(app, "--parity")) {
            vpi.parity = ParityCode(f.parity);
            if (!vpi.parity) return fail("--parity " + f.parity + ": expected none, odd, even, mark or space");
        }
        if (Given(app, "--stop-bits")) {
            vpi.stopBits = StopBitsCode(f.stopBits);
            if (!vpi.stopBits) return fail("--stop-bits: expected 1, 1.5 or 2");
        }
        result.vpis.push_back(vpi);
    } else {
        return fail("nothing to run: give --config FILE or --port NAME (or 'demo', or --list-ports)");
    }
    // A flag given wins over the file.
    const HostConfig& h = f.host;
    if (Given(app, "--scan-period-ms")) result.scanPeriodMs = h.scanPeriodMs;
    if (Given(app, "--poll-period-ms")) result.pollPeriodMs = h.pollPeriodMs;
    if (Given(app, "--recovery")) result.recovery = h.recovery;
    if (Given(app, "--recovery-after")) result.recoveryAfter = h.recoveryAfter;
    if (Given(app, "--tick-ms")) result.tickMs = h.tickMs;
    if (Given(app, "--driver")) result.driver = h.driver;
    if (Given(app, "--device-dir")) result.deviceDir = h.deviceDir;
    if (Given(app, "--csv")) result.csv = h.csv;
    if (Given(app, "--overwrite")) result.overwrite = h.overwrite;
    if (Given(app, "--log")) result.log = h.log;
    if (Given(app, "--log-size-kb")) result.logSizeKb = h.logSizeKb;
    if (Given(app, "--trace")) result.trace = h.trace;
    if (Given(app, "--duration")) result.duration = h.duration;
    if (Given(app, "--plain")) result.plain = h.plain;
    if (Given(app, "--quiet")) result.quiet = h.quiet;
    *options = f.options;
    *config = std::move(result);
    return std::nullopt;
}

}  // namespace vpihost
