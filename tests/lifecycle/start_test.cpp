// Bringing a VPI up, checked on the paths that stop before the report thread: a start record
// the VPI is disabled by, a port that cannot be opened, a host client that cannot be made. The
// init file is read on the way, so its grammar is checked here too.
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/serial.hpp"
#include "vpi_harness.hpp"

namespace {

using harness::Call;
using harness::MakeStartArgs;

const char kVersion[] = "VPIVG: ver. compiled on Oct 15 1998 at 19:19:38";

class Start : public harness::HostTest {
protected:
    void TearDown() override {
        if (HANDLE port = instance->portHandle.exchange(nullptr)) CloseHandle(port);
        if (HANDLE event = instance->packetEvent.exchange(nullptr)) CloseHandle(event);
        HostTest::TearDown();
    }

    // A start that opens the port and reads the init file but gets no host client, so no
    // thread runs; the port it opened is closed again for the next start.
    std::vector<zelpro::LogLine> StartWithoutClient(std::int32_t vpi, StartArgs args,
                                                    std::int32_t* result = nullptr) {
        zelpro::InjectFault(zelpro::Fault::MakeClient, 1);
        zelpro::StartCapture();
        const std::int32_t started = Call(instance.get(), CmdStart, vpi, &args);
        auto log = zelpro::TakeCapture();
        if (result) *result = started;
        return log;
    }

    void ClosePort() {
        if (HANDLE port = instance->portHandle.exchange(nullptr)) CloseHandle(port);
    }

    std::unique_ptr<VpiInstance> instance = harness::NewInstance();
};

// Values a start must not touch on its early exits.
void FillSentinels(VpiInstance* instance) {
    instance->readTimeout = 77;
    std::strcpy(instance->port.name, "NUL");
    instance->port.line = LineParams{1200, 7, 2, 1};
    instance->port.lineFlags = 0x0101;
    instance->vpiNumber = 555;
    instance->statusWait = 5;
    instance->gateInUse[10] = 1;
    instance->resetPending = 0;
    instance->clientId = 250;
}

void ExpectSentinels(const VpiInstance* instance) {
    EXPECT_EQ(instance->readTimeout, 77);
    EXPECT_STREQ(instance->port.name, "NUL");
    EXPECT_EQ(instance->port.line.baud, 1200);
    EXPECT_EQ(instance->port.lineFlags, 0x0101);
    EXPECT_EQ(instance->portHandle.load(), nullptr);
    EXPECT_EQ(instance->vpiNumber, 555);
    EXPECT_EQ(instance->statusWait, 5);
    EXPECT_EQ(instance->gateInUse[10], 1u);
    EXPECT_EQ(instance->resetPending, 0u);
    EXPECT_EQ(instance->clientId, 250u);
    EXPECT_EQ(instance->packetEvent.load(), nullptr);
}

TEST_F(Start, ADisabledStartRecordOnlyLogsTheVersionAndStoresTheEnableWord) {
    FillSentinels(instance.get());
    instance->portEnabled = 9;
    harness::WriteInitFile(3, "TIME=90\n");
    StartArgs args = MakeStartArgs("NUL", 300, 0);
    zelpro::StartRecording();
    zelpro::StartCapture();
    EXPECT_EQ(Call(instance.get(), CmdStart, 3, &args), 0);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()), std::vector<std::string>{kVersion});
    EXPECT_TRUE(zelpro::TakeRecording().empty()) << "no client is made";
    EXPECT_EQ(instance->portEnabled, 0u);
    ExpectSentinels(instance.get());
    harness::RemoveInitFile(3);
}

TEST_F(Start, APortThatCannotBeOpenedLeavesTheStoredSettingsForTheOpenCommand) {
    OPEN_TEST_LINE(line);  // sets up the device folder, in which COM97 does not exist
    FillSentinels(instance.get());
    StartArgs args = MakeStartArgs("COM97", 300);
    zelpro::StartRecording();
    zelpro::StartCapture();
    EXPECT_EQ(Call(instance.get(), CmdStart, 9, &args), 2);
    auto log = zelpro::TakeCapture();
    EXPECT_EQ(harness::Texts(log), (std::vector<std::string>{kVersion,
                                                             "VPIVG: Fail to open COM97, VPI 9"}));
    for (const auto& entry : log) EXPECT_EQ(entry.level, 32);
    EXPECT_TRUE(zelpro::TakeRecording().empty());
    EXPECT_EQ(instance->portEnabled, 1u);
    ExpectSentinels(instance.get());

    // The open command uses what the instance holds, not the device the start record named.
    EXPECT_EQ(Call(instance.get(), CmdOpenPort, 9), 0);
    EXPECT_NE(instance->portHandle.load(), nullptr);
}

TEST_F(Start, ANameFillingAllTwelveBytesIsRefusedLikeAPortThatCannotBeOpened) {
    FillSentinels(instance.get());
    StartArgs args = MakeStartArgs("NUL");
    std::memset(args.name, 'C', sizeof args.name);  // no terminator in the field
    zelpro::StartCapture();
    EXPECT_EQ(Call(instance.get(), CmdStart, 12, &args), 2);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              (std::vector<std::string>{kVersion, "VPIVG: Fail to open CCCCCCCCCCCC, VPI 12"}));
    EXPECT_EQ(instance->portEnabled, 1u);
    ExpectSentinels(instance.get());

#if !defined(_WIN32)
    // Eleven characters fill the field with its terminator and are opened as such (a path to
    // the test line, natively only).
    OPEN_TEST_LINE(line);
    const std::string target =
        std::string(std::getenv("VPIVG_DEVICE_DIR")) + "/com" + line->DeviceName().substr(3);
    std::string path;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
        const std::string candidate = "/tmp/vg" + std::to_string(1000 + (std::rand() % 9000));
        std::error_code error;
        std::filesystem::create_symlink(target, candidate, error);
        if (!error) path = candidate;
    }
    ASSERT_EQ(path.size(), 11u);
    std::int32_t result = -1;
    StartWithoutClient(12, MakeStartArgs(path), &result);
    std::filesystem::remove(path);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(instance->port.name), path);
    EXPECT_NE(instance->portHandle.load(), nullptr);
#endif
}

TEST_F(Start, TheReadTimeoutIsRaisedTo100AndAppliedToThePort) {
    OPEN_TEST_LINE(line);
    struct Case {
        std::int32_t given;
        std::int32_t stored;
    };
    const Case cases[] = {{0, 100},   {99, 100},  {-1, 100}, {INT_MIN, 100},
                          {100, 100}, {101, 101}, {300, 300}};
    std::uint16_t parity = 1;
    for (const Case& c : cases) {
        StartArgs args = MakeStartArgs(line->DeviceName(), c.given);
        // Odd and even by turns: each start's line differs from the last one's, which Wine on a
        // pseudo-terminal needs (it refuses a repeat of the same 7-bit line with EINVAL).
        parity = static_cast<std::uint16_t>(3 - parity);
        args.line = LineParams{4800, 7, 2, parity};
        std::int32_t result = -1;
        auto log = StartWithoutClient(14, args, &result);
        EXPECT_EQ(result, 0) << "a missing client still answers 0";
        EXPECT_EQ(instance->readTimeout, c.stored) << c.given;
        HANDLE port = instance->portHandle.load();
        ASSERT_NE(port, nullptr);
        // The port's timeout reads back as what was stored.
        EXPECT_EQ(SerialSetReadTimeout(port, c.stored), c.stored) << c.given;
        EXPECT_STREQ(instance->port.name, line->DeviceName().c_str());
        EXPECT_EQ(instance->port.line.baud, 4800);
        EXPECT_EQ(instance->port.line.dataBits, 7);
        EXPECT_EQ(instance->port.line.stopBits, 2);
        EXPECT_EQ(instance->port.line.parity, parity);
        EXPECT_EQ(instance->port.lineFlags, 8);
        EXPECT_EQ(harness::Texts(log).back(), "VPIVG: Failed to Make Client. Vpi 14");
        ClosePort();
    }
}

TEST_F(Start, WithoutAHostClientThePortStaysOpenButNoEventOrThreadIsMade) {
    OPEN_TEST_LINE(line);
    for (std::uint32_t& word : instance->gateInUse) word = 1;
    instance->threadEnded = 2;  // any value but 1 is a live block; the start leaves it
    instance->clientId = 77;
    harness::RemoveInitFile(15);
    std::int32_t result = -1;
    auto log = StartWithoutClient(15, MakeStartArgs(line->DeviceName()), &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(harness::Texts(log),
              (std::vector<std::string>{kVersion, "VpiVG: Init File vpiVG15.int not found ! ",
                                        "VPIVG: Failed to Make Client. Vpi 15"}));
    EXPECT_EQ(instance->portEnabled, 1u);
    EXPECT_NE(instance->portHandle.load(), nullptr);
    EXPECT_EQ(instance->vpiNumber, 15);
    EXPECT_EQ(instance->statusWait, 60);
    EXPECT_EQ(instance->resetPending, 1u);
    std::uint32_t marked = 0;
    for (std::uint32_t word : instance->gateInUse) marked += word;
    EXPECT_EQ(marked, 0u);
    EXPECT_EQ(instance->clientId, 77u) << "a failed registration gave no id";
    EXPECT_EQ(instance->packetEvent.load(), nullptr);
    EXPECT_EQ(instance->threadEnded.load(), 2u);
    EXPECT_TRUE(zelpro::Clients().empty());

    // No thread: it would have announced itself at once.
    zelpro::StartCapture();
    SleepMs(300);
    EXPECT_TRUE(zelpro::TakeCapture().empty());
    // The VPI keeps answering through its handlers: the port can still be polled.
    ASSERT_EQ(harness::Parse(instance.get(), 15, "!POLL", 1, GateTypeDigital).result, 0);
    EXPECT_EQ(harness::Read(instance.get(), 15, "!POLL").result, 0);
    EXPECT_EQ(line->Read(7, 300), "@;390\n\r");
}

TEST_F(Start, TheInitFileSetsTheStatusWaitFromItsFirstLine) {
    struct Case {
        std::string content;
        std::uint16_t wait;
        std::string message;  // empty: none
    };
    const std::string badTime = "VpiVG: Invalid time (";
    const std::string badLine = "VpiVG: Invalid line (";
    const std::string file = ") in Init File vpiVG31.int ";
    const Case cases[] = {
        {"TIME=30\n", 30, ""},
        {"TIME=120", 120, ""},
        {"time = 45\r\n", 45, ""},
        {"\tTiMe=\t9 0\r\n", 90, ""},
        {"TIME=60;x\n", 60, ""},
        {"TIME=+45\n", 45, ""},
        {"TI\xE9ME=50\n", 50, ""},  // bytes above 0x7F are dropped like blanks
        {"TIME=45\nTIME=90\n", 45, ""},
        {"TIME=29\n", 60, badTime + "29" + file},
        {"TIME=121\n", 60, badTime + "121" + file},
        {"TIME=-50\n", 60, badTime + "-50" + file},
        {"TIME=\n", 60, badTime + file},
        {"TIME=0060\n", 60, badTime + "006" + file},  // only 8 characters are kept
        {"TIME=1e2\n", 60, badTime + "1E2" + file},
        {"TIME=abc\n", 60, badTime + "ABC" + file},
        {"PERIOD=60\n", 60, badLine + "PERIOD=6" + file},
        {std::string(16, ' ') + "TIME=60\n", 60, badLine + "TIME" + file},  // 20 examined
        {"", 60, badLine + file},
        {"\n", 60, badLine + file},
        {"PERIOD\nTIME=60\n", 60, badLine + "PERIOD" + file},  // the second line is not read
        {"TIM\nE=60\n", 60, badLine + "TIM" + file},
    };
    for (const Case& c : cases) {
        harness::WriteInitFile(31, c.content);
        std::int32_t result = -1;
        auto log = StartWithoutClient(31, MakeStartArgs("NUL"), &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(instance->statusWait, c.wait) << c.content;
        std::vector<std::string> expected{kVersion};
        if (!c.message.empty()) expected.push_back(c.message);
        expected.push_back("VPIVG: Failed to Make Client. Vpi 31");
        EXPECT_EQ(harness::Texts(log), expected) << c.content;
        ClosePort();
    }
    harness::RemoveInitFile(31);
}

TEST_F(Start, FileAndClientNamesFollowTheVpiNumberWithoutOverrunningTheirBuffers) {
    struct Case {
        std::int32_t vpi;
        std::string file;    // as the not-found message names it
        std::string client;
        std::uint16_t stored;
    };
    const Case cases[] = {
        {7, "vpiVG07.int", "VG_No_07", 7},
        {112, "vpiVG112.int", "VG_No_112", 112},
        {0, "vpiVG00.int", "VG_No_00", 0},
        {-3, "vpiVG-03.int", "VG_No_-03", 65533},
        {70000, "vpiVG70000.int", "VG_No_70000", 4464},
        {999999, "vpiVG999999.int", "VG_No_999999", 16959},
        {-99999, "vpiVG-99999.int", "VG_No_-99999", 31073},
        // Names too long for the 16-character file name: nothing is opened.
        {1000000, "vpiVG1000000.in", "VG_No_1000000", 16960},
        {INT_MIN, "vpiVG-214748364", "VG_No_-2147483648", 0},
        {INT_MAX, "vpiVG2147483647", "VG_No_2147483647", 65535},
    };
    for (const Case& c : cases) {
        harness::RemoveInitFile(c.vpi);
        zelpro::StartRecording();
        auto log = StartWithoutClient(c.vpi, MakeStartArgs("NUL"));
        auto calls = zelpro::TakeRecording();
        EXPECT_EQ(harness::Texts(log),
                  (std::vector<std::string>{kVersion, "VpiVG: Init File " + c.file + " not found ! ",
                                            "VPIVG: Failed to Make Client. Vpi " +
                                                std::to_string(c.vpi)}));
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].function, "Zel5MkClient");
        EXPECT_EQ(calls[0].address, c.client);
        EXPECT_EQ(calls[0].mode, 1);
        EXPECT_EQ(instance->vpiNumber, c.stored) << c.vpi;
        ClosePort();
    }

    // A file that the cut name would match is not read for the longer VPI number.
    harness::WriteInitFile(100000, "TIME=90\n");  // vpiVG100000.int
    std::ofstream("vpiVG1000000.in") << "TIME=90\n";
    StartWithoutClient(1000000, MakeStartArgs("NUL"));
    EXPECT_EQ(instance->statusWait, 60);
    ClosePort();
    // The six-digit one is read.
    StartWithoutClient(100000, MakeStartArgs("NUL"));
    EXPECT_EQ(instance->statusWait, 90);
    harness::RemoveInitFile(100000);
    std::filesystem::remove("vpiVG1000000.in");
}

}  // namespace
