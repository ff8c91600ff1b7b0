// vpivg-host as a person runs it: exit statuses, what goes to standard error, Ctrl-C, long
// device paths, and the live view on an 80x24 terminal (read back through tmux).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "driverlib.hpp"
#include "host_testing.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using hosttest::FreshFolder;
using hosttest::ReadAll;

std::string Program() { return vpihost::ProgramFolder() + "/vpivg-host"; }

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
    double seconds = 0;
};

// Runs the program in `folder` with `args`; `environment` as NAME=value pairs. `during` is
// called with its process id while it runs (to send signals).
Outcome RunHost(const fs::path& folder, const std::vector<std::string>& args,
            const std::vector<std::string>& environment = {},
            const std::function<void(pid_t)>& during = {}) {
    Outcome outcome;
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(120);
        int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(121);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& e : environment) putenv(strdup(e.c_str()));
        std::vector<char*> argv{strdup(Program().c_str())};
        for (const std::string& a : args) argv.push_back(strdup(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(122);
    }
    if (during) during(pid);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = ReadAll(folder / "out.txt");
    outcome.err = ReadAll(folder / "err.txt");
    return outcome;
}

// A pseudo-terminal whose slave the host can open; the master stays with the test.
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        path = ttyname(slave);
    }
    ~Pty() {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

std::string Tmux(const std::string& socket, const std::string& command) {
    std::string line = "tmux -L " + socket + " " + command + " 2>&1";
    std::string out;
    if (FILE* pipe = popen(line.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

}  // namespace

// Nothing starts on a bad file: status 2, the place and the mistake on standard error.
TEST(HostProgram, BadConfigExitsWithTwoBeforeStartingAnything) {
    fs::path dir = FreshFolder("bad");
    std::ofstream(dir / "plant.toml") << "[[vpi]]\nvpi = 7\nport = \"COM1\"\nstatus-wait = 50\nstreams = 1\n"
                                         "params = \"1-5\"\nparity = \"odd-ish\"\n";
    Outcome run = RunHost(dir, {"--config", "plant.toml", "--plain"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("vpivg-host: plant.toml:7:10: parity = ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("expected \"none\", \"odd\""), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(dir / "vpiVG07.int"));
    fs::remove_all(dir);
}

// The check a service installer or the release check runs: the file read, nothing started.
TEST(HostProgram, CheckConfigReadsTheFileAndStartsNothing) {
    fs::path dir = FreshFolder("check");
    std::ofstream(dir / "plant.toml") << "[[vpi]]\nvpi = 7\nport = \"COM1\"\nstatus-wait = 50\nstreams = 1\n"
                                         "params = \"1-5\"\n[[vpi]]\nvpi = 8\nport = \"COM2\"\nstreams = 1\n"
                                         "params = \"1-5\"\n";
    Outcome run = RunHost(dir, {"--config", "plant.toml", "--check-config"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "vpivg-host: plant.toml: the settings hold (2 VPIs); nothing was started\n");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(fs::exists(dir / "vpiVG07.int")) << "the check started a VPI";

    std::ofstream(dir / "plant.toml", std::ios::app) << "parity = \"odd-ish\"\n";
    run = RunHost(dir, {"--config", "plant.toml", "--check-config"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.rfind("vpivg-host: plant.toml:12:10: parity = ", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");

    run = RunHost(dir, {"--check-config", "--port", "COM1"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--check-config checks a --config FILE"), std::string::npos) << run.err;
    fs::remove_all(dir);
}

TEST(HostProgram, RuntimeErrorsGoToStandardErrorWithStatusOne) {
    fs::path dir = FreshFolder("load");
    Outcome run = RunHost(dir, {"--port", "COM1", "--driver", (dir / "none.so").string(), "--plain"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load " + (dir / "none.so").string()), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("cannot load"), std::string::npos) << run.out;

    std::ofstream(dir / "values.csv") << "an earlier run\n";
    run = RunHost(dir, {"--port", "COM1", "--csv", "values.csv", "--plain"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("values.csv exists"), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(dir / "values.csv"), "an earlier run\n");
    fs::remove_all(dir);
}

TEST(HostProgram, ListPortsNamesThePortsAndStartsNothing) {
    fs::path dir = FreshFolder("list");
    Outcome run = RunHost(dir, {"--list-ports"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.find("VPIVG"), std::string::npos) << "no driver loaded:\n" << run.out;
    fs::remove_all(dir);
}

// A mistyped port: the resolved device and the reason, and a run that says it failed even
// with recovery retrying.
TEST(HostProgram, APortThatNeverOpensIsDiagnosedAndEndsTheRunWithStatusOne) {
    fs::path dir = FreshFolder("noport");
    Outcome run = RunHost(dir, {"--port", "COM7", "--duration", "2.5", "--plain"},
                      {"VPIVG_DEVICE_DIR=" + dir.string()});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("VPI 1: cannot open COM7 (" + (dir / "com7").string() + ")"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("VPI 1: COM7 never opened during the run"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("retrying the start"), std::string::npos) << run.out;
    fs::remove_all(dir);
}

// A device path longer than the driver's 11 characters is linked as COMn in a folder the host
// makes for the run, and removes afterwards.
TEST(HostProgram, ALongDevicePathIsLinkedAsAComPort) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    fs::path dir = FreshFolder("long");
    fs::path longName = dir / "usb-Instrument_Serial_Converter_A1B2C3-if00-port0";
    fs::create_symlink(pty.path, longName);
    Outcome run = RunHost(dir, {"--port", longName.string(), "--duration", "1.5", "--plain"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("VPI 1: " + longName.string() + " is linked as "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("the driver opens it as COM1"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
    fs::remove_all(dir);
}

// Ctrl-C in the driver's 4 s start pause still ends the program within two seconds; a second
// Ctrl-C ends it at once.
TEST(HostProgram, CtrlCEndsWithinTwoSecondsAndASecondOneAtOnce) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    fs::path dir = FreshFolder("stop");
    fs::create_symlink(pty.path, dir / "com1");
    const std::vector<std::string> env{"VPIVG_DEVICE_DIR=" + dir.string()};
    double signalledAt = 0;
    Outcome run = RunHost(dir, {"--port", "COM1", "--plain"}, env, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        kill(pid, SIGINT);
        signalledAt = 1.0;
    });
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_LT(run.seconds - signalledAt, 2.0) << run.out;

    Outcome twice = RunHost(dir, {"--port", "COM1", "--plain"}, env, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        kill(pid, SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(pid, SIGINT);
    });
    EXPECT_EQ(twice.status, 130);
    EXPECT_LT(twice.seconds, 1.5);
    fs::remove_all(dir);
}

// The live view at 80x24: redrawn in place (tmux keeps no scrollback), the gates, the status
// and the log pane on screen, nothing wider than the terminal; and again after a resize.
TEST(HostProgram, TheLiveViewFitsAnEightyByTwentyFourTerminal) {
    if (std::system("tmux -V > /dev/null 2>&1") != 0) FAIL() << "tmux is missing: scripts/setup.sh installs it";
    fs::path dir = FreshFolder("tmux");
    std::string socket = "vpivg-test-" + std::to_string(getpid());
    std::string command = "cd '" + dir.string() + "' && '" + Program() + "' demo --duration 12; sleep 30";
    Tmux(socket, "new-session -d -s view -x 80 -y 24 \"" + command + "\"");
    std::this_thread::sleep_for(std::chrono::seconds(7));
    std::string screen = Tmux(socket, "capture-pane -p -t view");
    std::string history = Tmux(socket, "display -p -t view '#{history_size}'");
    Tmux(socket, "resize-window -t view -x 100 -y 30");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::string resized = Tmux(socket, "capture-pane -p -t view");
    std::string historyAfter = Tmux(socket, "display -p -t view '#{history_size} #{window_width}x#{window_height}'");
    Tmux(socket, "kill-server");

    EXPECT_EQ(history, "0\n") << "the view scrolled:\n" << screen;
    EXPECT_NE(screen.find("VPI 1 COM1"), std::string::npos) << screen;
    EXPECT_NE(screen.find("I01 P01="), std::string::npos) << screen;
    EXPECT_NE(screen.find("I03"), std::string::npos) << screen;
    EXPECT_NE(screen.find("-- log --"), std::string::npos) << screen;
    // The log pane takes the rows left below it.
    std::string pane = screen.substr(std::min(screen.size(), screen.find("-- log --")));
    EXPECT_GE(std::count(pane.begin(), pane.end(), '\n'), 4) << pane;
    std::istringstream lines(screen);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_LT(line.size(), 80u * 3u) << line;  // bytes; box characters take three
    }
    EXPECT_LE(count, 24);
    EXPECT_EQ(historyAfter, "0 100x30\n") << resized;
    EXPECT_NE(resized.find("-- log --"), std::string::npos) << resized;
    fs::remove_all(dir);
}

TEST(HostProgram, PlainModeWritesTimedLinesWithoutEscapeCodes) {
    fs::path dir = FreshFolder("plain");
    Outcome run = RunHost(dir, {"demo", "--plain", "--duration", "6"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_NE(run.out.find(" VPI 1 I01: P01="), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" host: stopped"), std::string::npos) << run.out;
    fs::remove_all(dir);
}

#endif
