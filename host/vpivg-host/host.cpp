#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif
#include "host.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <iostream>
#include <sstream>
#include <thread>

#include "control.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace vpihost {

namespace {

using Clock = std::chrono::steady_clock;

// Start-up grace: the driver's thread pauses 4 s before it reads the line, so a silent
// "!STATUS" in the first seconds says nothing about the line.
constexpr auto kStartGrace = std::chrono::seconds(5);
constexpr int kMaxBackoffS = 30;
constexpr std::size_t kLogLinesKept = 8;

std::string TimeOfDay() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &t);
#else
    localtime_r(&t, &local);
#endif
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

int TerminalWidth() {
#if !defined(_WIN32)
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
#endif
    return 100;
}

const char* const kCp437High[128] = {
    "Ç", "ü", "é", "â", "ä", "à", "å", "ç", "ê", "ë", "è", "ï", "î", "ì", "Ä", "Å",
    "É", "æ", "Æ", "ô", "ö", "ò", "û", "ù", "ÿ", "Ö", "Ü", "¢", "£", "¥", "₧", "ƒ",
    "á", "í", "ó", "ú", "ñ", "Ñ", "ª", "º", "¿", "⌐", "¬", "½", "¼", "¡", "«", "»",
    "░", "▒", "▓", "│", "┤", "╡", "╢", "╖", "╕", "╣", "║", "╗", "╝", "╜", "╛", "┐",
    "└", "┴", "┬", "├", "─", "┼", "╞", "╟", "╚", "╔", "╩", "╦", "╠", "═", "╬", "╧",
    "╨", "╤", "╥", "╙", "╘", "╒", "╓", "╫", "╪", "┘", "┌", "█", "▄", "▌", "▐", "▀",
    "α", "ß", "Γ", "π", "Σ", "σ", "µ", "τ", "Φ", "Θ", "Ω", "δ", "∞", "φ", "ε", "∩",
    "≡", "±", "≥", "≤", "⌠", "⌡", "÷", "≈", "°", "∙", "·", "√", "ⁿ", "²", "■", "\xc2\xa0",
};

}  // namespace

std::string ProgramFolder() {
#if defined(_WIN32)
    char path[1024];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return "";
    return std::filesystem::path(std::string(path, n)).parent_path().string();
#else
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? "" : self.parent_path().string();
#endif
}

VpiMainFunction LoadDriver(const std::string& path, std::string* why) {
#if defined(_WIN32)
    std::string file = path.empty() ? DefaultDriverPath() : path;
    HMODULE module = LoadLibraryA(file.c_str());
    if (!module) {
        *why = "cannot load " + file + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    FARPROC entry = GetProcAddress(module, "VpiMain");
    if (!entry) entry = GetProcAddress(module, "_VpiMain@4");
    if (!entry) {
        *why = file + " exports no VpiMain";
        return nullptr;
    }
    return reinterpret_cast<VpiMainFunction>(reinterpret_cast<void*>(entry));
#else
    std::string file = path.empty() ? DefaultDriverPath() : path;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* text = dlerror();
        *why = "cannot load " + file + ": " + (text ? text : "unknown error");
        return nullptr;
    }
    void* entry = dlsym(library, "VpiMain");
    if (!entry) {
        *why = file + " exports no VpiMain";
        return nullptr;
    }
    return reinterpret_cast<VpiMainFunction>(entry);
#endif
}

std::string Cp437ToUtf8(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) out += static_cast<char>(c);
        else out += kCp437High[c - 0x80];
    }
    return out;
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

bool TextIsUtf8() {
    // A Windows console shows the banner's code page 437 as it is; everywhere else text is
    // UTF-8, on a terminal, in a pipe or in a log file alike.
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

std::string IsoTimestamp(std::chrono::system_clock::time_point when) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

std::string FormatGateValue(double value, int gateType) {
    char text[64];
    if (gateType != GateTypeReal && std::isfinite(value) && value == std::trunc(value) &&
        std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    // The driver writes reals as widened floats; the float's shortest text is what the
    // instrument printed.
    float single = static_cast<float>(value);
    if (static_cast<double>(single) == value) {
        auto result = std::to_chars(text, text + sizeof text, single);
        return std::string(text, result.ptr);
    }
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// ---------------------------------------------------------------------------------------------

Host::Host(HostConfig config, HostOptions options, std::ostream& out)
    : config_(std::move(config)), options_(std::move(options)), out_(out) {
    ansi_ = !options_.plain && StdoutIsTerminal() && &out_ == &std::cout;
    utf8_ = TextIsUtf8();
}

Host::~Host() {
    zelpro::SetGateWriteHook({});
    zelpro::SetLogSink({});
}

std::int32_t Host::Call(Vpi* vpi, VpiCommand command, void* args) {
    VpiRequest request{};
    request.instance = vpi ? vpi->block : nullptr;
    request.command = command;
    request.vpiNumber = vpi ? vpi->config.number : 0;
    request.args = args;
    return vpiMain_(&request);
}

void Host::Emit(const std::string& line) {
    std::lock_guard lock(mutex_);
    logLines_.push_back(line);
    while (logLines_.size() > kLogLinesKept) logLines_.pop_front();
    if (!ansi_) pendingPlain_.push_back(line);
}

void Host::Log(const std::string& text) { Emit(TimeOfDay() + " host: " + text); }

void Host::OnDriverLog(int level, const std::string& text) {
    if (text.empty()) return;  // the dump's framing blank lines
    Emit(TimeOfDay() + " [" + std::to_string(level) + "] " + text);
}

void Host::OnGateWrite(std::uint32_t id, double value) {
    auto now = Clock::now();
    std::lock_guard lock(mutex_);
    auto ref = gateRefs_.find(id);
    if (ref == gateRefs_.end()) return;
    Vpi& vpi = vpis_[ref->second.vpi];
    // P04 carries the stream number, never 0: a 0 there is the driver's reset, not a report.
    if (ref->second.streamGate && value != 0) {
        vpi.packets++;
        vpi.lastReport = now;
        vpi.anyReport = true;
    }
    auto last = lastWritten_.find(id);
    if (last != lastWritten_.end() && last->second == value) return;
    lastWritten_[id] = value;
    if (csv_.is_open()) {
        const BoundGate& gate = vpi.gates[ref->second.gate];
        csv_ << IsoTimestamp(std::chrono::system_clock::now()) << ',' << vpi.config.number << ','
             << gate.address << ',' << FormatGateValue(value, gate.type) << '\n';
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
            Log("VPI " + std::to_string(c.number) + ": no memory for its block");
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
        vpi.portFailed = true;
        Log("VPI " + std::to_string(c.number) + ": port " + c.port + " cannot be opened");
        return false;
    }
    vpi.portFailed = false;
    vpi.started = true;
    return true;
}

void Host::BindGates(Vpi& vpi) {
    auto bind = [&](const std::string& address, int type, std::uint32_t* idOut) {
        auto id = zelpro::AddGate(static_cast<unsigned>(vpi.config.number), address, type);
        if (!id) {
            Log("VPI " + std::to_string(vpi.config.number) + ": the database refuses gate " + address);
            return false;
        }
        GateParseArgs args{};
        args.address = address.c_str();
        args.gateId = static_cast<std::int32_t>(*id);
        args.gateType = type;
        *idOut = *id;
        if (Call(&vpi, CmdParseAddress, &args) != 0) {
            Log("VPI " + std::to_string(vpi.config.number) + ": the driver refuses gate " + address);
            return false;
        }
        return true;
    };
    for (int stream : vpi.config.streams) {
        for (int param : vpi.config.params) {
            char address[16];
            std::snprintf(address, sizeof address, "I%02dP%02d", stream, param);
            BoundGate gate;
            gate.address = address;
            gate.type = param <= 4 ? GateTypeInteger : GateTypeReal;
            gate.stream = stream;
            gate.param = param;
            gate.accepted = bind(gate.address, gate.type, &gate.id);
            vpi.gates.push_back(gate);
        }
    }
    std::uint32_t id = 0;
    vpi.statusBound = bind(vpi.statusAddress, GateTypeDigital, &id);
    vpi.pollBound = bind(vpi.pollAddress, GateTypeDigital, &id);
}

void Host::ScanVpi(Vpi& vpi) {
    if (!vpi.started) {
        // The port could not be opened at start: nothing of this VPI exists in the driver yet,
        // so a fresh start is the retry.
        if (vpi.portFailed && config_.recovery && Clock::now() >= vpi.nextRecovery) {
            vpi.tries++;
            Log("VPI " + std::to_string(vpi.config.number) + ": retrying the start on " +
                vpi.config.port + " (try " + std::to_string(vpi.tries) + ")");
            vpi.nextRecovery = Clock::now() + std::chrono::seconds(vpi.backoffS);
            vpi.backoffS = std::min(vpi.backoffS * 2, kMaxBackoffS);
        }
        return;
    }
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
        if (!gate.accepted) continue;
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
    if (!changed.empty() && !ansi_) PrintPlainChanges(vpi, changed);

    if (link >= 0) {
        int before;
        {
            std::lock_guard lock(mutex_);
            before = vpi.link;
            vpi.link = link;
        }
        if (before != link && !(before == -1 && link == 1)) {
            Log("VPI " + std::to_string(vpi.config.number) + ": link " + (link ? "up" : "DOWN (!STATUS reads 0)"));
        }
        Recover(vpi, link == 1);
    }
}

void Host::Recover(Vpi& vpi, bool statusOk) {
    auto now = Clock::now();
    if (statusOk) {
        if (vpi.tries > 0) {
            Log("VPI " + std::to_string(vpi.config.number) + ": reports again after " +
                std::to_string(vpi.tries) + " recovery " + (vpi.tries == 1 ? "try" : "tries"));
        }
        vpi.failedScans = 0;
        vpi.backoffS = 1;
        {
            std::lock_guard lock(mutex_);
            vpi.tries = 0;
        }
        return;
    }
    if (now - vpi.startedAt < kStartGrace) return;
    vpi.failedScans++;
    if (!config_.recovery || vpi.failedScans < config_.recoveryAfter || now < vpi.nextRecovery) return;
    std::int32_t closed = Call(&vpi, CmdClosePort, nullptr);
    std::int32_t opened = Call(&vpi, CmdOpenPort, nullptr);
    std::uint64_t tries;
    {
        std::lock_guard lock(mutex_);
        tries = ++vpi.tries;
    }
    Log("VPI " + std::to_string(vpi.config.number) + ": silent for " +
        std::to_string(vpi.failedScans) + " scans, reopened " + vpi.config.port + " (try " +
        std::to_string(tries) + ", close " + (closed == 0 ? "ok" : "failed") + ", open " +
        (opened == 0 ? "ok" : "failed") + "); next try in " + std::to_string(vpi.backoffS) + " s");
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
    Log("VPI " + std::to_string(vpi.config.number) + ": poll sent");
}

void Host::PrintPlainChanges(Vpi& vpi, const std::vector<std::size_t>& changed) {
    std::string stamp = TimeOfDay();
    std::map<int, std::string> byStream;
    for (std::size_t i : changed) {
        const BoundGate& g = vpi.gates[i];
        std::string& line = byStream[g.stream];
        char tag[8];
        std::snprintf(tag, sizeof tag, " P%02d=", g.param);
        line += tag + FormatGateValue(g.value, g.type);
    }
    std::lock_guard lock(mutex_);
    for (const auto& [stream, values] : byStream) {
        char head[48];
        std::snprintf(head, sizeof head, " VPI %d I%02d:", vpi.config.number, stream);
        std::string text = stamp;
        text.append(head).append(values);
        pendingPlain_.push_back(std::move(text));
    }
}

void Host::Draw(bool final) {
    std::ostringstream screen;
    int width = TerminalWidth();
    auto now = Clock::now();
    screen << "\x1b[H";
    std::string banner = utf8_ ? Cp437ToUtf8(banner_) : banner_;
    std::istringstream lines(banner);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) screen << line << "\x1b[K\n";
    }
    double elapsed = std::chrono::duration<double>(now - runStart_).count();
    char head[256];
    std::snprintf(head, sizeof head,
                  "vpivg-host  driver \"%s\"  scan %d ms  poll %s  recovery %s  running %.0f s%s",
                  driverName_.c_str(), config_.scanPeriodMs,
                  config_.pollPeriodMs ? (std::to_string(config_.pollPeriodMs) + " ms").c_str() : "off",
                  config_.recovery ? "on" : "off", elapsed, final ? "  (stopping)" : "  (Ctrl-C stops)");
    screen << head << "\x1b[K\n";
    std::vector<std::string> log;
    {
        std::lock_guard lock(mutex_);
        for (const Vpi& vpi : vpis_) {
            std::string state = !vpi.started ? (vpi.portFailed ? "\x1b[31mPORT FAILED\x1b[0m" : "not started")
                                : vpi.link == 1 ? "\x1b[32mUP\x1b[0m"
                                : vpi.link == 0 ? "\x1b[31mDOWN\x1b[0m"
                                                : "waiting";
            char age[32] = "none yet";
            if (vpi.anyReport) {
                std::snprintf(age, sizeof age, "%.1f s ago",
                              std::chrono::duration<double>(now - vpi.lastReport).count());
            }
            char text[256];
            std::snprintf(text, sizeof text,
                          "\x1b[1mVPI %d\x1b[0m  %s  link %s  packets %llu  last report %s  polls %llu%s",
                          vpi.config.number, vpi.config.port.c_str(), state.c_str(),
                          static_cast<unsigned long long>(vpi.packets), age,
                          static_cast<unsigned long long>(vpi.polls),
                          vpi.tries ? ("  recovery tries " + std::to_string(vpi.tries)).c_str() : "");
            screen << "\x1b[K\n" << text << "\x1b[K\n";
            int currentStream = -1;
            std::string row;
            auto flush = [&] {
                if (!row.empty()) screen << row << "\x1b[K\n";
                row.clear();
            };
            for (const BoundGate& g : vpi.gates) {
                if (g.stream != currentStream) {
                    flush();
                    currentStream = g.stream;
                    char s[16];
                    std::snprintf(s, sizeof s, "  I%02d ", g.stream);
                    row = s;
                }
                char cell[64];
                std::string v = !g.accepted ? "refused" : g.haveValue ? FormatGateValue(g.value, g.type) : "-";
                std::snprintf(cell, sizeof cell, " P%02d=%-9s", g.param, v.c_str());
                if (static_cast<int>(row.size() + std::strlen(cell)) > width - 1) {
                    flush();
                    row = "      ";
                }
                row += cell;
            }
            flush();
        }
        log.assign(logLines_.begin(), logLines_.end());
    }
    screen << "\x1b[K\n\x1b[2m-- log" << (options_.trace ? " (with trace)" : "") << " --\x1b[0m\x1b[K\n";
    for (const std::string& l : log) {
        std::string shown = l.size() > static_cast<std::size_t>(width - 1) ? l.substr(0, width - 1) : l;
        screen << shown << "\x1b[K\n";
    }
    screen << "\x1b[J";
    out_ << screen.str() << std::flush;
}

void Host::StopAll() {
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
    auto deadline = Clock::now() + std::chrono::seconds(6);
    for (Vpi& vpi : vpis_) {
        while (vpi.started && zelpro::FindClient(vpi.clientName) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    for (Vpi& vpi : vpis_) {
        if (vpi.block) Call(&vpi, CmdClose, nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (std::size_t i = 0; i < vpis_.size(); ++i) {
        Vpi& vpi = vpis_[i];
        bool done = !vpi.started || (stopped[i] && !zelpro::FindClient(vpi.clientName));
        if (!done) {
            // A thread that never ended may still use the block: leave it allocated.
            Log("VPI " + std::to_string(vpi.config.number) + ": the driver's thread did not end");
            continue;
        }
        std::free(vpi.block);
        vpi.block = nullptr;
    }
}

int Host::Run(std::atomic<bool>& stop, const RunHooks& hooks) {
    runStart_ = Clock::now();
    zelpro::SetLogSink([this](int level, const std::string& text) { OnDriverLog(level, text); });
    zelpro::ShowTrace(options_.trace);
    zelpro::SetTickMilliseconds(static_cast<unsigned>(config_.tickMs));

    auto flushPlain = [this] {
        std::vector<std::string> lines;
        {
            std::lock_guard lock(mutex_);
            lines.swap(pendingPlain_);
            if (csv_.is_open()) csv_.flush();
        }
        for (const std::string& l : lines) out_ << l << '\n';
        if (!lines.empty()) out_.flush();
    };

    std::string why;
    vpiMain_ = LoadDriver(options_.driverPath, &why);
    if (!vpiMain_) {
        out_ << "vpivg-host: " << why << "\n";
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
    if (!ansi_) {
        out_ << (utf8_ ? Cp437ToUtf8(banner_) : banner_) << "driver \"" << driverName_ << "\", "
             << info.instanceSize << " bytes per VPI\n";
    } else {
        out_ << "\x1b[2J\x1b[?25l";
    }

    if (!options_.csvPath.empty()) {
        csv_.open(options_.csvPath, std::ios::out | std::ios::trunc);
        if (!csv_) {
            out_ << "vpivg-host: cannot write " << options_.csvPath << "\n";
            if (ansi_) out_ << "\x1b[?25h";
            return 1;
        }
        csv_ << "time,vpi,address,value\n";
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
    // Init files go where the driver looks for them: the working directory. A plant's own file
    // is never overwritten.
    for (Vpi& vpi : vpis_) {
        if (!vpi.config.statusWait) continue;
        char file[32];
        std::snprintf(file, sizeof file, "vpiVG%.2d.int", vpi.config.number);
        std::error_code error;
        if (std::filesystem::exists(file, error)) {
            Log(std::string(file) + " exists; kept as it is (status_wait not written)");
            continue;
        }
        std::ofstream init(file);
        init << "TIME=" << *vpi.config.statusWait << "\n";
        if (!init) Log(std::string("cannot write ") + file);
    }

    bool anyStarted = false;
    for (Vpi& vpi : vpis_) {
        if (StartVpi(vpi, info)) {
            BindGates(vpi);
            anyStarted = true;
        }
    }
    for (std::size_t v = 0; v < vpis_.size(); ++v) {
        for (std::size_t g = 0; g < vpis_[v].gates.size(); ++g) {
            const BoundGate& gate = vpis_[v].gates[g];
            if (gate.accepted) gateRefs_[gate.id] = GateRef{v, g, gate.param == 4};
        }
    }
    zelpro::SetGateWriteHook([this](std::uint32_t id, double value) { OnGateWrite(id, value); });
    if (!anyStarted && !config_.recovery) {
        Log("no VPI could be started");
    }
    if (hooks.started) hooks.started();

    auto nextScan = Clock::now();
    auto nextPoll = Clock::now() + std::chrono::milliseconds(config_.pollPeriodMs);
    auto nextDraw = Clock::now();
    int exitCode = (anyStarted || config_.recovery) ? 0 : 1;
    while (!stop && exitCode == 0) {
        auto now = Clock::now();
        double elapsed = std::chrono::duration<double>(now - runStart_).count();
        if (options_.durationS > 0 && elapsed >= options_.durationS) break;
        if (now >= nextScan) {
            for (Vpi& vpi : vpis_) {
                if (!vpi.started && vpi.portFailed && config_.recovery && now >= vpi.nextRecovery) {
                    ScanVpi(vpi);  // logs the try and moves the back-off on
                    if (StartVpi(vpi, info)) {
                        BindGates(vpi);
                        std::size_t index = static_cast<std::size_t>(&vpi - vpis_.data());
                        std::lock_guard lock(mutex_);
                        for (std::size_t g = 0; g < vpi.gates.size(); ++g) {
                            if (vpi.gates[g].accepted) gateRefs_[vpi.gates[g].id] = GateRef{index, g, vpi.gates[g].param == 4};
                        }
                    }
                    continue;
                }
                ScanVpi(vpi);
            }
            nextScan += std::chrono::milliseconds(config_.scanPeriodMs);
            if (nextScan < Clock::now()) nextScan = Clock::now() + std::chrono::milliseconds(config_.scanPeriodMs);
        }
        if (config_.pollPeriodMs > 0 && Clock::now() >= nextPoll) {
            for (Vpi& vpi : vpis_) PollVpi(vpi);
            nextPoll = Clock::now() + std::chrono::milliseconds(config_.pollPeriodMs);
        }
        if (hooks.tick) hooks.tick(elapsed);
        if (ansi_ && Clock::now() >= nextDraw) {
            Draw(false);
            nextDraw = Clock::now() + std::chrono::milliseconds(250);
        }
        flushPlain();
        auto wake = std::min(nextScan, Clock::now() + std::chrono::milliseconds(50));
        if (config_.pollPeriodMs > 0) wake = std::min(wake, nextPoll);
        std::this_thread::sleep_until(wake);
    }

    if (hooks.stopping) hooks.stopping();
    Log("stopping");
    if (ansi_) Draw(true);
    StopAll();
    zelpro::SetGateWriteHook({});
    Log("stopped");
    if (ansi_) {
        Draw(true);
        out_ << "\x1b[?25h" << std::flush;
    }
    {
        std::lock_guard lock(mutex_);
        if (csv_.is_open()) csv_.close();
    }
    flushPlain();
    zelpro::SetLogSink({});
    return exitCode;
}

}  // namespace vpihost
