// Port names: one port however it is spelt, and a listing that runs on every system.
#include <gtest/gtest.h>

#include "ports.hpp"

using namespace vpitools;

TEST(ToolsPortNames, EverySpellingOfAComPortIsOnePort) {
    EXPECT_EQ(PortKey("COM1"), PortKey("\\\\.\\COM1"));
    EXPECT_EQ(PortKey("COM1"), PortKey("com1"));
    EXPECT_EQ(PortKey("\\\\.\\COM12"), PortKey("Com12"));
    EXPECT_NE(PortKey("COM1"), PortKey("COM11"));
    EXPECT_NE(PortKey("COM1"), PortKey("COM2"));
    EXPECT_EQ(PortKey("NUL"), PortKey("\\\\.\\nul"));
}

TEST(ToolsPortNames, ListingPrintsOnePortALineOrSaysThereIsNone) {
    EXPECT_EQ(FormatPortList({}), "no serial ports found\n");
    EXPECT_EQ(FormatPortList({{"/dev/ttyS0", ""}, {"/dev/serial/by-id/usb-x", "/dev/ttyUSB0"}}),
              "/dev/ttyS0\n/dev/serial/by-id/usb-x  -> /dev/ttyUSB0\n");
    // Whatever the machine has, every entry names something to give as --port.
    for (const PortEntry& port : ListPorts()) EXPECT_FALSE(port.name.empty());
}
