// The dispatcher: which commands reach a handler, and how an ended VPI is answered.
#include <gtest/gtest.h>

#include <memory>

#include <zelpro/zelpro.h>

#include "frame/frame.hpp"
#include "instance.hpp"
#include "control.hpp"

namespace {

std::int32_t Call(VpiInstance* instance, std::int32_t command, void* args = nullptr) {
    VpiRequest request{};
    request.instance = instance;
    request.command = command;
    request.vpiNumber = 1;
    request.args = args;
    return VpiMain(&request);
}

TEST(Dispatch, EmptyAndOutOfRangeCodesAreRefusedWithoutTouchingTheInstance) {
    auto instance = std::make_unique<VpiInstance>();
    zelpro::StartCapture();
    for (std::int32_t code : {0, 8, 9, 16, 17, 255, -1, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(Call(instance.get(), code), 1) << code;
    }
    EXPECT_TRUE(zelpro::TakeCapture().empty());
    EXPECT_EQ(instance->resetPending, 0u);
}

TEST(Dispatch, NullRequestOrInstanceIsRefused) {
    EXPECT_EQ(VpiMain(nullptr), 1);
    EXPECT_EQ(Call(nullptr, CmdRead), 1);
    EXPECT_EQ(Call(nullptr, CmdClose), 1);
}

TEST(Dispatch, UnsupportedCommandAnswersOneThroughItsHandler) {
    auto instance = std::make_unique<VpiInstance>();
    EXPECT_EQ(Call(instance.get(), CmdUnsupported4), 1);
}

TEST(Dispatch, AnEndedVpiAnswersZeroAndClosesItsEventOnce) {
    auto instance = std::make_unique<VpiInstance>();
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    instance->packetEvent = event;
    instance->threadEnded = 1;
    zelpro::StartCapture();
    char address[] = "I01P01";
    GateAccessArgs access{};
    access.address = address;
    EXPECT_EQ(Call(instance.get(), CmdRead, &access), 0);
    EXPECT_EQ(instance->packetEvent.load(), nullptr);
    // The handle is gone: waiting on it fails instead of succeeding.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    for (std::int32_t code : {CmdStart, CmdWarmStart, CmdParseAddress, CmdUnsupported4, CmdRead,
                              CmdBlockRead, CmdWrite, CmdBlockWrite, CmdClose, CmdClosePort,
                              CmdOpenPort, CmdSetPort}) {
        EXPECT_EQ(Call(instance.get(), code), 0) << code;
    }
    EXPECT_TRUE(zelpro::TakeCapture().empty()) << "no handler ran";
    EXPECT_EQ(instance->resetPending, 0u);
}

}  // namespace
