// vpivg-host as a program publishing to a real mosquitto: the will is the node's death when the
// process is killed, bdSeq goes on across restarts, a missing file stops the start, an absent
// broker is said while the VPIs keep running, and what the store holds outlives a kill -9.
#if defined(VPIVG_HAVE_MQTT)
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "broker.hpp"
#include "driverlib.hpp"
#include "gateway_run.hpp"
#include "gateway_testing.hpp"
#include "host_testing.hpp"
#include "simcore.hpp"

namespace fs = std::filesystem;
using brokertest::Broker;
using brokertest::Count;
using brokertest::Message;
using brokertest::Subscriber;
using hosttest::FreshFolder;
using hosttest::ReadAll;

namespace {

// The program in `folder`, its output in out.txt and err.txt there.
pid_t Spawn(const fs::path& folder, const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(120);
        int out = open("out.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
        int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(121);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::string program = vpihost::ProgramFolder() + "/vpivg-host";
        std::vector<char*> argv{strdup(program.c_str())};
        for (const std::string& a : args) argv.push_back(strdup(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(122);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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

std::uint64_t BdSeqOf(const Message& m) {
    auto payload = gatewaytest::Unpack(m.payload);
    const SparkplugB__Metric* metric = payload ? gatewaytest::FindMetric(*payload, "bdSeq") : nullptr;
    return metric ? metric->long_value : 999;
}

std::function<bool(const std::vector<Message>&)> Has(const std::string& topic, std::size_t n = 1) {
    return [=](const std::vector<Message>& m) { return Count(m, topic) >= n; };
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

TEST(HostMqttProgram, AKilledHostDiesByItsWillAndARestartTakesTheNextBdSeq) {
    std::string why;
    fs::path dir = FreshFolder("will");
    auto broker = Broker::Start(dir / "broker", brokertest::BrokerOptions{}, &why);
    if (!broker) GTEST_SKIP() << why;
    Pty pty;
    if (pty.path.empty() || pty.path.size() > 11) GTEST_SKIP() << "no short pseudo-terminal name";
    Subscriber sub(broker->Port(), {"spBv1.0/vpivg/#"});
    ASSERT_TRUE(sub.Ok());
    const std::vector<std::string> args{"--port", pty.path, "--plain", "--mqtt-url", broker->Url(),
                                        "--mqtt-node", "willtest", "--mqtt-keepalive-s", "5"};
    const std::string birth = "spBv1.0/vpivg/NBIRTH/willtest", death = "spBv1.0/vpivg/NDEATH/willtest";

    pid_t pid = Spawn(dir, args);
    ASSERT_TRUE(sub.WaitFor(Has(birth))) << ReadAll(dir / "out.txt") << ReadAll(dir / "err.txt");
    EXPECT_EQ(BdSeqOf(sub.Messages().back()), 0u);
    kill(pid, SIGKILL);
    EXPECT_EQ(Wait(pid), 128 + SIGKILL);
    // The broker publishes the will as the connection drops: the death of that connection.
    ASSERT_TRUE(sub.WaitFor(Has(death))) << broker->Log();
    EXPECT_EQ(BdSeqOf(sub.Messages().back()), 0u);
    // The number is kept in the store, beside the reports.
    EXPECT_TRUE(fs::exists(dir / "vpivg-host-willtest.db"));
    EXPECT_FALSE(fs::exists(dir / "vpivg-host-willtest.bdseq"));

    // A restart connects with the next number, and its planned stop says the same number.
    sub.Clear();
    pid = Spawn(dir, args);
    ASSERT_TRUE(sub.WaitFor(Has(birth))) << ReadAll(dir / "out.txt");
    EXPECT_EQ(BdSeqOf(sub.Messages().back()), 1u);
    kill(pid, SIGINT);
    EXPECT_EQ(Wait(pid), 0) << ReadAll(dir / "err.txt");
    ASSERT_TRUE(sub.WaitFor(Has(death)));
    EXPECT_EQ(BdSeqOf(sub.Messages().back()), 1u);
    std::string out = ReadAll(dir / "out.txt");
    EXPECT_NE(out.find("host: MQTT " + broker->Url() + ": connected (bdSeq 1)"), std::string::npos) << out;
    EXPECT_NE(out.find("host: MQTT stopped, 2 published"), std::string::npos) << "NBIRTH and NDEATH: " << out;
    broker.reset();
    fs::remove_all(dir);
}

TEST(HostMqttProgram, FilesTheSettingsNameMustBeThereAtTheStart) {
    fs::path dir = FreshFolder("files");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases{
        {{"--mqtt-url", "mqtts://127.0.0.1", "--mqtt-ca-file", "none.pem"},
         "vpivg-host: mqtt-ca-file none.pem: cannot read it: No such file or directory"},
        {{"--mqtt-url", "mqtts://127.0.0.1", "--mqtt-cert-file", "me.pem", "--mqtt-key-file", "me.key"},
         "vpivg-host: mqtt-cert-file me.pem: cannot read it: No such file or directory"},
        {{"--mqtt-url", "mqtt://127.0.0.1", "--mqtt-user", "edge", "--mqtt-password-file", "pw"},
         "vpivg-host: mqtt-password-file: cannot read pw: No such file or directory"},
        {{"--mqtt-url", "mqtt://127.0.0.1", "--mqtt-ca-file", "none.pem"},
         "vpivg-host: mqtt-ca-file is for an mqtts:// broker"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--port", "COM1", "--plain"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        int status = Wait(Spawn(dir, args));
        std::string err = ReadAll(dir / "err.txt");
        EXPECT_EQ(status, 1) << err;
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << err;
        EXPECT_FALSE(fs::exists(dir / "vpiVG01.int"));
    }
    // A mistake in the setting itself is a command-line mistake: status 2.
    EXPECT_EQ(Wait(Spawn(dir, {"--port", "COM1", "--mqtt-url", "mqtt//127.0.0.1"})), 2);
    EXPECT_NE(ReadAll(dir / "err.txt").find("--mqtt-url mqtt//127.0.0.1: expected mqtt://host[:port]"), std::string::npos);
    fs::remove_all(dir);
}

// The live view has the broker's line under its heading: connected and what went out.
TEST(HostMqttProgram, TheLiveViewShowsTheBroker) {
    if (std::system("tmux -V > /dev/null 2>&1") != 0) FAIL() << "tmux is missing: scripts/setup.sh installs it";
    std::string why;
    fs::path dir = FreshFolder("mqttview");
    auto broker = Broker::Start(dir / "broker", brokertest::BrokerOptions{}, &why);
    if (!broker) GTEST_SKIP() << why;
    std::string socket = "vpivg-mqtt-test-" + std::to_string(getpid());
    std::string command = "cd '" + dir.string() + "' && '" + vpihost::ProgramFolder() +
                          "/vpivg-host' demo --duration 10 --mqtt-url " + broker->Url() + "; sleep 30";
    Tmux(socket, "new-session -d -s view -x 100 -y 30 \"" + command + "\"");
    std::this_thread::sleep_for(std::chrono::seconds(7));
    std::string screen = Tmux(socket, "capture-pane -p -t view");
    Tmux(socket, "kill-server");
    std::size_t line = screen.find("MQTT connected, ");
    ASSERT_NE(line, std::string::npos) << screen;
    EXPECT_NE(screen.find(" published", line), std::string::npos) << screen;
    EXPECT_LT(line, screen.find("VPI 1 COM1")) << "under the heading, above the VPIs:\n" << screen;
    broker.reset();
    fs::remove_all(dir);
}

TEST(HostMqttProgram, AnAbsentBrokerIsSaidAndTheVpisRunOn) {
    fs::path dir = FreshFolder("absent");
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(brokertest::FreePort());
    int status = Wait(Spawn(dir, {"demo", "--plain", "--duration", "7", "--mqtt-url", url}));
    std::string out = ReadAll(dir / "out.txt");
    EXPECT_EQ(status, 0) << ReadAll(dir / "err.txt");
    EXPECT_NE(out.find("host: MQTT " + url + ": Connection refused; retrying in 1 s"), std::string::npos) << out;
    EXPECT_NE(out.find("retrying in 2 s"), std::string::npos) << out;
    EXPECT_NE(out.find(" VPI 1 I01: P01="), std::string::npos) << "the values still come: " << out;
    fs::remove_all(dir);
}
// Killed (SIGKILL) while the broker is away, the gateway has nothing but its store: started
// again, it sends what the store holds once the broker is back.
TEST(HostMqttProgram, WhatWasStoredBeforeAKillIsSentAfterTheRestart) {
    std::string why;
    fs::path dir = FreshFolder("killed");
    brokertest::BrokerOptions options;
    options.persistent = true;
    auto broker = Broker::Start(dir / "broker", options, &why);
    if (!broker) GTEST_SKIP() << why;
    options.port = broker->Port();
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    // The line by a COM name in a device folder, whatever the pseudo-terminal's number.
    fs::create_directories(dir / "dev");
    fs::create_symlink(pty.path, dir / "dev" / "com7");
    Subscriber sub(broker->Port(), {"spBv1.0/vpivg/#"}, "vpivg-test-lasting-killed");
    ASSERT_TRUE(sub.Ok());
    const std::vector<std::string> args{"--port",     "COM7",        "--device-dir", (dir / "dev").string(),
                                        "--plain",    "--params",    "1-7",          "--mqtt-url",
                                        broker->Url(), "--mqtt-node", "killed"};
    auto line = vpisim::MakeDescriptorLine(pty.master);
    vpisim::SimOptions simOptions;
    simOptions.lastParameter = 7;
    simOptions.intervalMs = 100;
    simOptions.seed = 5;
    vpisim::Simulator sim(*line, simOptions);

    pid_t pid = Spawn(dir, args);
    ASSERT_TRUE(sub.WaitFor(Has("spBv1.0/vpivg/NBIRTH/killed"))) << ReadAll(dir / "out.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // the driver's start pause
    sim.Start();
    const std::string data = "spBv1.0/vpivg/DDATA/killed/VPI1";
    ASSERT_TRUE(sub.WaitFor(Has(data, 5))) << ReadAll(dir / "out.txt");
    broker.reset();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    sim.Stop();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the last report into the store
    kill(pid, SIGKILL);
    EXPECT_EQ(Wait(pid), 128 + SIGKILL);

    broker = Broker::Start(dir / "broker", options, &why);
    ASSERT_NE(broker, nullptr) << why;
    pid = Spawn(dir, args);
    std::set<gatewayrun::Values> expected;
    for (const auto& report : sim.Sent()) {
        if (report.Intact()) expected.insert(gatewayrun::Sent(report));
    }
    ASSERT_GT(expected.size(), 20u);
    std::set<gatewayrun::Values> received;
    std::size_t historical = 0;
    auto allThere = [&](const std::vector<Message>& messages) {
        received.clear();
        historical = 0;
        for (const Message& m : messages) {
            auto payload = m.topic == data ? gatewaytest::Unpack(m.payload) : nullptr;
            if (!payload) continue;
            int stream = 0;
            received.insert(gatewayrun::Decoded(*payload, &stream));
            historical += payload->n_metrics > 0 && payload->metrics[0]->is_historical;
        }
        return received == expected;
    };
    EXPECT_TRUE(sub.WaitFor(allThere, std::chrono::seconds(20)))
        << received.size() << " of " << expected.size() << " reports arrived\n" << ReadAll(dir / "out.txt");
    EXPECT_GT(historical, 10u);
    EXPECT_NE(ReadAll(dir / "out.txt").find("reports from before are waiting for the broker"), std::string::npos);
    kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0) << "SIGTERM is an orderly stop: " << ReadAll(dir / "err.txt");
    EXPECT_TRUE(sub.WaitFor(Has("spBv1.0/vpivg/NDEATH/killed"))) << "its last words are the node's death";
    broker.reset();
    fs::remove_all(dir);
}

// A store that cannot be made stops the start with its path and the reason; a damaged one is
// moved aside, kept, and a new one started.
TEST(HostMqttProgram, AStoreThatCannotBeMadeStopsTheStartAndADamagedOneIsMovedAside) {
    fs::path dir = FreshFolder("storefile");
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(brokertest::FreePort());
    EXPECT_EQ(Wait(Spawn(dir, {"--port", "COM1", "--plain", "--mqtt-url", url, "--mqtt-store", "no/such/folder/gw.db"})), 1);
    std::string err = ReadAll(dir / "err.txt");
    EXPECT_EQ(err.rfind("vpivg-host: mqtt-store: ", 0), 0u) << err;
    EXPECT_NE(err.find("no/such/folder/gw.db"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "vpiVG01.int"));

    const std::string junk(5000, 'x');
    std::ofstream(dir / "gw.db") << junk;
    // No line behind COM1 here: the run is the store's start alone.
    Wait(Spawn(dir, {"--port", "COM1", "--device-dir", dir.string(), "--plain", "--duration", "2", "--mqtt-url", url,
                     "--mqtt-store", "gw.db"}));
    std::string out = ReadAll(dir / "out.txt");
    EXPECT_NE(out.find("host: MQTT store: "), std::string::npos) << out;
    EXPECT_NE(out.find("gw.db.corrupt-"), std::string::npos) << out;
    int movedAside = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("gw.db.corrupt-", 0) == 0 && ReadAll(entry.path()) == junk) {
            ++movedAside;
        }
    }
    EXPECT_EQ(movedAside, 1) << "the damaged file is kept as it was";
    EXPECT_TRUE(fs::exists(dir / "gw.db"));
    fs::remove_all(dir);
}
#endif
