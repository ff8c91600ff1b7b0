#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif
#include "host.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "control.hpp"
#include "devicefolder.hpp"
#include "initfile.hpp"
#include "mqttsettings.hpp"
#include "mqttsink.hpp"
#include "portname.hpp"
#include "stop_signal.hpp"
#include "terminal.hpp"
#include "formatting.hpp"

namespace vpihost {

std::atomic<bool> terminalResized{false};

namespace {

std::atomic<bool> stdoutFailureReported{false};

using Clock = std::chrono::steady_clock;

// Start-up grace: the driver's thread pauses 4 s before it reads the line, so a silent
// "!STATUS" in the first seconds says nothing about the line.
constexpr auto kStartGrace = std::chrono::seconds(5);
constexpr int kMaxBackoffS = 30;
// How long the stop waits for the driver's threads. A thread ends at its next message wait and
// removes its client a second later; one still in its 4 s start pause is left to the process
// exit, so Ctrl-C always ends the program within two seconds.
constexpr auto kStopWait = std::chrono::milliseconds(1700);
constexpr auto kCsvFlushPeriod = std::chrono::milliseconds(250);

std::string VpiName(const VpiConfig& c) { return "VPI " + std::to_string(c.number); }

// Set while this thread is inside the host's own call of the driver. Gate writes made there are
// the driver's reset after a failed "!STATUS" (zeros into every gate), not a report.
thread_local bool insideHostCall = false;

}  // namespace

Host::Host(HostConfig config, std::ostream& out, std::ostream& err)
    : config_(std::move(config)),
      out_(out),
      err_(err),
      ansi_(!config_.plain && !config_.quiet && &out_ == &std::cout && StdoutIsTerminal() && EnableEscapeCodes()),
      utf8_(TextIsUtf8()),
      events_(!ansi_ && !config_.quiet) {}

Host::~Host() {
    zelpro::SetGateWriteHook({});
    zelpro::SetClientWaitHook({});
    zelpro::SetLogSink({});
}

std::int32_t Host::Call(Vpi* vpi, VpiCommand command, void* args) {
    VpiRequest request{};
    request.instance = vpi ? vpi->block : nullptr;
    request.command = command;
    request.vpiNumber = vpi ? vpi->config.number : 0;
    request.args = args;
    insideHostCall = true;
    std::int32_t result = vpiMain_(&request);
    insideHostCall = false;
    return result;
}

void Host::Log(const std::string& text) { events_.Host(text); }

void Host::Fail(const std::string& text) {
    failed_ = true;
    events_.Host(text);
    err_ << "vpivg-host: " << text << "\n" << std::flush;
}

bool StdoutFailureReported() { return stdoutFailureReported.load(); }

void Host::CheckOutput() {
    if (outputFailed_ || out_) return;
    const int error = errno;
    outputFailed_ = true;
    // Whoever read the output has gone (`| head`): nobody will see the run, so it ends in
    // order, its records complete. Any other failure (a full disk) leaves the run going.
    outputGone_ = error == EPIPE;
    if (&out_ == &std::cout) stdoutFailureReported = true;
    Fail(std::string("cannot write to standard output") +
         (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) +
         (outputGone_ ? "; stopping" : ""));
}

void Host::OnGateWrite(std::uint32_t id, double value) {
    auto now = Clock::now();
    std::optional<gateway::Report> ended;
    {
        std::lock_guard lock(mutex_);
        auto ref = gateRefs_.find(id);
        if (ref == gateRefs_.end()) return;
        Vpi& vpi = vpis_[ref->second.vpi];
        const BoundGate& gate = vpi.gates[ref->second.gate];
        if (!insideHostCall && !sinks_.empty()) {
            ended = reports_.OnWrite(vpi.config.number, gate.stream, gate.param, gate.shown, value, NowEpochMs());
        }
        // P04 carries the stream number, never 0: a 0 there is the driver's reset, not a report.
        // The host binds it for every stream, shown or not, so every report is counted.
        if (ref->second.streamGate && value != 0) {
            vpi.packets++;
            if (!vpi.anyReport) vpi.firstReport = now;
            vpi.lastReport = now;
            vpi.anyReport = true;
        }
        // A row is formatted only when there is a record to take it: at hundreds of reports a
        // second, its timestamp alone costs more than the rest of the write.
        if (gate.shown && csv_.Recording()) {
            auto [last, first] = lastWritten_.try_emplace(id, value);
            if (first || last->second != value) {
                last->second = value;
                csv_.Add(IsoTimestamp(std::chrono::system_clock::now()) + ',' +
                         std::to_string(vpi.config.number) + ',' + gate.address + ',' +
                         FormatGateValue(value, gate.type));
            }
        }
    }
    // Outside the lock: a sink must never hold up the host's own use of it.
    if (ended) Deliver(*ended);
}

void Host::OnClientWait() {
    if (sinks_.empty()) return;
    if (auto report = reports_.OnWait()) Deliver(*report);
}

void Host::Deliver(const gateway::Report& report) {
    for (const auto& sink : sinks_) sink->OnReport(report);
}

std::vector<gateway::Device> Host::Devices() const {
    std::vector<gateway::Device> devices;
    for (const VpiConfig& c : config_.vpis) {
        gateway::Device device;
        device.vpi = c.number;
        device.name = DeviceName(c);
        for (int stream : c.streams) {
            for (int param : c.params) device.gates.push_back(gateway::BoundGate{stream, param});
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

void Host::PollRequested() {
    for (const auto& sink : sinks_) {
        for (int number : sink->TakePolls()) {
            for (Vpi& vpi : vpis_) {
                if (vpi.config.number != number) continue;
                Log(VpiName(vpi.config) + ": poll asked for over MQTT");
                PollVpi(vpi);
            }
        }
    }
}

Host::VpiCounters Host::Counters(int vpiNumber) const {
    std::lock_guard lock(mutex_);
    VpiCounters c;
    for (const Vpi& vpi : vpis_) {
        if (vpi.config.number != vpiNumber) continue;
        c.packets = vpi.packets;
        c.recoveryTries = vpi.tries;
        c.polls = vpi.polls;
        c.link = vpi.link;
    }
    return c;
}

bool Host::StartVpi(Vpi& vpi, const DriverInfo& info) {
    const VpiConfig& c = vpi.config;
    if (!vpi.block) {
        std::size_t size = std::max<std::size_t>(info.instanceSize, VPI_INSTANCE_SIZE);
        // Zero-filled, as the driver requires of a new block (threadEnded must not read 1).
        vpi.block = static_cast<VpiInstance*>(std::calloc(1, size));
        if (!vpi.block) {
            Log(VpiName(c) + ": no memory for its block");
            return false;
        }
    }
    StartArgs args{};
    std::snprintf(args.name, sizeof args.name, "%s", c.driverPort.c_str());
    args.portEnabled = 1;
    args.readTimeout = c.readTimeout;
    args.line.baud = static_cast<std::uint16_t>(c.baud.value_or(info.defaultLine.baud));
    args.line.dataBits = static_cast<std::uint16_t>(c.dataBits.value_or(info.defaultLine.dataBits));
    args.line.stopBits = static_cast<std::uint16_t>(c.stopBits.value_or(info.defaultLine.stopBits));
    args.line.parity = static_cast<std::uint16_t>(c.parity.value_or(info.defaultLine.parity));
    std::int32_t result = Call(&vpi, CmdStart, &args);
    vpi.startedAt = Clock::now();
    if (result == 2) {
        bool first = !vpi.portFailed && vpi.tries == 0;
        vpi.portFailed = true;
        if (first) {
            // The driver says only that the open failed; the host looks at the port itself.
            std::string text = VpiName(c) + ": cannot open " + DiagnoseVpiPort(c.port, c.driverPort);
            if (c.driverPort != c.port) text += " (given to the driver as " + c.driverPort + ")";
            if (config_.recovery) text += "; retrying with back-off, the run ends with status 1 unless it opens";
            Log(text);
            err_ << "vpivg-host: " << text << "\n" << std::flush;
        }
        return false;
    }
    vpi.portFailed = false;
    vpi.started = true;
    vpi.everOpened = true;
    return true;
}

void Host::BindGates(Vpi& vpi) {
    auto bind = [&](const std::string& address, int type, std::uint32_t* idOut, bool toDriver) {
        auto id = zelpro::AddGate(static_cast<unsigned>(vpi.config.number), address, type);
        if (!id) {
            Log(VpiName(vpi.config) + ": the database refuses gate " + address);
            return false;
        }
        *idOut = *id;
        if (!toDriver) return true;
        GateParseArgs args{};
        args.address = address.c_str();
        args.gateId = static_cast<std::int32_t>(*id);
        args.gateType = type;
        if (Call(&vpi, CmdParseAddress, &args) != 0) {
            Log(VpiName(vpi.config) + ": the driver refuses gate " + address);
            return false;
        }
        return true;
    };
    const bool showsStreamGate = std::count(vpi.config.params.begin(), vpi.config.params.end(), 4) > 0;
    for (int stream : vpi.config.streams) {
        for (int param : vpi.config.params) {
            char address[16];
            std::snprintf(address, sizeof address, "I%02dP%02d", stream, param);
            BoundGate gate;
            gate.address = address;
            gate.type = param <= 4 ? GateTypeInteger : GateTypeReal;
            gate.stream = stream;
            gate.param = param;
            gate.accepted = bind(gate.address, gate.type, &gate.id, true);
            vpi.gates.push_back(gate);
        }
        if (!showsStreamGate) {
            // Every report writes its stream number to P04: a gate there, in the database only,
            // lets the host count reports whatever params the plant shows.
            BoundGate gate;
            char address[16];
            std::snprintf(address, sizeof address, "I%02dP04", stream);
            gate.address = address;
            gate.type = GateTypeInteger;
            gate.stream = stream;
            gate.param = 4;
            gate.shown = false;
            gate.accepted = bind(gate.address, gate.type, &gate.id, false);
            vpi.gates.push_back(gate);
        }
    }
    std::uint32_t id = 0;
    vpi.statusBound = bind(vpi.statusAddress, GateTypeDigital, &id, true);
    vpi.pollBound = bind(vpi.pollAddress, GateTypeDigital, &id, true);
}

void Host::IndexGates(std::size_t index) {
    std::lock_guard lock(mutex_);
    const Vpi& vpi = vpis_[index];
    for (std::size_t g = 0; g < vpi.gates.size(); ++g) {
        const BoundGate& gate = vpi.gates[g];
        if (gate.accepted) gateRefs_[gate.id] = GateRef{index, g, gate.param == 4};
    }
}

void Host::ScanVpi(Vpi& vpi) {
    if (!vpi.started) return;
    GateValue value{};
    int link = -1;
    if (vpi.statusBound) {
        GateAccessArgs args{};
        args.address = vpi.statusAddress.c_str();
        args.gateType = GateTypeDigital;
        value.lowWord = 0;
        value.digitalState = 0xFFFF;
        args.valueArea = &value;
        Call(&vpi, CmdRead, &args);
        if (value.digitalState == 0 || value.digitalState == 1) link = value.digitalState;
    }
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < vpi.gates.size(); ++i) {
        BoundGate& gate = vpi.gates[i];
        if (!gate.accepted || !gate.shown) continue;
        GateAccessArgs args{};
        args.address = gate.address.c_str();
        args.gateType = gate.type;
        GateValue area{};
        args.valueArea = &area;
        if (Call(&vpi, CmdRead, &args) != 0) continue;
        std::uint32_t bits;
        static_assert(sizeof bits == sizeof area);
        std::memcpy(&bits, &area, sizeof bits);
        double now;
        if (gate.type == GateTypeReal) {
            float f;
            std::memcpy(&f, &bits, sizeof f);
            now = f;
        } else {
            now = static_cast<std::int32_t>(bits);
        }
        if (!gate.haveValue || now != gate.value) changed.push_back(i);
        gate.haveValue = true;
        gate.value = now;
    }
    if (!changed.empty() && !ansi_ && !config_.quiet) PrintPlainChanges(vpi, changed);

    if (link >= 0) {
        int before;
        {
            std::lock_guard lock(mutex_);
            before = vpi.link;
            vpi.link = link;
        }
        if (before != link) {
            for (const auto& sink : sinks_) sink->OnLink(vpi.config.number, link == 1, NowEpochMs());
        }
        if (before != link && !(before == -1 && link == 1)) {
            Log(VpiName(vpi.config) + ": link " + (link ? "up" : "DOWN (!STATUS reads 0)"));
            if (before == 1 && link == 0) AdviseOnFlapping(vpi);
        }
        Recover(vpi, link == 1);
    }
}

void Host::AdviseOnFlapping(Vpi& vpi) {
    // A "!STATUS" read sees a report that came since the last read, or one within the status
    // wait. Reports that come less often than a scan period apart leave some reads empty: the
    // link then flaps while the instrument is fine.
    std::uint64_t packets;
    double interval = 0;
    {
        std::lock_guard lock(mutex_);
        packets = vpi.packets;
        if (vpi.packets > 1) {
            interval = std::chrono::duration<double>(vpi.lastReport - vpi.firstReport).count() /
                       static_cast<double>(vpi.packets - 1);
        }
    }
    bool reportsFlow = packets > vpi.packetsAtLastDown;
    vpi.packetsAtLastDown = packets;
    if (!reportsFlow || vpi.advised) return;
    if (++vpi.flaps < 2) return;
    const int wait = vpi.statusWaitMs;
    double windowS = (config_.scanPeriodMs + wait) / 1000.0;
    if (interval <= 0 || interval < windowS * 0.8) return;
    vpi.advised = true;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%s: !STATUS flaps while reports arrive: the instrument reports every %.1f s, "
                  "but a status read covers only scan-period-ms (%d) plus status-wait (%d ms); "
                  "set scan-period-ms to at least %.0f, or have the instrument report more often",
                  VpiName(vpi.config).c_str(), interval, config_.scanPeriodMs, wait,
                  std::ceil(interval * 1000.0 / 100.0) * 100.0 + 100.0);
    Log(text);
}

void Host::Recover(Vpi& vpi, bool statusOk) {
    auto now = Clock::now();
    if (statusOk) {
        if (vpi.tries > 0) {
            Log(VpiName(vpi.config) + ": reports again after " + std::to_string(vpi.tries) + " recovery " +
                (vpi.tries == 1 ? "try" : "tries"));
        }
        vpi.failedScans = 0;
        vpi.backoffS = 1;
        std::lock_guard lock(mutex_);
        vpi.tries = 0;
        return;
    }
    if (now - vpi.startedAt < kStartGrace) return;
    vpi.failedScans++;
    if (!config_.recovery || vpi.failedScans < config_.recoveryAfter || now < vpi.nextRecovery) return;
    std::int32_t closed = Call(&vpi, CmdClosePort, nullptr);
    std::int32_t opened = Call(&vpi, CmdOpenPort, nullptr);
    // A reopened port reads with the open's own 1 s timeout until a warm start gives it the
    // VPI's read-timeout-ms again; without it a line set longer cuts its reports from here on.
    // The warm start also drops what waited on the line (nothing: it was silent) and has the
    // gates reset at the next read, which the failed "!STATUS" read has asked for already.
    if (opened == 0) Call(&vpi, CmdWarmStart, nullptr);
    std::uint64_t tries;
    {
        std::lock_guard lock(mutex_);
        tries = ++vpi.tries;
    }
    Log(VpiName(vpi.config) + ": silent for " + std::to_string(vpi.failedScans) + " scans, reopened " +
        vpi.config.port + " (try " + std::to_string(tries) + ", close " + (closed == 0 ? "ok" : "failed") +
        ", open " + (opened == 0 ? "ok" : "failed: " + DiagnoseVpiPort(vpi.config.port, vpi.config.driverPort)) + "); next try in " +
        std::to_string(vpi.backoffS) + " s");
    vpi.nextRecovery = now + std::chrono::seconds(vpi.backoffS);
    vpi.backoffS = std::min(vpi.backoffS * 2, kMaxBackoffS);
}

void Host::PollVpi(Vpi& vpi) {
    if (!vpi.started || !vpi.pollBound) return;
    GateValue value{};
    GateAccessArgs args{};
    args.address = vpi.pollAddress.c_str();
    args.gateType = GateTypeDigital;
    args.valueArea = &value;
    Call(&vpi, CmdRead, &args);
    {
        std::lock_guard lock(mutex_);
        vpi.polls++;
    }
    Log(VpiName(vpi.config) + ": poll sent");
}

void Host::PrintPlainChanges(Vpi& vpi, const std::vector<std::size_t>& changed) {
    std::string stamp = TimeOfDay(std::chrono::system_clock::now());
    std::map<int, std::string> byStream;
    for (std::size_t i : changed) {
        const BoundGate& g = vpi.gates[i];
        std::string& line = byStream[g.stream];
        char tag[8];
        std::snprintf(tag, sizeof tag, " P%02d=", g.param);
        line += tag + FormatGateValue(g.value, g.type);
    }
    for (const auto& [stream, values] : byStream) {
        char head[48];
        std::snprintf(head, sizeof head, " VPI %d I%02d:", vpi.config.number, stream);
        pendingPlain_.push_back(stamp + head + values);
    }
}

void Host::FlushOutputs() {
    std::vector<std::string> lines = events_.TakePlain();
    lines.insert(lines.end(), pendingPlain_.begin(), pendingPlain_.end());
    pendingPlain_.clear();
    errno = 0;
    for (const std::string& l : lines) out_ << l << '\n';
    if (!lines.empty()) out_.flush();
    CheckOutput();
    if (auto failure = events_.TakeFailure()) Fail(*failure);
    csv_.Flush();
    if (auto failure = csv_.TakeFailure()) Fail(*failure);
}

void Host::WriteInitFiles() {
    // Init files go where the driver looks for them: the working directory. Each VPI then knows
    // the wait its "!STATUS" reads will really have, whoever set it.
    for (Vpi& vpi : vpis_) {
        std::string why;
        const int number = vpi.config.number;
        const std::string file = InitFileName(number);
        if (!vpi.config.statusWait) {
            switch (RemoveInitFile("", number, &why)) {
                case InitFileRemoval::Removed:
                    Log(file + " removed: no status-wait set, the driver waits its default " +
                        std::to_string(kDriverStatusWaitMs) + " ms");
                    break;
                case InitFileRemoval::Foreign:
                    Log(file + " (not written by vpivg-host) sets the status wait to " +
                        std::to_string(StatusWaitFromFile("", number)) + " ms");
                    break;
                case InitFileRemoval::Absent:
                    break;
                case InitFileRemoval::Failed:
                    Fail(why);
                    break;
            }
            vpi.statusWaitMs = StatusWaitFromFile("", number);
            continue;
        }
        switch (WriteInitFile("", number, *vpi.config.statusWait, &why)) {
            case InitFileResult::Written:
                Log(file + ": TIME=" + std::to_string(*vpi.config.statusWait) + " written");
                break;
            case InitFileResult::Unchanged:
                break;
            case InitFileResult::Foreign:
                Log(file + " was not written by vpivg-host; kept as it is (status-wait " +
                    std::to_string(*vpi.config.statusWait) + " not applied)");
                break;
            case InitFileResult::Failed:
                Fail(why);
                break;
        }
        vpi.statusWaitMs = StatusWaitFromFile("", number);
    }
}

void Host::StopAll(bool quick) {
    // Release the ports first: nothing on the driver's own stop path closes them, and a host
    // that runs on must not keep a device locked.
    for (Vpi& vpi : vpis_) {
        if (vpi.started) Call(&vpi, CmdClosePort, nullptr);
    }
    // The host stops a VPI by stopping its client; the driver's thread then ends on its own.
    // The block is the driver's inside, so the host watches the client: the thread removes it a
    // second after it left its loop, as its last use of the block. A VPI whose client never
    // came into being gives no such sign.
    std::vector<bool> stopped(vpis_.size(), false);
    for (std::size_t i = 0; i < vpis_.size(); ++i) {
        if (!vpis_[i].started) continue;
        if (auto id = zelpro::FindClient(vpis_[i].clientName)) stopped[i] = zelpro::StopClient(*id);
    }
    auto deadline = Clock::now() + (quick ? kStopWait : std::chrono::milliseconds(6000));
    auto ended = [&](std::size_t i) {
        return !vpis_[i].started || (stopped[i] && !zelpro::FindClient(vpis_[i].clientName));
    };
    for (std::size_t i = 0; i < vpis_.size(); ++i) {
        while (!ended(i) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Only for a VPI whose thread has ended: the driver then answers every command at once, so
    // these closes cost nothing however many VPIs there are.
    for (std::size_t i = 0; i < vpis_.size(); ++i) {
        if (vpis_[i].block && ended(i)) Call(&vpis_[i], CmdClose, nullptr);
    }
    for (std::size_t i = 0; i < vpis_.size(); ++i) {
        Vpi& vpi = vpis_[i];
        if (!ended(i)) {
            // A thread still running may use the block: leave it allocated.
            threadsLeftRunning_ = true;
            Log(VpiName(vpi.config) + ": the driver's thread had not ended; it ends with the program");
            continue;
        }
        std::free(vpi.block);
        vpi.block = nullptr;
    }
}

int Host::Run(std::atomic<bool>& stop, const RunHooks& hooks) {
    runStart_ = Clock::now();
    zelpro::SetLogSink([this](int level, const std::string& text) { events_.Driver(level, text); });
    zelpro::ShowTrace(config_.trace);
    zelpro::SetTickMilliseconds(static_cast<unsigned>(config_.tickMs));

    std::string why;
    if (!config_.log.empty() && !events_.OpenFile(config_.log, config_.logSizeKb, &why)) {
        err_ << "vpivg-host: " << why << "\n";
        return 1;
    }
    if (!config_.mqtt.url.empty()) {
        // Files the settings name are read now, so a missing one stops the start here.
        auto sink = MakeMqttSink(config_.mqtt, Devices(), [this](const std::string& line) { Log(line); }, "", &why);
        if (!sink) {
            Log(why);
            err_ << "vpivg-host: " << why << "\n";
            return 1;
        }
        sinks_.push_back(std::move(sink));
    }
    vpiMain_ = LoadDriver(config_.driver, &why);
    if (!vpiMain_) {
        Log(why);
        err_ << "vpivg-host: " << why << "\n";
        return 1;
    }
    DriverInfo info{};
    Call(nullptr, CmdDescribe, &info);
    if (info.banner) banner_.assign(info.banner);
    if (info.name) driverName_ = info.name;
    if (info.instanceSize != VPI_INSTANCE_SIZE) {
        Log("the driver asks for " + std::to_string(info.instanceSize) + " bytes per VPI, this host knows " +
            std::to_string(VPI_INSTANCE_SIZE));
    }
    Log("driver \"" + driverName_ + "\" loaded");

    DeviceFolder devices;
    std::vector<std::string> notes;
    if (!devices.Prepare(config_.deviceDir, config_.vpis, &notes, &why)) {
        Fail(why);
        return 1;
    }
    for (const std::string& note : notes) Log(note);
    // The file could compare names only before device-dir applied and long paths were linked:
    // now COMn names the device the driver will open. A device admits one VPI; a second would
    // only ever find it busy.
    for (std::size_t i = 0; i < config_.vpis.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const VpiConfig& a = config_.vpis[i];
            const VpiConfig& b = config_.vpis[j];
            if (!SamePort(a.driverPort, b.driverPort)) continue;
            Fail(VpiName(a) + " uses port " + a.port + ", the device of " + VpiName(b) + "'s port " +
                 b.port + " (" + DeviceOf(a.driverPort) + "): give each VPI its own port");
            return 1;
        }
    }
    // Made only now that the run can start: a run that cannot leaves no empty record behind,
    // which the next run would refuse to replace.
    if (!config_.csv.empty() && !csv_.Open(config_.csv, config_.overwrite, &why)) {
        Fail(why);
        return 1;
    }

    if (!ansi_ && !config_.quiet) {
        out_ << (utf8_ ? Cp437ToUtf8(banner_) : banner_) << "driver \"" << driverName_ << "\", "
             << info.instanceSize << " bytes per VPI\n";
    } else if (ansi_) {
        out_ << "\x1b[2J\x1b[?25l";
        // An end at once (a second Ctrl-C) must not leave the terminal without its cursor.
        vpitools::ShowCursorOnExit(true);
    }

    vpis_.reserve(config_.vpis.size());
    for (const VpiConfig& c : config_.vpis) {
        Vpi vpi;
        vpi.config = c;
        char name[32];
        std::snprintf(name, sizeof name, "VG_No_%.2d", c.number);
        vpi.clientName = name;
        vpis_.push_back(std::move(vpi));
    }
    WriteInitFiles();

    for (std::size_t i = 0; i < vpis_.size(); ++i) {
        if (StartVpi(vpis_[i], info)) {
            BindGates(vpis_[i]);
            IndexGates(i);
        }
    }
    zelpro::SetGateWriteHook([this](std::uint32_t id, double value) { OnGateWrite(id, value); });
    zelpro::SetClientWaitHook([this](unsigned char) { OnClientWait(); });
    if (hooks.started) hooks.started();

    auto nextScan = Clock::now();
    auto nextPoll = Clock::now() + std::chrono::milliseconds(config_.pollPeriodMs);
    auto nextDraw = Clock::now();
    auto nextFlush = Clock::now();
    auto allFailed = [&] {
        return std::all_of(vpis_.begin(), vpis_.end(), [](const Vpi& v) { return !v.started; });
    };
    bool giveUp = allFailed() && !config_.recovery;
    if (giveUp) Fail("no VPI could be started");
    while (!stop && !giveUp && !outputGone_) {
        auto now = Clock::now();
        double elapsed = std::chrono::duration<double>(now - runStart_).count();
        if (config_.duration > 0 && elapsed >= config_.duration) break;
        if (now >= nextScan) {
            for (std::size_t i = 0; i < vpis_.size(); ++i) {
                // Each VPI's "!STATUS" read may wait its status wait, and a recovery drains the
                // line: a pass over many silent VPIs would hold a Ctrl-C for seconds.
                if (stop) break;
                Vpi& vpi = vpis_[i];
                if (!vpi.started && vpi.portFailed && config_.recovery && now >= vpi.nextRecovery) {
                    // Nothing of this VPI exists in the driver yet, so a fresh start is the retry.
                    {
                        std::lock_guard lock(mutex_);  // Counters() reads it from any thread
                        vpi.tries++;
                    }
                    Log(VpiName(vpi.config) + ": retrying the start on " + vpi.config.port + " (try " +
                        std::to_string(vpi.tries) + ")");
                    vpi.nextRecovery = now + std::chrono::seconds(vpi.backoffS);
                    vpi.backoffS = std::min(vpi.backoffS * 2, kMaxBackoffS);
                    if (StartVpi(vpi, info)) {
                        Log(VpiName(vpi.config) + ": " + vpi.config.port + " opened");
                        BindGates(vpi);
                        IndexGates(i);
                    }
                    continue;
                }
                ScanVpi(vpi);
            }
            nextScan += std::chrono::milliseconds(config_.scanPeriodMs);
            if (nextScan < Clock::now()) nextScan = Clock::now() + std::chrono::milliseconds(config_.scanPeriodMs);
        }
        PollRequested();
        if (config_.pollPeriodMs > 0 && Clock::now() >= nextPoll) {
            for (Vpi& vpi : vpis_) PollVpi(vpi);
            nextPoll = Clock::now() + std::chrono::milliseconds(config_.pollPeriodMs);
        }
        if (hooks.tick) hooks.tick(elapsed);
        if (ansi_ && (Clock::now() >= nextDraw || terminalResized.exchange(false))) {
            errno = 0;
            Draw(false);
            CheckOutput();
            nextDraw = Clock::now() + std::chrono::milliseconds(250);
        }
        if (Clock::now() >= nextFlush) {
            FlushOutputs();
            nextFlush = Clock::now() + kCsvFlushPeriod;
        }
        auto wake = std::min({nextScan, nextFlush, Clock::now() + std::chrono::milliseconds(50)});
        if (config_.pollPeriodMs > 0) wake = std::min(wake, nextPoll);
        std::this_thread::sleep_until(wake);
    }

    if (hooks.stopping) hooks.stopping();
    Log("stopping");
    if (ansi_) Draw(true);
    StopAll(stop.load());
    zelpro::SetGateWriteHook({});
    zelpro::SetClientWaitHook({});
    for (const auto& sink : sinks_) {
        sink->Stop();
        std::string summary = sink->StatusLine();
        if (!summary.empty()) Log(summary);
    }
    Log("stopped");
    if (ansi_) {
        Draw(true);
        out_ << "\r\n\x1b[?25h" << std::flush;
        vpitools::ShowCursorOnExit(false);
    }
    for (const Vpi& vpi : vpis_) {
        if (!vpi.everOpened) Fail(VpiName(vpi.config) + ": " + vpi.config.port + " never opened during the run");
    }
    csv_.Close();
    FlushOutputs();
    zelpro::SetLogSink({});
    events_.CloseFile();
    if (auto failure = events_.TakeFailure()) Fail(*failure);
    return failed_ ? 1 : 0;
}

}  // namespace vpihost
