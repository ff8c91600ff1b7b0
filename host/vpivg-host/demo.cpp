// vpivg-host demo: the whole chain without hardware. A pseudo-terminal pair stands in for the
// cable: the simulator talks on the master side, the driver opens the slave as "COM1" through
// a private device folder.
#include "host.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

namespace vpihost {

HostConfig DemoSettings() {
    HostConfig config;
    config.scanPeriodMs = 1000;
    config.pollPeriodMs = 9000;
    config.recoveryAfter = 2;
    config.duration = 30;
    return config;
}

}  // namespace vpihost

#if defined(_WIN32)

namespace vpihost {

int RunDemo(const HostConfig&, std::atomic<bool>&, std::ostream&, std::ostream& err) {
    err << "vpivg-host demo needs a pseudo-terminal pair, which Windows does not have.\n"
           "Map two COM ports to a null-modem pair (e.g. socat under Wine), then run\n"
           "vpivg-sim --port COM2 on one and vpivg-host --port COM1 on the other.\n";
    return 2;
}

}  // namespace vpihost

#else

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "simcore.hpp"
#include "stop_signal.hpp"

namespace vpihost {

namespace {

// Any key ends the demo early when stdin is a terminal. The terminal's state is also kept
// where an end at once (a second Ctrl-C, a stop in the driver's start pause) puts it back.
class KeyWatch {
public:
    KeyWatch() {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        vpitools::SaveTerminalState();
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        if (!active_) vpitools::ForgetTerminalState();
    }
    ~KeyWatch() {
        if (!active_) return;
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        vpitools::ForgetTerminalState();
    }
    bool Pressed() {
        if (!active_) return false;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return false;
        char c;
        return read(STDIN_FILENO, &c, 1) == 1;
    }

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

int RunDemo(const HostConfig& settings, std::atomic<bool>& stop, std::ostream& out,
            std::ostream& err) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        err << "vpivg-host demo: cannot create a pseudo-terminal pair: " << std::strerror(errno) << "\n";
        return 1;
    }
    // Raw on both sides from the start: reports written before the driver opens the line must
    // not be cooked (CR to LF) by the line discipline.
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    char pattern[] = "/tmp/vpivg-demo-XXXXXX";
    if (!mkdtemp(pattern)) {
        err << "vpivg-host demo: cannot create a temporary folder: " << std::strerror(errno) << "\n";
        close(master);
        close(slave);
        return 1;
    }
    std::filesystem::path folder = pattern;
    std::error_code error;
    std::filesystem::create_symlink(ttyname(slave), folder / "com1", error);
    if (error) {
        err << "vpivg-host demo: cannot link " << (folder / "com1").string() << ": " << error.message() << "\n";
        close(master);
        close(slave);
        std::filesystem::remove_all(folder, error);
        return 1;
    }
    setenv("VPIVG_DEVICE_DIR", folder.c_str(), 1);

    // The settings given, with the demo's line. The demo works in a folder of its own: paths
    // given relative to the folder it was started in are made whole first. A bare library name
    // is left to the system's library search, which does not depend on the folder.
    HostConfig config = settings;
    for (std::string* path : {&config.csv, &config.log}) {
        if (!path->empty()) *path = std::filesystem::absolute(*path).string();
    }
    if (std::filesystem::path driver(config.driver); driver.has_parent_path() && driver.is_relative()) {
        config.driver = std::filesystem::absolute(driver).string();
    }
    // The driver reads its init file from the working directory; keep the demo's out of the
    // user's folder.
    auto previousFolder = std::filesystem::current_path(error);
    std::filesystem::current_path(folder, error);

    VpiConfig vpi;
    vpi.number = 1;
    vpi.port = "COM1";
    vpi.driverPort = "COM1";
    vpi.statusWait = 100;
    vpi.streams = {1, 2, 3};
    for (int p = 1; p <= 12; ++p) vpi.params.push_back(p);
    config.vpis.push_back(vpi);

    auto line = vpisim::MakeDescriptorLine(master);
    vpisim::SimOptions simOptions;
    simOptions.streams = {1, 2, 3};
    simOptions.lastParameter = 12;
    simOptions.intervalMs = 400;
    simOptions.seed = static_cast<std::uint32_t>(std::time(nullptr));
    vpisim::Simulator sim(*line, simOptions);

    Host host(config, out, err);
    sim.SetEventHook([&host](const std::string& text) {
        if (text.rfind("poll", 0) == 0) host.Log("instrument: " + text);
    });

    KeyWatch keys;
    bool silenced = false;
    RunHooks hooks;
    hooks.started = [&] {
        sim.Start();
        host.Log("demo: instrument on the far end of COM1, 3 streams, a report every 0.4 s");
        host.Log("demo: the driver reads the line 4 s after its start");
    };
    hooks.tick = [&](double elapsed) {
        if (!silenced && elapsed >= 12) {
            silenced = true;
            sim.InjectSilence(6000);
            host.Log("demo: the instrument falls silent for 6 s");
        }
        if (keys.Pressed()) stop = true;
    };
    hooks.stopping = [&] {
        // The instrument goes quiet first and the driver gets a moment to take the last report
        // off the line, so the counts below compare like with like: a report still on its way
        // when the VPIs stop would never be read.
        sim.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    };
    int result = host.Run(stop, hooks);
    sim.Stop();  // already stopped unless the run ended early
    out << "demo: " << sim.ReportsSent() << " reports sent, " << sim.PollsAnswered()
        << " polls answered, " << host.Counters(1).packets << " reports reached the gates\n";

    std::filesystem::current_path(previousFolder, error);
    std::filesystem::remove_all(folder, error);
    close(master);
    close(slave);
    if (host.ThreadsLeftRunning()) {
        // Stopped in the driver's start pause: its thread may wake during the destructors of
        // a normal exit and find the host runtime gone. The key watch is still on: the
        // terminal is put back on the way out.
        out.flush();
        err.flush();
        vpitools::NoteStopFinished();
        vpitools::ExitNow(result);
    }
    return result;
}

}  // namespace vpihost

#endif
