// vpivg-host as a person runs it: exit statuses, what goes to standard error, Ctrl-C, long
// device paths, and the live view on an 80x24 terminal (read back through tmux).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "driverlib.hpp"
#include "host_testing.hpp"

namespace {
// The stop's bound is the plant's two seconds; the ThreadSanitizer build runs the same code
// several times slower, and is there for the races, not for the time.
#if defined(__SANITIZE_THREAD__)
constexpr double kStopBoundS = 6.0;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr double kStopBoundS = 6.0;
#else
constexpr double kStopBoundS = 2.0;
#endif
#else
constexpr double kStopBoundS = 2.0;
#endif
}  // namespace

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
// called with its process id while it runs (to send signals). Standard output goes to out.txt,
// or to `outFd` when one is given (a pipe).
Outcome RunHost(const fs::path& folder, const std::vector<std::string>& args,
            const std::vector<std::string>& environment = {},
            const std::function<void(pid_t)>& during = {}, int outFd = -1) {
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
        dup2(outFd >= 0 ? outFd : out, 1);
        dup2(err, 2);
        for (const std::string& e : environment) putenv(strdup(e.c_str()));
        std::vector<char*> argv{strdup(Program().c_str())};
        for (const std::string& a : args) argv.push_back(strdup(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(122);
    }
    if (outFd >= 0) close(outFd);  // the program holds the only writing end now
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

// `head -2` reading from a new pipe, its output in `file`; gives the pipe's writing end.
int PipeIntoHead(const fs::path& file, pid_t* head) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    *head = fork();
    if (*head == 0) {
        int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(ends[0], 0);
        dup2(out, 1);
        close(ends[0]);
        close(ends[1]);
        execlp("head", "head", "-2", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[0]);
    return ends[1];
}

// True while the process's main thread sits in a write() to its standard output.
bool BlockedWritingStdout(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    std::string number, descriptor;
    return static_cast<bool>(file >> number >> descriptor) && number == "1" &&
           descriptor == "0x1";
}

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

    // A run that cannot start makes no record, so the same command runs again once mended.
    for (int again = 0; again < 2; ++again) {
        Outcome failed = RunHost(dir, {"--port", "COM1", "--driver", (dir / "none.so").string(), "--csv",
                                       "x.csv", "--plain"});
        EXPECT_EQ(failed.status, 1);
        EXPECT_NE(failed.err.find("cannot load"), std::string::npos) << failed.err;
        EXPECT_EQ(failed.err.find("x.csv"), std::string::npos) << failed.err;
        EXPECT_FALSE(fs::exists(dir / "x.csv"));
    }

    std::ofstream(dir / "values.csv") << "an earlier run\n";
    run = RunHost(dir, {"--port", "COM1", "--csv", "values.csv", "--plain"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("values.csv exists"), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(dir / "values.csv"), "an earlier run\n");
    fs::remove_all(dir);
}

// The host's own init file follows status-wait, also when the setting goes; a plant's file
// stays as it is.
TEST(HostProgram, TheHostsInitFileGoesWithItsSetting) {
    fs::path dir = FreshFolder("initfile");
    const std::vector<std::string> env{"VPIVG_DEVICE_DIR=" + dir.string()};
    Outcome run = RunHost(dir, {"--port", "COM7", "--status-wait", "120", "--duration", "0.5", "--plain"}, env);
    std::string text = ReadAll(dir / "vpiVG01.int");
    ASSERT_EQ(text.rfind("TIME=120\n", 0), 0u) << text << run.out << run.err;

    run = RunHost(dir, {"--port", "COM7", "--duration", "0.5", "--plain"}, env);
    EXPECT_FALSE(fs::exists(dir / "vpiVG01.int")) << ReadAll(dir / "vpiVG01.int");
    EXPECT_NE(run.out.find("vpiVG01.int removed: no status-wait set, the driver waits its default 60 ms"),
              std::string::npos) << run.out;

    std::ofstream(dir / "vpiVG01.int", std::ios::binary) << "time = 90\n";
    run = RunHost(dir, {"--port", "COM7", "--duration", "0.5", "--plain"}, env);
    EXPECT_EQ(ReadAll(dir / "vpiVG01.int"), "time = 90\n");
    EXPECT_NE(run.out.find("vpiVG01.int (not written by vpivg-host) sets the status wait to 90 ms"),
              std::string::npos) << run.out;
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
    // The cursor is put back only on a terminal that had a live view; a file gets no escape code.
    EXPECT_EQ(twice.out.find('\x1b'), std::string::npos) << twice.out;
    fs::remove_all(dir);
}

// The live view at 80x24: redrawn in place (tmux keeps no scrollback), the gates, the status
// and the log pane on screen, nothing wider than the terminal; and again after a resize.
// The two-second promise holds for a plant of 16 silent VPIs, each "!STATUS" read waiting its
// longest (a pass over them takes about 2 s): the scan gives way to the stop between VPIs. The
// Ctrl-C comes just as a pass begins, read off the log file, which is written line by line.
TEST(HostProgram, CtrlCEndsWithinTwoSecondsWithSixteenSilentVpis) {
    fs::path dir = FreshFolder("stop16");
    std::vector<std::unique_ptr<Pty>> lines;
    std::ofstream plant(dir / "plant.toml");
    for (int n = 1; n <= 16; ++n) {
        lines.push_back(std::make_unique<Pty>());
        ASSERT_FALSE(lines.back()->path.empty());
        fs::create_symlink(lines.back()->path, dir / ("com" + std::to_string(n)));
        plant << "[[vpi]]\nvpi = " << n << "\nport = \"COM" << n
              << "\"\nstatus-wait = 120\nstreams = 1\nparams = \"1-5\"\n";
    }
    plant.close();
    const auto start = Clock::now();
    double signalledAt = 0;
    Outcome run = RunHost(dir, {"--config", "plant.toml", "--plain", "--log", "run.log"},
                          {"VPIVG_DEVICE_DIR=" + dir.string()}, [&](pid_t pid) {
                              // The second pass that finds VPI 1 silent: past the start pause.
                              auto passes = [&] {
                                  std::string log = ReadAll(dir / "run.log");
                                  std::size_t count = 0;
                                  for (std::size_t at = log.find("Comms fail! Vpi=1 "); at != std::string::npos;
                                       at = log.find("Comms fail! Vpi=1 ", at + 1)) {
                                      ++count;
                                  }
                                  return count;
                              };
                              while (passes() < 2 && Clock::now() - start < std::chrono::seconds(20)) {
                                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
                              }
                              kill(pid, SIGINT);
                              signalledAt = std::chrono::duration<double>(Clock::now() - start).count();
                          });
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_GT(signalledAt, 4.0);
    EXPECT_LT(run.seconds - signalledAt, kStopBoundS) << run.out;
    EXPECT_EQ(run.out.find("had not ended"), std::string::npos) << run.out;
    fs::remove_all(dir);
}

// The demo works in a folder of its own, yet takes a driver path relative to where it was
// started, and the poll period given.
TEST(HostProgram, TheDemoTakesARelativeDriverAndThePollPeriodGiven) {
    fs::path dir = FreshFolder("demo");
    fs::create_directories(dir / "lib");
    fs::create_symlink(fs::path(vpihost::ProgramFolder()) / "libvpivg.so", dir / "lib" / "driver.so");
    Outcome run = RunHost(dir, {"demo", "--driver", "lib/driver.so", "--poll-period-ms", "500",
                                "--duration", "1.5", "--plain"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err.find("cannot load"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("VPI 1: poll sent"), std::string::npos) << run.out;
    fs::remove_all(dir);
}

// Two names of one device are compared as the driver will open them, with the device folder
// of the settings applied: the second VPI would only ever find the device busy.
TEST(HostProgram, TwoNamesOfOneDeviceAreRefusedOnceTheDeviceFolderApplies) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    if (pty.path.size() > 11) GTEST_SKIP() << pty.path << " is too long a name for the driver";
    fs::path dir = FreshFolder("twonames");
    fs::create_directories(dir / "devices");
    fs::create_symlink(pty.path, dir / "devices" / "com1");
    std::ofstream(dir / "plant.toml") << "device-dir = \"" << (dir / "devices").string() << "\"\n"
                                      << "[[vpi]]\nvpi = 1\nport = \"COM1\"\nstreams = 1\nparams = \"1-5\"\n"
                                      << "[[vpi]]\nvpi = 2\nport = \"" << pty.path
                                      << "\"\nstreams = 1\nparams = \"1-5\"\n";
    Outcome run = RunHost(dir, {"--config", "plant.toml", "--duration", "1", "--plain"});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("VPI 2 uses port " + pty.path + ", the device of VPI 1's port COM1 (" + pty.path +
                           "): give each VPI its own port"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("Start Report-By-Exception"), std::string::npos) << "nothing started:\n" << run.out;
    fs::remove_all(dir);
}

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

// `vpivg-host ... | head -2`: once head has gone, the next write finds the pipe broken. The run
// says so and stops in order (the log's last line, whole CSV rows) with status 1, instead of
// dying of SIGPIPE with nothing said.
TEST(HostProgram, AClosedPipeOnStandardOutputStopsTheRunInOrder) {
    fs::path dir = FreshFolder("pipe");
    pid_t head = -1;
    const int pipeEnd = PipeIntoHead(dir / "head.txt", &head);
    ASSERT_GE(pipeEnd, 0);
    Outcome run = RunHost(dir, {"demo", "--plain", "--duration", "20", "--csv", "x.csv", "--log",
                                "run.log"},
                          {}, {}, pipeEnd);
    waitpid(head, nullptr, 0);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_LT(run.seconds, 10) << "it ran on with nobody reading";
    EXPECT_NE(run.err.find("vpivg-host: cannot write to standard output: Broken pipe; stopping"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "said once:\n" << run.err;
    const std::string log = ReadAll(dir / "run.log");
    EXPECT_NE(log.find("host: stopped\n"), std::string::npos) << log;
    const std::string csv = ReadAll(dir / "x.csv");
    ASSERT_FALSE(csv.empty());
    EXPECT_EQ(csv.back(), '\n');
    const std::string shown = ReadAll(dir / "head.txt");
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2) << shown;
    fs::remove_all(dir);
}

// A Ctrl-C that comes while a write to a slow reader waits interrupts nothing: the write goes
// on once the reader takes more, and the run ends as cleanly as any other.
TEST(HostProgram, CtrlCDuringAWriteToASlowReaderEndsTheRunCleanly) {
    fs::path dir = FreshFolder("slow");
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    // The smallest pipe the kernel allows, so that the plain lines fill it within seconds.
    fcntl(ends[0], F_SETPIPE_SZ, 4096);
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    bool blocked = false;
    std::string taken;
    Outcome run = RunHost(dir, {"demo", "--plain", "--duration", "40"}, {},
                          [&](pid_t pid) {
                              const auto deadline = Clock::now() + std::chrono::seconds(25);
                              while (!blocked && Clock::now() < deadline) {
                                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                  blocked = BlockedWritingStdout(pid);
                              }
                              kill(pid, SIGINT);
                              // Now read, slowly, to the end.
                              char buffer[512];
                              ssize_t n;
                              while ((n = read(ends[0], buffer, sizeof buffer)) > 0) {
                                  taken.append(buffer, static_cast<std::size_t>(n));
                                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
                              }
                          },
                          ends[1]);
    close(ends[0]);
    ASSERT_TRUE(blocked) << "the write never waited for the reader";
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(taken.find(" host: stopped"), std::string::npos) << taken.substr(taken.size() - 300);
    fs::remove_all(dir);
}

// The demo makes the terminal raw to watch for a key. However it ends early, in the driver's
// start pause or by a second Ctrl-C, the shell after it must get its terminal back as it was:
// echo and line editing on.
TEST(HostProgram, AnEarlyEndOfTheDemoGivesTheTerminalBack) {
    if (std::system("tmux -V > /dev/null 2>&1") != 0) FAIL() << "tmux is missing: scripts/setup.sh installs it";
    struct Case {
        const char* how;
        const char* keys;
    };
    const Case cases[] = {
        {"one Ctrl-C in the start pause", "C-c"},
        {"two Ctrl-C", "C-c C-c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        fs::path dir = FreshFolder("rawterm");
        std::string socket = "vpivg-raw-" + std::to_string(getpid());
        std::string command = "cd '" + dir.string() + "' && '" + Program() +
                              "' demo --duration 30; echo status $? > status.txt; stty -a > stty.txt; sleep 30";
        Tmux(socket, "new-session -d -s raw -x 80 -y 24 \"" + command + "\"");
        // Keys only once the demo shows it has started: its stop handlers and key watch are in
        // place by then. A Ctrl-C before that (a slow start on a loaded machine) would end the
        // shell of the pane along with the program, and nothing would be left to look at.
        const auto started = Clock::now() + std::chrono::seconds(20);
        while (Tmux(socket, "capture-pane -p -t raw").find("demo: the driver reads the line") == std::string::npos &&
               Clock::now() < started) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        Tmux(socket, std::string("send-keys -t raw ") + c.keys);
        const auto deadline = Clock::now() + std::chrono::seconds(8);
        while (!fs::exists(dir / "stty.txt") && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Tmux(socket, "kill-server");
        const std::string stty = ReadAll(dir / "stty.txt");
        ASSERT_FALSE(stty.empty()) << "the demo did not end";
        EXPECT_TRUE(std::regex_search(stty, std::regex(R"((^|\s)echo(\s|$))"))) << stty;
        EXPECT_TRUE(std::regex_search(stty, std::regex(R"((^|\s)icanon(\s|$))"))) << stty;
        EXPECT_NE(ReadAll(dir / "status.txt"), "") << "the demo did not end";
        fs::remove_all(dir);
    }
}

#endif
