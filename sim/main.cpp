// vpivg-sim: the instrument on a serial line, for commissioning and tests without a
// spectrometer.
//
// Exit status: 0 when the run ended as asked (count, duration, Ctrl-C, end of a replay); 1 when
// the port would not open or went away, a report or a file could not be written; 2 for a
// mistake on the command line; 130 after a second Ctrl-C.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.hpp"
#include "number_list.hpp"
#include "clock.hpp"
#include "console.hpp"
#include "output_file.hpp"
#include "ports.hpp"
#include "simcore.hpp"
#include "stop_signal.hpp"
#include "version_text.hpp"

namespace {

// How long a stop request may wait for the instrument's own thread, which may sit in a write
// the far end does not take: past this the program ends without it (within two seconds).
constexpr std::chrono::milliseconds kStopGrace{1500};

struct Settings {
    vpitools::LineOptions line;
    vpitools::CommonOptions common;
    vpisim::SimOptions sim;
    std::vector<std::pair<double, int>> silences;  // at seconds, for milliseconds
    std::string sentLogPath, recordPath, replayPath;
    double speed = 1;
    bool listen = false;
    bool overwrite = false;
    bool listPorts = false;
};

std::string VersionText() { return ToolVersionText("vpivg-sim"); }

// CLI11 validators for the option values with a grammar of their own; each returns what is
// wrong, or "" when the text is good.
std::string CheckList(const std::string& text) {
    std::vector<int> numbers;
    std::string why;
    return vpitools::ParseNumberList(text, 1, 99, &numbers, &why) ? "" : why;
}

bool ParseFault(const std::string& text, vpisim::FaultRule* rule) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    auto kind = vpisim::FaultFromName(text.substr(0, colon));
    if (!kind || *kind == vpisim::Fault::None) return false;
    const std::string number = text.substr(colon + 1);
    char* end = nullptr;
    const double n = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0' || !(n > 0)) return false;
    rule->kind = *kind;
    if (number.find('.') != std::string::npos) {
        if (n >= 1) return false;
        rule->probability = n;
    } else {
        if (n > 1e9) return false;
        rule->every = static_cast<unsigned>(n);
    }
    return true;
}

bool ParseSilence(const std::string& text, std::pair<double, int>* silence) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string at = text.substr(0, colon), ms = text.substr(colon + 1);
    char* atEnd = nullptr;
    char* msEnd = nullptr;
    const double seconds = std::strtod(at.c_str(), &atEnd);
    const double milliseconds = std::strtod(ms.c_str(), &msEnd);
    if (at.empty() || ms.empty() || *atEnd != '\0' || *msEnd != '\0' || !(seconds >= 0) ||
        !(milliseconds > 0) || milliseconds > 86400000) {
        return false;
    }
    *silence = {seconds, static_cast<int>(milliseconds)};
    return true;
}

// Reads the command line into `settings`; an exit status when the program should end now.
std::optional<int> ReadCommandLine(int argc, char** argv, Settings& s) {
    CLI::App app{"The instrument on a serial line, for commissioning and tests without a "
                 "spectrometer.",
                 "vpivg-sim"};
    app.get_formatter()->column_width(26);
    vpitools::AddLineOptions(app, s.line);
    vpitools::AddCommonOptions(app, s.common, VersionText);
    app.add_flag("--list-ports", s.listPorts, "list the serial ports this machine has, and exit");

    std::string streams, params;
    std::vector<std::string> faults, silences;
    app.add_option("--streams", streams, "streams to report, e.g. 1-3,5 (default 1)")
        ->type_name("LIST")
        ->check(CLI::Validator(CheckList, ""));
    app.add_option("--params", params,
                   "gate parameters, e.g. 1-12: parameters 5 up to the highest are sent")
        ->type_name("LIST")
        ->check(CLI::Validator(CheckList, ""));
    app.add_option("--interval-ms", s.sim.intervalMs,
                   "time between two reports, streams taking turns")
        ->type_name("MS")
        ->check(vpitools::NumberIn(1, 3600000))
        ->capture_default_str();
    app.add_option("--seed", s.sim.seed, "seed of the value drift and of random faults")
        ->type_name("N")
        ->capture_default_str();
    app.add_option("--fault", faults,
                   "KIND:N every N-th report; KIND:0.1 at random with that chance. "
                   "KIND: noise, cut, reversed, malformed, overlong")
        ->type_name("KIND:N")
        ->check(CLI::Validator(
            [](const std::string& text) {
                vpisim::FaultRule rule;
                return ParseFault(text, &rule) ? std::string()
                                               : "bad fault " + text + " (e.g. cut:7 or noise:0.2)";
            },
            ""));
    app.add_option("--resync-ms", s.sim.resyncPauseMs, "silence after a cut or reversed report")
        ->type_name("MS")
        ->check(vpitools::NumberIn(0, 600000))
        ->capture_default_str();
    app.add_option("--silence", silences, "at AT seconds after start, fall silent for MS milliseconds")
        ->type_name("AT:MS")
        ->check(CLI::Validator(
            [](const std::string& text) {
                std::pair<double, int> silence;
                return ParseSilence(text, &silence) ? std::string()
                                                    : "bad silence " + text + " (e.g. 10:6000)";
            },
            ""));
    bool noPoll = false;
    app.add_flag("--no-poll", noPoll, "do not answer the poll command");
    app.add_option("--sent-log", s.sentLogPath,
                   "one line per report sent: sequence, stream, fault, values")
        ->type_name("FILE");
    auto* record = app.add_option("--record", s.recordPath,
                                  "record what arrives on the line (a header, then \"<ms> <hex>\" lines)")
                       ->type_name("FILE");
    auto* replay = app.add_option("--replay", s.replayPath,
                                  "send a recorded capture instead of reports, then exit")
                       ->type_name("FILE");
    app.add_flag("--listen", s.listen,
                 "with --record: only listen, never send a byte (a plant capture)")
        ->needs(record)
        ->excludes(replay);
    app.add_option("--speed", s.speed, "replay speed factor")
        ->type_name("X")
        ->check(vpitools::NumberAbove(0))
        ->capture_default_str();
    app.add_option("--count", s.sim.maxReports, "stop after N reports")->type_name("N")
        ->check(vpitools::NumberIn(1, 1e15));
    app.add_flag("--overwrite", s.overwrite,
                 "let --record and --sent-log replace a file that exists (kept by default)");

    if (auto exit = vpitools::ParseCommandLine(app, argc, argv)) return exit;
    if (s.listPorts) return std::nullopt;
    if (s.line.port.empty()) {
        std::cerr << "vpivg-sim: --port is required (--list-ports shows the ports)\n"
                  << "Run 'vpivg-sim --help' for the options.\n";
        return 2;
    }
    std::string why;
    if (!streams.empty()) vpitools::ParseNumberList(streams, 1, 99, &s.sim.streams, &why);
    if (!params.empty()) {
        std::vector<int> numbers;
        vpitools::ParseNumberList(params, 1, 99, &numbers, &why);
        s.sim.lastParameter = numbers.back() < 5 ? 5 : numbers.back();
    }
    for (const std::string& text : faults) {
        vpisim::FaultRule rule;
        ParseFault(text, &rule);
        s.sim.faults.push_back(rule);
    }
    for (const std::string& text : silences) {
        std::pair<double, int> silence;
        ParseSilence(text, &silence);
        s.silences.push_back(silence);
    }
    s.sim.answerPolls = !noPoll;
    return std::nullopt;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Runs `work` on its own thread until it finishes, the duration passes or a stop is asked,
// calling `tick` every 20 ms meanwhile. When a stop finds `work` stuck (in a write the far end
// does not take) for longer than the grace, the process ends here, status 1, while everything
// `work` uses is still alive: every file is written unbuffered and holds all it got.
template <typename Work, typename Tick>
void RunBounded(const Settings& s, vpisim::Console& console, std::atomic<bool>& stop, Work work,
                Tick tick) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([&work, finished] {
        work();
        *finished = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!*finished && !vpitools::StopFlag()) {
        if (s.common.duration > 0 && Seconds(start) >= s.common.duration) break;
        tick(Seconds(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    if (!vpitools::WaitFor(*finished, kStopGrace)) {
        console.Complain("stopped while a write to " + s.line.port +
                         " had not finished (is anything reading the far end?)");
        console.Close();
        vpitools::ExitNow(1);
    }
    worker.join();
}

int ReplayMode(const Settings& s, vpisim::SimLine& line, vpisim::Console& console) {
    std::ifstream in(s.replayPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<vpisim::CaptureChunk> chunks;
    std::string why;
    if (!vpisim::ParseCapture(text.str(), &chunks, &why)) {
        console.Complain(s.replayPath + ": " + why);
        return 2;
    }
    if (auto header = vpisim::ParseCaptureHeader(text.str())) {
        console.Say("capture of " + header->port + " (" + header->line + ") made " + header->start);
        if (!vpisim::CaptureHasEnd(text.str())) {
            console.Say("warning: " + s.replayPath +
                        " has no end line: the recording was cut short");
        }
    }
    console.Say("replaying " + std::to_string(chunks.size()) + " chunks to " + s.line.port);
    std::atomic<bool> stop{false};
    bool written = false;
    RunBounded(s, console, stop,
               [&] { written = vpisim::ReplayCapture(line, chunks, stop, s.speed); },
               [](double) {});
    if (!line.Lost().empty()) {
        console.Complain(s.line.port + " lost: " + line.Lost());
        return 1;
    }
    if (!written && !stop) {
        console.Complain("cannot write to " + s.line.port +
                         ": the line did not take the bytes (is anything reading the far end?)");
        return 1;
    }
    return 0;
}

vpisim::CaptureHeader HeaderFor(const Settings& s) {
    return {vpitools::IsoTimestamp(), s.line.port, vpitools::ResolvePort(s.line.port),
            vpitools::Describe(s.line)};
}

// Ends a capture: an end line says the recording finished as planned, or where the line went.
void EndCapture(vpitools::OutputFile& capture, std::uint64_t bytes, const std::string& lost) {
    std::string end = vpisim::FormatCaptureEnd(bytes);
    if (!lost.empty()) end.insert(end.size() - 1, " lost=" + lost);
    capture.Write(end);
}

int ListenMode(const Settings& s, vpisim::SimLine& line, vpisim::Console& console) {
    // At a plant the line belongs to the instrument: take what it sends, send nothing.
    vpitools::OutputFile capture;
    if (!capture.Open(s.recordPath, s.overwrite) || !capture.Write(vpisim::FormatCaptureHeader(HeaderFor(s)))) {
        console.Complain(capture.Error());
        return 1;
    }
    console.Say("listening on " + s.line.port + ", recording to " + s.recordPath);
    std::atomic<bool> stop{false};
    std::uint64_t bytes = 0;
    const int wait = std::min(s.line.readTimeoutMs, 100);
    auto listen = [&] {
        const auto start = std::chrono::steady_clock::now();
        while (!stop && line.Lost().empty()) {
            std::string chunk = line.Read(4096, wait);
            if (chunk.empty()) continue;
            auto offset = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
            if (!capture.Write(vpisim::FormatCaptureChunk({static_cast<std::uint64_t>(offset), chunk}) + "\n")) {
                return;  // the record is the point of listening: a failed one ends the run
            }
            bytes += chunk.size();
        }
    };
    RunBounded(s, console, stop, listen, [](double) {});
    int status = 0;
    if (!line.Lost().empty()) {
        console.Complain(s.line.port + " lost: " + line.Lost());
        status = 1;
    }
    if (!capture.Failed()) EndCapture(capture, bytes, line.Lost());
    if (!capture.Close()) {
        console.Complain(capture.Error() + "; the capture stops at its last whole line");
        status = 1;
    }
    console.Say(std::to_string(bytes) + " bytes recorded");
    return status;
}

int SimulateMode(const Settings& s, vpisim::SimLine& line, vpisim::Console& console) {
    vpitools::OutputFile sentLog, record;
    vpisim::Simulator sim(line, s.sim);
    if (!s.sentLogPath.empty()) {
        if (!sentLog.Open(s.sentLogPath, s.overwrite)) {
            console.Complain(sentLog.Error());
            return 1;
        }
        sim.SetSentLog(&sentLog);
    }
    if (!s.recordPath.empty()) {
        if (!record.Open(s.recordPath, s.overwrite) ||
            !record.Write(vpisim::FormatCaptureHeader(HeaderFor(s)))) {
            console.Complain(record.Error());
            return 1;
        }
        sim.SetRecord(&record);
    }
    sim.SetEventHook([&console](const std::string& text) { console.Say(text); });

    std::atomic<bool> stop{false};
    std::vector<bool> silenced(s.silences.size(), false);
    bool outputFailed = false;
    auto tick = [&](double elapsed) {
        for (std::size_t i = 0; i < s.silences.size(); ++i) {
            if (!silenced[i] && elapsed >= s.silences[i].first) {
                silenced[i] = true;
                sim.InjectSilence(s.silences[i].second);
                console.Say("silent for " + std::to_string(s.silences[i].second) + " ms");
            }
        }
        if (!outputFailed && !sim.OutputFailure().empty()) {
            outputFailed = true;
            console.Complain(sim.OutputFailure() + "; that file stops at its last whole line");
        }
    };
    RunBounded(s, console, stop, [&] { sim.Run(stop); }, tick);
    tick(0);

    int status = outputFailed ? 1 : 0;
    const std::string lost = sim.LineLost();
    if (!lost.empty()) {
        console.Complain(s.line.port + " lost: " + lost);
        status = 1;
    } else if (sim.ReportsUnwritten() > 0) {
        console.Complain(std::to_string(sim.ReportsUnwritten()) + " of " +
                         std::to_string(sim.ReportsSent()) + " reports could not be written to " +
                         s.line.port + " (is anything reading the far end?)");
        status = 1;
    }
    if (!s.recordPath.empty()) {
        if (!record.Failed()) EndCapture(record, sim.RecordedBytes(), lost);
        if (!record.Close() && !outputFailed) {
            console.Complain(record.Error() + "; the capture stops at its last whole line");
            status = 1;
        }
    }
    if (!sentLog.Close() && !outputFailed) {
        console.Complain(sentLog.Error() + "; the sent log stops at its last whole line");
        status = 1;
    }
    console.Say(std::to_string(sim.ReportsSent()) + " reports sent, " +
                std::to_string(sim.PollsAnswered()) + " polls answered");
    return status;
}

int Run(int argc, char** argv) {
    Settings s;
    if (auto exit = ReadCommandLine(argc, argv, s)) return *exit;
    if (s.listPorts) {
        const std::string list = vpitools::FormatPortList(vpitools::ListPorts());
        if (std::fputs(list.c_str(), stdout) < 0 || std::fflush(stdout) != 0) return 1;
        return 0;
    }
    vpitools::InstallStopHandlers();
    vpisim::Console console(s.common.quiet);
    if (!s.common.logPath.empty() && !console.OpenLog(s.common.logPath)) return 1;
    if (!s.replayPath.empty() && !std::ifstream(s.replayPath)) {
        console.Complain("cannot read " + s.replayPath + ": " +
                         vpitools::OsErrorText(vpitools::LastOsError()));
        return 2;
    }

    std::string why;
    auto line = vpisim::OpenSerialLine(s.line, &why);
    if (!line) {
        console.Complain(why);
        console.Close();
        return 1;
    }
    const std::string device = vpitools::ResolvePort(s.line.port);
    console.Say("on " + s.line.port + (device == s.line.port ? "" : " (" + device + ")") + ", " +
                vpitools::Describe(s.line));

    int status;
    if (!s.replayPath.empty()) {
        status = ReplayMode(s, *line, console);
    } else if (s.listen) {
        status = ListenMode(s, *line, console);
    } else {
        status = SimulateMode(s, *line, console);
    }
    console.Close();
    if (!console.Ok() && status == 0) status = 1;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    vpitools::IgnoreBrokenPipe();
    try {
        const int status = Run(argc, argv);
        vpitools::NoteStopFinished();
        return status;
    } catch (const std::exception& error) {
        // Out of memory or a broken standard stream: say it rather than end without a word.
        std::fprintf(stderr, "vpivg-sim: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "vpivg-sim: unexpected failure\n");
    }
    return 1;
}
