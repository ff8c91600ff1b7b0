// vpivg-sim as a commissioning engineer runs it, on pseudo-terminals: a port that vanishes ends
// the run with the reason and a failing status without burning a core, Ctrl-C always ends it
// within two seconds (a second one at once), its lines carry times, a capture says where it
// came from, and no record is overwritten or left half-written without a word.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "simcore.hpp"

namespace fs = std::filesystem;

namespace {

std::string Contents(const fs::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A folder of its own per test: the device links and every file the program writes.
class Workspace {
public:
    Workspace() {
        char pattern[] = "/tmp/vpivg-simrun-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    ~Workspace() { fs::remove_all(dir_); }
    fs::path operator/(const std::string& name) const { return dir_ / name; }
    const fs::path& Dir() const { return dir_; }

private:
    fs::path dir_;
};

// A pseudo-terminal whose slave is linked as "com<number>" in the workspace: the simulator
// opens COM<number>, the test is the far end on the master.
class Pty {
public:
    Pty(const Workspace& ws, int number) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        link_ = ws / ("com" + std::to_string(number));
        name_ = "COM" + std::to_string(number);
        fs::create_symlink(ttyname(slave_), link_);
        // The slave stays open only in the simulator, so closing the master hangs its line up.
        close(slave_);
        slave_ = -1;
    }
    ~Pty() { CloseFarEnd(); }
    bool Ok() const { return master_ >= 0; }
    const std::string& Name() const { return name_; }
    // The far end goes away (the cable's other side closes); the device link stays.
    void CloseFarEnd() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    // The adapter is pulled: the far end and the device are gone.
    void Pull() {
        CloseFarEnd();
        fs::remove(link_);
    }
    std::string Read(int timeoutMs) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            char buffer[4096];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
            else std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return out;
    }
    bool Write(const std::string& bytes) {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    int master_ = -1;
    int slave_ = -1;
    fs::path link_;
    std::string name_;
};

// vpivg-sim running in the background, its output in files in the workspace (or standard
// output into `outFd`, a pipe, when one is given).
class SimRun {
public:
    SimRun(const Workspace& ws, std::vector<std::string> args, const std::string& prefix = "",
           int outFd = -1)
        : out_(ws / "out.txt"), err_(ws / "err.txt") {
        const std::string program = fs::absolute("vpivg-sim").string();
        args.insert(args.begin(), program);
        pid_ = fork();
        if (pid_ == 0) {
            setenv("VPIVG_DEVICE_DIR", ws.Dir().c_str(), 1);
            if (chdir(ws.Dir().c_str()) != 0) _exit(127);
            int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(outFd >= 0 ? outFd : out, 1);
            dup2(err, 2);
            if (!prefix.empty()) {
                // A shell sets the limits first, then becomes the program.
                std::string command = prefix + " exec";
                for (const std::string& a : args) command += " '" + a + "'";
                execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            } else {
                std::vector<char*> argv;
                for (std::string& a : args) argv.push_back(a.data());
                argv.push_back(nullptr);
                execv(argv[0], argv.data());
            }
            _exit(127);
        }
        if (outFd >= 0) close(outFd);  // the program holds the only writing end now
    }
    ~SimRun() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Signal(int number) { kill(pid_, number); }
    // Waits up to `timeoutMs` for the end; false if it is still running.
    bool Wait(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            rusage usage{};
            if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
                exited_ = true;
                status_ = status;
                cpuSeconds_ = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                              usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // The exit status, or 128 + the signal that ended it.
    int Status() const {
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }
    double CpuSeconds() const { return cpuSeconds_; }
    std::string Out() const { return Contents(out_); }
    std::string Err() const { return Contents(err_); }

private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    double cpuSeconds_ = 0;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class SimAtAPlant : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists("vpivg-sim")) GTEST_SKIP() << "no vpivg-sim in the working folder";
    }
};

}  // namespace

TEST_F(SimAtAPlant, AVanishedPortEndsTheRunWithItsReasonWithoutSpinning) {
    struct Case {
        const char* how;
        std::vector<std::string> mode;
        bool pull;  // adapter pulled (device gone) or far end closed
        // A pseudo-terminal's device goes with its far end, so both say the device is gone;
        // a serial adapter whose cable end goes away says the line went away instead.
        const char* reason;
    };
    const Case cases[] = {
        {"sending, adapter pulled", {"--interval-ms", "100"}, true, "is gone"},
        {"sending, far end closed", {"--interval-ms", "100"}, false, "is gone"},
        {"listening, far end closed", {"--listen", "--record", "cap.txt"}, false, "is gone"},
        {"listening, adapter pulled", {"--listen", "--record", "cap.txt"}, true, "is gone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        Workspace ws;
        Pty pty(ws, 5);
        ASSERT_TRUE(pty.Ok());
        std::vector<std::string> args = {"--port", "COM5"};
        args.insert(args.end(), c.mode.begin(), c.mode.end());
        SimRun sim(ws, args);
        pty.Read(600);
        c.pull ? pty.Pull() : pty.CloseFarEnd();
        // Left to itself it would run for ever: it must notice, say so and end.
        ASSERT_TRUE(sim.Wait(3000)) << "still running after its port went away";
        EXPECT_EQ(sim.Status(), 1);
        EXPECT_NE(sim.Err().find("vpivg-sim: COM5 lost: "), std::string::npos) << sim.Err();
        EXPECT_NE(sim.Err().find(c.reason), std::string::npos) << sim.Err();
        EXPECT_LT(sim.CpuSeconds(), 0.5) << "it spun";
        EXPECT_EQ(sim.Err().find("write-failed"), std::string::npos);
        if (fs::exists(ws / "cap.txt")) {
            EXPECT_NE(Contents(ws / "cap.txt").find("lost="), std::string::npos)
                << "the capture says where the line went";
        }
    }
}

TEST_F(SimAtAPlant, CtrlCEndsItWithinTwoSecondsEvenInAWriteNobodyTakes) {
    struct Case {
        const char* how;
        int signals;
        int signalNumber;
        double within;
        int status;
    };
    const Case cases[] = {
        {"one Ctrl-C", 1, SIGINT, 2.0, 1},
        {"SIGTERM", 1, SIGTERM, 2.0, 1},
        {"two Ctrl-C", 2, SIGINT, 0.5, 130},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        Workspace ws;
        Pty pty(ws, 6);
        ASSERT_TRUE(pty.Ok());
        // Reports as fast as it can and nobody reads: the line's buffer fills and the write
        // waits.
        SimRun sim(ws, {"--port", "COM6", "--interval-ms", "1", "--quiet"});
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < c.signals; ++i) {
            sim.Signal(c.signalNumber);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(sim.Wait(3000));
        EXPECT_LT(SecondsSince(start), c.within);
        EXPECT_EQ(sim.Status(), c.status) << sim.Err();
        if (c.signals == 1) {
            EXPECT_NE(sim.Err().find("had not finished"), std::string::npos) << sim.Err();
        }
    }
}

TEST_F(SimAtAPlant, ARunStoppedWhileAllIsWellEndsAtOnceAndCleanly) {
    Workspace ws;
    Pty pty(ws, 7);
    ASSERT_TRUE(pty.Ok());
    SimRun sim(ws, {"--port", "COM7", "--interval-ms", "100", "--log", "sim.log"});
    const std::string sent = pty.Read(700);
    const auto start = std::chrono::steady_clock::now();
    sim.Signal(SIGINT);
    ASSERT_TRUE(sim.Wait(2000));
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(sim.Status(), 0) << sim.Err();
    EXPECT_NE(sent.find("a;"), std::string::npos);

    // Every line on stdout and in the log starts with the date and the time (UTC, like the
    // host's log) to the millisecond.
    const std::regex stamped(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .+)");
    std::istringstream out(sim.Out());
    int lines = 0;
    for (std::string line; std::getline(out, line); ++lines) {
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    }
    EXPECT_GE(lines, 4);
    EXPECT_EQ(Contents(ws / "sim.log"), sim.Out()) << "the log keeps what was shown";
}

TEST_F(SimAtAPlant, ACaptureSaysWhenWhereAndHowAndReplaySkipsIt) {
    Workspace ws;
    Pty pty(ws, 8);
    ASSERT_TRUE(pty.Ok());
    {
        SimRun listen(ws, {"--port", "COM8", "--baud", "19200", "--parity", "even", "--listen",
                           "--record", "cap.txt", "--duration", "1.2", "--quiet"});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(pty.Write("a;1;01;02;02;03;03;4;04;01;05;1.5\n\r"));
        ASSERT_TRUE(listen.Wait(3000));
        EXPECT_EQ(listen.Status(), 0) << listen.Err();
    }
    const std::string capture = Contents(ws / "cap.txt");
    auto header = vpisim::ParseCaptureHeader(capture);
    ASSERT_TRUE(header) << capture;
    EXPECT_EQ(header->port, "COM8");
    EXPECT_EQ(header->device, (ws / "com8").string());
    EXPECT_EQ(header->line, "19200 8E1");
    EXPECT_TRUE(std::regex_match(header->start,
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << header->start;
    EXPECT_TRUE(vpisim::CaptureHasEnd(capture)) << capture;

    SimRun replay(ws, {"--port", "COM8", "--replay", "cap.txt"});
    const std::string replayed = pty.Read(1500);
    ASSERT_TRUE(replay.Wait(3000));
    EXPECT_EQ(replay.Status(), 0) << replay.Err();
    EXPECT_EQ(replayed, "a;1;01;02;02;03;03;4;04;01;05;1.5\n\r");
    EXPECT_NE(replay.Out().find("capture of COM8 (19200 8E1) made " + header->start),
              std::string::npos)
        << replay.Out();
}

TEST_F(SimAtAPlant, ARecordIsNeverOverwrittenUnlessAsked) {
    Workspace ws;
    Pty pty(ws, 9);
    ASSERT_TRUE(pty.Ok());
    for (const char* option : {"--record", "--sent-log"}) {
        SCOPED_TRACE(option);
        std::ofstream(ws / "keep.txt") << "yesterday's plant capture\n";
        SimRun refused(ws, {"--port", "COM9", option, "keep.txt", "--duration", "0.5"});
        ASSERT_TRUE(refused.Wait(3000));
        EXPECT_EQ(refused.Status(), 1);
        EXPECT_NE(refused.Err().find("keep.txt exists"), std::string::npos) << refused.Err();
        EXPECT_EQ(Contents(ws / "keep.txt"), "yesterday's plant capture\n");

        SimRun allowed(ws, {"--port", "COM9", option, "keep.txt", "--overwrite", "--duration",
                            "0.5", "--quiet"});
        pty.Read(300);
        ASSERT_TRUE(allowed.Wait(3000));
        EXPECT_EQ(allowed.Status(), 0) << allowed.Err();
        EXPECT_EQ(Contents(ws / "keep.txt").find("yesterday"), std::string::npos);
    }
}

TEST_F(SimAtAPlant, AFullDiskEndsTheRecordAtAWholeLineAndFailsTheRun) {
    Workspace ws;
    Pty pty(ws, 10);
    ASSERT_TRUE(pty.Ok());
    // A 1 KiB file-size limit stands in for a disk that fills part way through the run.
    SimRun sim(ws, {"--port", "COM10", "--interval-ms", "20", "--sent-log", "sent.txt",
                    "--duration", "1.5", "--quiet"},
               "trap '' XFSZ; ulimit -f 2;");
    pty.Read(2000);
    ASSERT_TRUE(sim.Wait(3000));
    EXPECT_EQ(sim.Status(), 1);
    EXPECT_NE(sim.Err().find("cannot write sent.txt: file too large"), std::string::npos)
        << sim.Err();
    const std::string log = Contents(ws / "sent.txt");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n') << "no half line at the end";
    EXPECT_EQ(Contents(ws / "out.txt"), "") << "--quiet still means quiet";

    // The capture too, from its header on; and stdout full is a failure as well.
    SimRun full(ws, {"--port", "COM10", "--record", "/dev/full", "--overwrite", "--duration", "0.5"});
    ASSERT_TRUE(full.Wait(3000));
    EXPECT_EQ(full.Status(), 1);
    EXPECT_NE(full.Err().find("cannot write /dev/full: no space left on device"), std::string::npos)
        << full.Err();
}

TEST_F(SimAtAPlant, APortThatWillNotOpenIsNamedWithTheReason) {
    Workspace ws;
    SimRun sim(ws, {"--port", "COM4", "--duration", "0.5"});
    ASSERT_TRUE(sim.Wait(3000));
    EXPECT_EQ(sim.Status(), 1);
    EXPECT_EQ(sim.Err(), "vpivg-sim: cannot open COM4 (" + (ws / "com4").string() +
                             "): no such device (no link com4 in VPIVG_DEVICE_DIR)\n");

    SimRun list(ws, {"--list-ports"});
    ASSERT_TRUE(list.Wait(3000));
    EXPECT_EQ(list.Status(), 0);
    EXPECT_FALSE(list.Out().empty());
    EXPECT_EQ(list.Err(), "");
}

// `vpivg-sim ... | head -2`: once head has gone, the next line finds the pipe broken. The run
// says so and stops in order, its capture ending with its end line, status 1, instead of dying
// of SIGPIPE with the capture cut off.
TEST_F(SimAtAPlant, AClosedPipeOnStandardOutputStopsTheRunInOrder) {
    Workspace ws;
    Pty pty(ws, 11);
    ASSERT_TRUE(pty.Ok());
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    const pid_t head = fork();
    if (head == 0) {
        const int out = open((ws / "head.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(ends[0], 0);
        dup2(out, 1);
        close(ends[0]);
        close(ends[1]);
        execlp("head", "head", "-2", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[0]);
    SimRun sim(ws, {"--port", "COM11", "--interval-ms", "50", "--record", "cap.txt", "--duration",
                    "20"},
               "", ends[1]);
    const auto start = std::chrono::steady_clock::now();
    bool ended = false;
    while (!ended && SecondsSince(start) < 10) {
        pty.Read(100);  // the far end takes the reports
        ended = sim.Wait(10);
    }
    waitpid(head, nullptr, 0);
    ASSERT_TRUE(ended) << "it ran on with nobody reading";
    EXPECT_EQ(sim.Status(), 1) << sim.Err();
    EXPECT_EQ(sim.Err(), "vpivg-sim: cannot write to standard output: broken pipe; stopping\n");
    EXPECT_TRUE(vpisim::CaptureHasEnd(Contents(ws / "cap.txt"))) << Contents(ws / "cap.txt");
    const std::string shown = Contents(ws / "head.txt");
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2) << shown;
}
#endif
