// What the gate and lifecycle tests do the way a host does: allocate a zero-filled VPI block,
// send commands through VpiMain, start a VPI on a test line and stop it again through its client.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <zelpro/zelpro.h>

#include "control.hpp"
#include "frame/frame.hpp"
#include "instance.hpp"
#include "testline.hpp"

namespace harness {

// The host's zero-filled block (262 KB: never on the stack).
inline std::unique_ptr<VpiInstance> NewInstance() { return std::make_unique<VpiInstance>(); }

inline std::int32_t Call(VpiInstance* instance, std::int32_t command, std::int32_t vpi,
                         void* args = nullptr) {
    VpiRequest request{};
    request.instance = instance;
    request.command = command;
    request.vpiNumber = vpi;
    request.args = args;
    return VpiMain(&request);
}

// Init files are looked up in the current directory: every test program works in a private
// folder of its own, so parallel test processes never see each other's files.
inline void EnterScratchDirectory() {
    static const bool entered = [] {
        std::random_device entropy;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        const auto dir = std::filesystem::temp_directory_path() /
                         ("vpivg-test-" + std::to_string(entropy()) + "-" +
                          std::to_string(static_cast<unsigned long long>(stamp)));
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
        return true;
    }();
    (void)entered;
}

inline std::string InitFileName(std::int32_t vpi) {
    char name[32];
    std::snprintf(name, sizeof name, "vpiVG%.2d.int", vpi);
    return name;
}

// Written byte for byte, so the test decides every line end.
inline void WriteInitFile(std::int32_t vpi, const std::string& content) {
    std::ofstream(InitFileName(vpi), std::ios::binary | std::ios::trunc) << content;
}

inline void RemoveInitFile(std::int32_t vpi) { std::filesystem::remove(InitFileName(vpi)); }

inline std::vector<std::string> Texts(const std::vector<zelpro::LogLine>& lines, int level = -1) {
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        if (level < 0 || line.level == level) texts.push_back(line.text);
    }
    return texts;
}

inline bool Logged(const std::vector<zelpro::LogLine>& lines, const std::string& text,
                   int level = -1) {
    for (const auto& line : lines) {
        if (line.text == text && (level < 0 || line.level == level)) return true;
    }
    return false;
}

inline StartArgs MakeStartArgs(const std::string& device, std::int32_t readTimeout = 100,
                               std::int32_t enabled = 1) {
    StartArgs args{};
    std::strncpy(args.name, device.c_str(), sizeof args.name - 1);
    args.portEnabled = enabled;
    args.readTimeout = readTimeout;
    args.line = LineParams{9600, 8, 0, 0};
    return args;
}

// A report from the instrument for stream 5 with parameter 5 as given, trailer included.
inline std::string Report(const std::string& parameter5, const std::string& value01 = "07") {
    return "a;12345;01;" + value01 + ";02;03;03;1234567;04;05;05;" + parameter5 + "\n\r";
}

inline double ValueOf(std::uint32_t id) {
    auto gate = zelpro::Gate(id);
    return gate ? gate->value : -12345.0;
}

inline std::uint64_t GateWrites(std::uint32_t id) {
    auto gate = zelpro::Gate(id);
    return gate ? gate->writes : 0;
}

struct ParseResult {
    std::int32_t result;
    GateParseArgs args;
};

inline ParseResult Parse(VpiInstance* instance, std::int32_t vpi, const char* address,
                         std::int32_t gateId, std::int32_t gateType) {
    ParseResult out{};
    out.args.address = address;
    out.args.gateId = gateId;
    out.args.gateType = gateType;
    out.result = Call(instance, CmdParseAddress, vpi, &out.args);
    return out;
}

// A read as the host makes it; `area` keeps whatever the caller put in it when not written.
struct ReadResult {
    std::int32_t result;
    std::uint32_t raw;  // the four bytes of the value area
    float real() const {
        float value;
        std::memcpy(&value, &raw, sizeof value);
        return value;
    }
    std::uint16_t digital() const {
        ::GateValue area;
        std::memcpy(&area, &raw, sizeof area);
        return area.digitalState;
    }
};

constexpr std::uint32_t kUntouched = 0xA5A5A5A5u;

inline ReadResult Read(VpiInstance* instance, std::int32_t vpi, const char* address,
                       std::int32_t gateType = GateTypeDigital) {
    ::GateValue area;
    std::memcpy(&area, &kUntouched, sizeof area);
    GateAccessArgs args{};
    args.address = address;
    args.gateType = gateType;
    args.valueArea = &area;
    ReadResult out{};
    out.result = Call(instance, CmdRead, vpi, &args);
    std::memcpy(&out.raw, &area, sizeof area);
    return out;
}

// A test line or, where this machine has none, the reason to skip.
#define OPEN_TEST_LINE(var)                                      \
    std::string var##Why;                                        \
    auto var = TestLine::Open(&var##Why);                        \
    if (!var) GTEST_SKIP() << "no test line: " << var##Why

// A started VPI whose thread must be ended before its block goes: the destructor stops the
// client through the host and waits for the thread to remove it, whatever the test did.
class RunningVpi {
public:
    RunningVpi(std::int32_t vpi, const std::string& device, std::int32_t readTimeout = 100)
        : vpi_(vpi), instance_(NewInstance()) {
        StartArgs args = MakeStartArgs(device, readTimeout);
        result_ = harness::Call(instance_.get(), CmdStart, vpi, &args);
        char name[32];
        std::snprintf(name, sizeof name, "VG_No_%.2d", vpi);
        clientName_ = name;
    }
    ~RunningVpi() { Stop(); }
    RunningVpi(const RunningVpi&) = delete;
    RunningVpi& operator=(const RunningVpi&) = delete;

    std::int32_t startResult() const { return result_; }
    VpiInstance* instance() const { return instance_.get(); }
    std::int32_t vpi() const { return vpi_; }
    const std::string& clientName() const { return clientName_; }
    std::int32_t Call(std::int32_t command, void* args = nullptr) const {
        return harness::Call(instance_.get(), command, vpi_, args);
    }

    // Makes the host stop the client and waits until the thread has removed it (it pauses 4 s
    // after its start and 1 s before leaving).
    bool Stop() {
        if (stopped_) return true;
        stopped_ = true;
        if (!zelpro::FindClient(clientName_)) return true;  // no thread was started
        zelpro::StopClient(static_cast<unsigned char>(instance_->clientId & 0xFF));
        const bool ended = WaitFor([&] { return instance_->threadEnded.load() == 1; }, 10000);
        const bool removed = WaitFor([&] { return !zelpro::FindClient(clientName_); }, 5000);
        SleepMs(50);  // the thread's last message comes after the removal
        HANDLE port = instance_->portHandle.exchange(nullptr);
        if (port != nullptr) CloseHandle(port);
        return ended && removed;
    }

private:
    std::int32_t vpi_;
    std::unique_ptr<VpiInstance> instance_;
    std::int32_t result_ = -1;
    std::string clientName_;
    bool stopped_ = false;
};

// Every test starts from a fresh host runtime in the private folder.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnterScratchDirectory();
        zelpro::Reset();
    }
    void TearDown() override {
        zelpro::InjectFault(zelpro::Fault::MakeClient, 0);
        zelpro::InjectFault(zelpro::Fault::Lookup, 0);
        zelpro::InjectFault(zelpro::Fault::PutValue, 0);
        zelpro::InjectFault(zelpro::Fault::GetValue, 0);
    }
};

}  // namespace harness
