// The report-by-exception thread on a real line, serving a prepared VPI.
//
// The thread pauses 4 s after its start and 1 s before its end, so each run is slow: the checks
// are grouped into a few runs, each walking through many situations in turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zelpro/zelpro.h>

#include "control.hpp"
#include "datapath/datapath.hpp"
#include "frame/frame.hpp"
#include "platform.hpp"
#include "serial/serial.hpp"
#include "testline.hpp"

namespace {

constexpr int kQuickTimeout = 10;  // 100 ms per silent read
constexpr int kLong = 15000;       // generous waits: sanitizer builds are slow

const char* const kFailed = "VPIVG: Read Packet failed!";
const char* const kShutdown = "VpiVG: ShutDown Report By Excption thread";

// A well-formed report for stream `stream` whose parameters 5 and 6 are given as text.
std::string Report(int stream, const char* p5, const char* p6 = "0") {
    char text[128];
    std::snprintf(text, sizeof text, "a;12345;01;07;02;03;03;250;04;%02d;05;%s;06;%s\n\r",
                  stream, p5, p6);
    return text;
}

class Vpi {
public:
    explicit Vpi(int number) : instance_(std::make_unique<VpiInstance>()) {
        std::string why;
        line_ = TestLine::Open(&why);
        EXPECT_TRUE(line_) << why;
        instance_->vpiNumber = static_cast<std::uint16_t>(number);
        std::strncpy(settings_.name, line_->DeviceName().c_str(), sizeof settings_.name - 1);
        settings_.line = LineParams{9600, 8, 0, 0};
        settings_.lineFlags = 8;
        instance_->portHandle.store(OpenPort());
        char name[16];
        std::snprintf(name, sizeof name, "VG_No_%.2d", number);
        std::uint32_t slot = 0;
        EXPECT_EQ(Zel5MkClient(name, 1, 0, &slot), 0);
        client_ = static_cast<unsigned char>(slot);
        instance_->clientId = slot;
        instance_->packetEvent.store(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    }
    ~Vpi() {
        // A thread that would not end may still use the instance: leave it to the process.
        if (started_ && !Stop()) {
            (void)instance_.release();
            return;
        }
        if (HANDLE event = instance_->packetEvent.exchange(nullptr)) CloseHandle(event);
        if (HANDLE port = instance_->portHandle.exchange(nullptr)) SerialClose(port);
    }

    HANDLE TryOpenPort() {
        HANDLE handle = PortOpen(settings_);
        if (handle) SerialSetReadTimeout(handle, kQuickTimeout);
        return handle;
    }
    HANDLE OpenPort() {
        HANDLE handle = TryOpenPort();
        EXPECT_NE(handle, nullptr);
        return handle;
    }
    void Start() {
        ASSERT_NE(_beginthread(ReportByExceptionThread, 32768, instance_.get()),
                  static_cast<std::uintptr_t>(-1));
        started_ = true;
    }
    // Stops the client and waits until the thread is done with the instance.
    bool Stop() {
        started_ = false;
        zelpro::StopClient(client_);
        return WaitFor([&] { return instance_->threadEnded.load() == 1; }, kLong) &&
               WaitFor([&] { return CountOf(kShutdown) > 0; }, kLong);
    }
    static int CountOf(const std::string& text) {
        const auto log = zelpro::PeekCapture();
        return static_cast<int>(std::count_if(log.begin(), log.end(),
                                              [&](const auto& l) { return l.text == text; }));
    }

    VpiInstance& instance() { return *instance_; }
    TestLine& line() { return *line_; }
    unsigned char client() const { return client_; }

private:
    std::unique_ptr<VpiInstance> instance_;
    std::unique_ptr<TestLine> line_;
    PortSettings settings_{};
    unsigned char client_ = 0;
    bool started_ = false;
};

class ReportThread : public ::testing::Test {
protected:
    void SetUp() override {
        zelpro::Reset();
        zelpro::SetLogSink([](int, const std::string&) {});
        zelpro::StartCapture();
    }
    void TearDown() override {
        zelpro::SetLogSink({});
        zelpro::Reset();
    }

    std::uint32_t Gate(unsigned vpi, const std::string& address) {
        auto id = zelpro::AddGate(vpi, address, GateTypeReal);
        EXPECT_TRUE(id.has_value());
        return id.value_or(0);
    }
    static double ValueOf(std::uint32_t id) { return zelpro::Gate(id).value().value; }
    static bool Reaches(std::uint32_t id, double value) {
        return WaitFor([&] { return ValueOf(id) == value; }, kLong);
    }
    static std::size_t Mark() { return zelpro::PeekCapture().size(); }
    static std::vector<zelpro::LogLine> Since(std::size_t mark) {
        auto log = zelpro::PeekCapture();
        return {log.begin() + static_cast<std::ptrdiff_t>(std::min(mark, log.size())), log.end()};
    }
    // Lines at the levels an operator sees (0 and 32).
    static std::vector<std::string> Shown(const std::vector<zelpro::LogLine>& log) {
        std::vector<std::string> out;
        for (const auto& l : log) {
            if (l.level != 8) out.push_back(std::to_string(l.level) + " " + l.text);
        }
        return out;
    }
    // Waits until as many operator-visible lines as expected came, then compares them.
    static void ExpectShownSince(std::size_t mark, const std::vector<std::string>& expected) {
        EXPECT_TRUE(WaitFor([&] { return Shown(Since(mark)).size() >= expected.size(); }, kLong));
        EXPECT_EQ(Shown(Since(mark)), expected);
    }
};

// The dump of `count` bytes at level 0, as operators see it: framing and one line per byte.
std::vector<std::string> FailedDump(const std::string& bytes) {
    std::vector<std::string> lines{std::string("0 ") + kFailed, "0 ",
                                   "0 ***** Start Printing Received Data *****"};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "0 Buf[%zu] = %x(h)", i,
                      static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
        lines.push_back(text);
    }
    lines.push_back("0 ***** End Of Received Data Buffer *****");
    lines.push_back("0 ");
    return lines;
}

std::vector<std::string> Prefixed(std::vector<std::string> head,
                                  const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST_F(ReportThread, ServesTheLineThroughFaultsAndAClosedPort) {
    Vpi vpi(5);
    const std::uint32_t p01 = Gate(5, "I03P01"), p05 = Gate(5, "I03P05"),
                        p06 = Gate(5, "I03P06");
    for (const char* address : {"I03P02", "I03P03", "I03P04", "I04P02", "I04P03", "I04P04"}) {
        Gate(5, address);
    }
    const std::uint32_t s4p01 = Gate(5, "I04P01"), s4p05 = Gate(5, "I04P05");
    HANDLE event = vpi.instance().packetEvent.load();
    ASSERT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // created signalled

    // Queued during the start pause, received once serving begins.
    ASSERT_TRUE(vpi.line().Write(Report(3, "1.5")));
    vpi.Start();
    ASSERT_TRUE(Reaches(p05, 1.5));
    EXPECT_EQ(ValueOf(p01), 7.0);
    EXPECT_EQ(Vpi::CountOf("VpiVG: VPI 5 Start Report-By-Exception Thread"), 1);
    // One good packet sets the event once.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Noise ahead of a report is dropped silently; a framed packet the parser rejects counts
    // as received but writes nothing; the report after it is not lost.
    std::size_t mark = Mark();
    ASSERT_TRUE(vpi.line().Write("xyz" + Report(3, "2.5")));
    ASSERT_TRUE(Reaches(p05, 2.5));
    ASSERT_TRUE(vpi.line().Write("a;X;rubbish\n\r" + Report(3, "3.5")));
    ASSERT_TRUE(Reaches(p05, 3.5));
    // The text handed on ends just before the trailer: 34 characters are too short for a
    // report, 35 are enough.
    ASSERT_TRUE(vpi.line().Write("a;1;01;08;02;03;03;25;04;04;05;1.5\n\r"
                                 "a;1;01;09;02;03;03;250;04;04;05;4.2\n\r"));
    ASSERT_TRUE(Reaches(s4p05, static_cast<double>(4.2f)));
    EXPECT_EQ(ValueOf(s4p01), 9.0);
    EXPECT_EQ(zelpro::Gate(s4p01).value().writes, 1u);
    EXPECT_EQ(Shown(Since(mark)), std::vector<std::string>{});
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    // A report cut short by silence: the receiver's messages, then the thread's dump.
    mark = Mark();
    ASSERT_TRUE(vpi.line().Write("a;12345;01;07"));
    ExpectShownSince(mark, Prefixed({"32 VPIVG: Failed to find 'Message Trailer'"},
                                    FailedDump("a;12345;01;07")));
    ASSERT_TRUE(vpi.line().Write(Report(3, "4.5")));
    ASSERT_TRUE(Reaches(p05, 4.5));

    // Noise without any start character, then silence: a dump of nothing.
    mark = Mark();
    ASSERT_TRUE(vpi.line().Write("xyz"));
    ExpectShownSince(mark, Prefixed({"32 VPIVG: Failed to read a character from receive buffer"},
                                    FailedDump("")));

    // An oversized packet is cut at the collect limit; its rest is hunted away and the report
    // right behind it still arrives.
    mark = Mark();
    const std::string oversized = "a" + std::string(1200, 'x') + "\n\r";
    ASSERT_TRUE(vpi.line().Write(oversized + Report(3, "6.5")));
    ASSERT_TRUE(Reaches(p05, 6.5));
    EXPECT_EQ(Shown(Since(mark)), Prefixed({"32 VPIVG: Failed to find 'Message Trailer'"},
                                           FailedDump(oversized.substr(0, 1001))));

    // Two reports waiting at once: two iterations, each after its own message wait.
    zelpro::StartRecording();
    ASSERT_TRUE(vpi.line().Write(Report(3, "7.5") + Report(3, "0", "8.5")));
    ASSERT_TRUE(Reaches(p06, 8.5));
    const auto calls = zelpro::TakeRecording();
    EXPECT_EQ(ValueOf(p05), 7.5);
    std::vector<std::string> order;
    for (const auto& c : calls) {
        if (c.function == "Zel5WaitMsg") order.push_back("wait");
        if (c.function == "Zel5PutGateVal" && (c.value == 7.5 || c.value == 8.5)) {
            order.push_back(c.value == 7.5 ? "first" : "second");
        }
    }
    const auto first = std::find(order.begin(), order.end(), "first");
    const auto second = std::find(order.begin(), order.end(), "second");
    ASSERT_TRUE(first != order.end() && second != order.end());
    EXPECT_TRUE(std::find(first, second, "wait") != second);

    // The port closed under the thread: no read, no message, while it stays closed.
    HANDLE port = vpi.instance().portHandle.exchange(nullptr);
    ASSERT_EQ(SerialClose(port), 0);
    mark = Mark();
    SleepMs(300);
    EXPECT_TRUE(Since(mark).empty());
    // A new handle is picked up without restarting the thread.
    vpi.instance().portHandle.store(vpi.OpenPort());
    ASSERT_TRUE(vpi.line().Write(Report(3, "9.5")));
    ASSERT_TRUE(Reaches(p05, 9.5));

    // Stopping the client ends the thread: threadEnded first, then the client goes away and
    // the shutdown message is the last word.
    zelpro::StartRecording();
    ASSERT_TRUE(vpi.Stop());
    const auto ending = zelpro::TakeRecording();
    ASSERT_FALSE(ending.empty());
    EXPECT_EQ(ending.back().function, "Zel5RmClient");
    EXPECT_EQ(ending.back().client, vpi.client());
    EXPECT_FALSE(zelpro::FindClient("VG_No_05").has_value());
    const auto log = zelpro::PeekCapture();
    EXPECT_EQ(log.back().text, kShutdown);
    EXPECT_EQ(log.back().level, 32);
    EXPECT_EQ(Vpi::CountOf(kShutdown), 1);
}

TEST_F(ReportThread, WorksOffABacklogWithoutWaitingATickForEachReport) {
    // One report per message wait, but the host answers a thread that has just published at
    // once: a line that brings many reports per tick must not pile up in the input queue.
    constexpr unsigned kTick = 2000;
    zelpro::SetTickMilliseconds(kTick);
    Vpi vpi(8);
    const std::uint32_t p05 = Gate(8, "I03P05");
    vpi.Start();
    SleepMs(4500);  // past the thread's start pause: it is now waiting out a tick
    std::string backlog;
    for (int i = 1; i <= 40; ++i) backlog += Report(3, std::to_string(i).c_str());
    ASSERT_TRUE(vpi.line().Write(backlog));
    ASSERT_TRUE(WaitFor([&] { return ValueOf(p05) >= 1.0; }, kLong));
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(Reaches(p05, 40.0));
    EXPECT_LT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(kTick - 500));
    EXPECT_TRUE(vpi.Stop());
    zelpro::SetTickMilliseconds(20);
}

TEST_F(ReportThread, StoppedBeforeServingLeavesThePortAlone) {
    Vpi vpi(6);
    const std::uint32_t p05 = Gate(6, "I03P05");
    ASSERT_TRUE(vpi.line().Write(Report(3, "1.5")));
    zelpro::StopClient(vpi.client());
    vpi.Start();
    ASSERT_TRUE(vpi.Stop());
    EXPECT_EQ(vpi.instance().threadEnded.load(), 1u);

    std::vector<std::string> texts;
    for (const auto& l : zelpro::PeekCapture()) texts.push_back(std::to_string(l.level) + " " + l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"32 VpiVG: VPI 6 Start Report-By-Exception Thread",
                                               std::string("32 ") + kShutdown}));
    EXPECT_EQ(ValueOf(p05), 0.0);
    // The report is still waiting on the line: nothing was read.
    char first = 0;
    std::int32_t got = 0;
    EXPECT_EQ(SerialReadExact(vpi.instance().portHandle.load(), &first, 1, &got), 0);
    EXPECT_EQ(first, 'a');
}

TEST_F(ReportThread, SurvivesThePortBeingClosedAndReplacedWhileReportsFlow) {
    // Hundreds of reports: keep the log out of memory, and serve one report per millisecond.
    zelpro::TakeCapture();
    zelpro::SetTickMilliseconds(1);
    Vpi vpi(7);
    const std::uint32_t p05 = Gate(7, "I03P05");
    ASSERT_TRUE(vpi.line().Write(Report(3, "0.5")));
    vpi.Start();
    ASSERT_TRUE(Reaches(p05, 0.5));

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 1; !stop.load(); ++i) {
            vpi.line().Write(Report(3, std::to_string(i).c_str()));
            SleepMs(3);
        }
    });
    ASSERT_TRUE(WaitFor([&] { return ValueOf(p05) >= 1.0; }, kLong));

    std::atomic<int> refusedCleanly{0};
    std::thread hammer([&] {
        for (int round = 0; round < 150; ++round) {
            HANDLE old = vpi.instance().portHandle.exchange(nullptr);
            if (old) SerialClose(old);
            // A request on the handle just closed fails cleanly.
            unsigned char byte = 0;
            std::int32_t got = -1;
            if (old && SerialReadExact(old, &byte, 1, &got) == kSerialRequestFailed && got == 0) {
                ++refusedCleanly;
            }
            if (round % 3 == 0) SleepMs(2);  // sometimes leave the port closed for a while
            // The device stays busy until a read still running on the old handle has left it,
            // so a reopen right after the close may be refused for a moment.
            HANDLE fresh = nullptr;
            for (int attempt = 0; attempt < 500 && fresh == nullptr; ++attempt) {
                fresh = vpi.TryOpenPort();
                if (fresh == nullptr) SleepMs(1);
            }
            EXPECT_NE(fresh, nullptr);
            vpi.instance().portHandle.store(fresh);
            SleepMs(round % 5);
        }
    });
    hammer.join();
    stop.store(true);
    writer.join();
    EXPECT_EQ(refusedCleanly.load(), 150);

    // The line settles and the next report gets through.
    ASSERT_TRUE(vpi.line().Write("\n\r" + Report(3, "12345.5")));
    EXPECT_TRUE(Reaches(p05, 12345.5));
    zelpro::StartCapture();
    EXPECT_TRUE(vpi.Stop());
    zelpro::SetTickMilliseconds(20);
}

TEST_F(ReportThread, AStatusReadIsAnsweredWhileTheReportIsStillBeingPublished) {
    // The event tells "!STATUS" that the instrument reported; it must not wait for the host's
    // database, however slow its writes are.
    std::mutex mutex;
    std::condition_variable changed;
    bool publishing = false;
    bool release = false;
    zelpro::SetGateWriteHook([&](std::uint32_t, double) {
        std::unique_lock lock(mutex);
        publishing = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::milliseconds(kLong), [&] { return release; });
    });
    const auto releaseWrites = [&] {
        std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    };

    Vpi vpi(9);
    const std::uint32_t p05 = Gate(9, "I03P05");
    VpiInstance& instance = vpi.instance();
    instance.statusWait = 3000;
    // The event starts signalled; take that, so only the report can answer the read below.
    ASSERT_EQ(WaitForSingleObject(instance.packetEvent.load(), 0), WAIT_OBJECT_0);
    vpi.Start();
    ASSERT_TRUE(vpi.line().Write(Report(3, "4.5")));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(kLong),
                                     [&] { return publishing; }));
    }

    GateValue area{0xA5A5, 0xA5A5};
    GateAccessArgs status{};
    status.address = "!STATUS";
    status.gateType = GateTypeDigital;
    status.valueArea = &area;
    VpiRequest request{};
    request.instance = &instance;
    request.command = CmdRead;
    request.vpiNumber = 9;
    request.args = &status;
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(VpiMain(&request), 0);
    const auto waited = std::chrono::steady_clock::now() - asked;
    releaseWrites();
    EXPECT_EQ(area.digitalState, 1) << "the read saw no report";
    EXPECT_LT(waited, std::chrono::milliseconds(1500)) << "the read waited for the publisher";

    EXPECT_TRUE(Reaches(p05, 4.5));
    EXPECT_TRUE(vpi.Stop());
    zelpro::SetGateWriteHook({});
}

}  // namespace
