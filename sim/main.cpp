// vpivg-sim: the instrument on a serial line, for commissioning and tests without a
// spectrometer.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simcore.hpp"
#include "version_text.hpp"

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

const char* kUsage =
    "usage: vpivg-sim --port NAME [options]\n"
    "  --port NAME        serial device: COM5, \\\\.\\COM12 or a path such as /dev/ttyUSB0\n"
    "  --baud N           line speed (default 9600; 8 data bits, no parity, 1 stop bit)\n"
    "  --streams LIST     streams to report, e.g. 1-3,5 (default 1)\n"
    "  --params LIST      gate parameters, e.g. 1-12: parameters 5 up to the highest are sent\n"
    "  --interval-ms N    time between two reports, streams taking turns (default 500)\n"
    "  --seed N           seed of the value drift and of random faults (default 1)\n"
    "  --fault KIND:N     fault every N-th report; KIND:0.1 at random with that chance.\n"
    "                     KIND: noise, cut, reversed, malformed, overlong\n"
    "  --resync-ms N      silence after a cut or reversed report (default 1300)\n"
    "  --silence AT:MS    at AT seconds after start, fall silent for MS milliseconds\n"
    "  --no-poll          do not answer the poll command\n"
    "  --sent-log FILE    one line per report sent: sequence, stream, fault, values\n"
    "  --record FILE      record what arrives on the line (\"<ms> <hex>\" lines)\n"
    "  --listen           with --record: only listen, never send a byte (a plant capture)\n"
    "  --replay FILE      send a recorded capture instead of reports, then exit\n"
    "  --speed X          replay speed factor (default 1)\n"
    "  --count N          stop after N reports\n"
    "  --duration S       stop after S seconds\n"
    "  --quiet            print nothing but errors\n"
    "  --version          print the version and source revision\n";

int Usage(const std::string& message) {
    std::cerr << "vpivg-sim: " << message << "\n" << kUsage;
    return 2;
}

bool ToNumber(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string port, sentLogPath, recordPath, replayPath;
    unsigned baud = 9600;
    double duration = 0, speed = 1;
    bool quiet = false;
    bool listen = false;
    vpisim::SimOptions options;
    std::vector<std::pair<double, int>> silences;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        std::string v;
        double n = 0;
        std::string why;
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--version") {
            std::cout << ToolVersionText("vpivg-sim") << "\n" << std::flush;
            if (!std::cout) {
                std::cerr << "vpivg-sim: cannot write the version to standard output\n";
                return 1;
            }
            return 0;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--listen") {
            listen = true;
        } else if (a == "--no-poll") {
            options.answerPolls = false;
        } else if (!value(&v)) {
            return Usage(a.rfind("--", 0) == 0 ? a + " needs a value" : "unknown argument " + a);
        } else if (a == "--port") {
            port = v;
        } else if (a == "--baud") {
            if (!ToNumber(v, &n) || n < 50 || n > 4000000) return Usage("bad --baud " + v);
            baud = static_cast<unsigned>(n);
        } else if (a == "--streams") {
            if (!vpisim::ParseNumberList(v, 1, 99, &options.streams, &why)) {
                return Usage("--streams: " + why);
            }
        } else if (a == "--params") {
            std::vector<int> params;
            if (!vpisim::ParseNumberList(v, 1, 99, &params, &why)) return Usage("--params: " + why);
            options.lastParameter = params.back() < 5 ? 5 : params.back();
        } else if (a == "--interval-ms") {
            if (!ToNumber(v, &n) || n < 1) return Usage("bad --interval-ms " + v);
            options.intervalMs = static_cast<int>(n);
        } else if (a == "--seed") {
            if (!ToNumber(v, &n) || n < 0) return Usage("bad --seed " + v);
            options.seed = static_cast<std::uint32_t>(n);
        } else if (a == "--resync-ms") {
            if (!ToNumber(v, &n) || n < 0) return Usage("bad --resync-ms " + v);
            options.resyncPauseMs = static_cast<int>(n);
        } else if (a == "--fault") {
            std::size_t colon = v.find(':');
            auto kind = vpisim::FaultFromName(v.substr(0, colon));
            if (!kind || *kind == vpisim::Fault::None || colon == std::string::npos ||
                !ToNumber(v.substr(colon + 1), &n) || n <= 0) {
                return Usage("bad --fault " + v + " (e.g. cut:7 or noise:0.2)");
            }
            vpisim::FaultRule rule;
            rule.kind = *kind;
            if (v.find('.', colon) != std::string::npos) {
                if (n >= 1) return Usage("--fault chance must be below 1: " + v);
                rule.probability = n;
            } else {
                rule.every = static_cast<unsigned>(n);
            }
            options.faults.push_back(rule);
        } else if (a == "--silence") {
            std::size_t colon = v.find(':');
            double at = 0, ms = 0;
            if (colon == std::string::npos || !ToNumber(v.substr(0, colon), &at) ||
                !ToNumber(v.substr(colon + 1), &ms) || at < 0 || ms <= 0) {
                return Usage("bad --silence " + v + " (e.g. 10:6000)");
            }
            silences.emplace_back(at, static_cast<int>(ms));
        } else if (a == "--sent-log") {
            sentLogPath = v;
        } else if (a == "--record") {
            recordPath = v;
        } else if (a == "--replay") {
            replayPath = v;
        } else if (a == "--speed") {
            if (!ToNumber(v, &speed) || speed <= 0) return Usage("bad --speed " + v);
        } else if (a == "--count") {
            if (!ToNumber(v, &n) || n < 1) return Usage("bad --count " + v);
            options.maxReports = static_cast<std::uint64_t>(n);
        } else if (a == "--duration") {
            if (!ToNumber(v, &duration) || duration <= 0) return Usage("bad --duration " + v);
        } else {
            return Usage("unknown option " + a);
        }
    }
    if (port.empty()) return Usage("--port is required");
    if (listen && recordPath.empty()) return Usage("--listen needs --record FILE");
    if (listen && !replayPath.empty()) return Usage("--listen and --replay exclude each other");

    std::vector<vpisim::CaptureChunk> chunks;
    if (!replayPath.empty()) {
        std::ifstream in(replayPath, std::ios::binary);
        if (!in) return Usage("cannot read " + replayPath);
        std::stringstream text;
        text << in.rdbuf();
        std::string why;
        if (!vpisim::ParseCapture(text.str(), &chunks, &why)) {
            std::cerr << "vpivg-sim: " << replayPath << ": " << why << "\n";
            return 2;
        }
    }

    std::string why;
    auto line = vpisim::OpenSerialLine(port, baud, &why);
    if (!line) {
        std::cerr << "vpivg-sim: " << why << "\n";
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    if (!replayPath.empty()) {
        if (!quiet) std::cout << "replaying " << chunks.size() << " chunks to " << port << "\n";
        return vpisim::ReplayCapture(*line, chunks, stopRequested, speed) ? 0 : 1;
    }

    if (listen) {
        // At a plant the line belongs to the instrument: take what it sends, send nothing.
        std::ofstream capture(recordPath);
        if (!capture) return Usage("cannot write " + recordPath);
        capture << "# vpivg-sim capture of " << port << ": <ms offset> <hex bytes>\n";
        if (!quiet) std::cout << "listening on " << port << ", recording to " << recordPath << "\n";
        auto start = std::chrono::steady_clock::now();
        std::uint64_t bytes = 0;
        while (!stopRequested) {
            auto now = std::chrono::steady_clock::now();
            if (duration > 0 && std::chrono::duration<double>(now - start).count() >= duration) break;
            std::string chunk = line->Read(4096, 100);
            if (chunk.empty()) continue;
            bytes += chunk.size();
            auto offset = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start).count();
            capture << vpisim::FormatCaptureChunk({static_cast<std::uint64_t>(offset), chunk})
                    << '\n' << std::flush;
        }
        if (!quiet) std::cout << bytes << " bytes recorded\n";
        return 0;
    }

    std::ofstream sentLog, record;
    vpisim::Simulator sim(*line, options);
    if (!sentLogPath.empty()) {
        sentLog.open(sentLogPath);
        if (!sentLog) return Usage("cannot write " + sentLogPath);
        sim.SetSentLog(&sentLog);
    }
    if (!recordPath.empty()) {
        record.open(recordPath);
        if (!record) return Usage("cannot write " + recordPath);
        record << "# vpivg-sim capture of " << port << ": <ms offset> <hex bytes>\n";
        sim.SetRecord(&record);
    }
    if (!quiet) {
        sim.SetEventHook([](const std::string& text) { std::cout << text << std::endl; });
    }

    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> stop{false};
    std::thread runner([&] { sim.Run(stop); });
    std::vector<bool> silenced(silences.size(), false);
    while (!stopRequested) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (duration > 0 && elapsed >= duration) break;
        if (options.maxReports && sim.ReportsSent() >= options.maxReports) break;
        for (std::size_t i = 0; i < silences.size(); ++i) {
            if (!silenced[i] && elapsed >= silences[i].first) {
                silenced[i] = true;
                sim.InjectSilence(silences[i].second);
                if (!quiet) std::cout << "silent for " << silences[i].second << " ms" << std::endl;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    runner.join();
    if (!quiet) {
        std::cout << sim.ReportsSent() << " reports sent, " << sim.PollsAnswered()
                  << " polls answered\n";
    }
    return 0;
}
