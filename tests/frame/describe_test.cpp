// What the host learns from CmdDescribe, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/frame.hpp"
#include "instance.hpp"

namespace {

DriverInfo Describe(VpiInstance* instance) {
    DriverInfo info;
    std::memset(&info, 0xEE, sizeof info);
    VpiRequest request{};
    request.instance = instance;
    request.command = CmdDescribe;
    request.args = &info;
    EXPECT_EQ(VpiMain(&request), 0);
    return info;
}

std::vector<std::string> BannerLines(const char* banner) {
    std::vector<std::string> lines;
    std::string text(banner);
    std::size_t start = 1;  // the banner opens with a line feed
    for (std::size_t at = text.find('\n', start); at != std::string::npos;
         at = text.find('\n', start)) {
        lines.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    return lines;
}

std::string Repeat(unsigned char c, std::size_t n) { return std::string(n, static_cast<char>(c)); }

TEST(Describe, FillsEveryFieldWithoutAnInstance) {
    DriverInfo info = Describe(nullptr);
    EXPECT_EQ(info.constant70, 70u);
    EXPECT_STREQ(info.name, "VI Dov Udozevez");
    EXPECT_EQ(info.instanceSize, sizeof(VpiInstance));
#if defined(_WIN32) && !defined(_WIN64)
    EXPECT_EQ(info.instanceSize, 262196u);
#endif
    EXPECT_EQ(info.constant4, 4u);
    EXPECT_EQ(info.defaultLine.baud, 9600);
    EXPECT_EQ(info.defaultLine.dataBits, 8);
    EXPECT_EQ(info.defaultLine.stopBits, 0);
    EXPECT_EQ(info.defaultLine.parity, 0);
    EXPECT_EQ(info.constant3, 3u);
}

TEST(Describe, BannerHasItsExactGeometry) {
    const char* banner = Describe(nullptr).banner;
    ASSERT_EQ(std::strlen(banner), 379u);
    EXPECT_EQ(banner[0], '\n');
    EXPECT_EQ(banner[378], '\n');
    std::vector<std::string> lines = BannerLines(banner);
    ASSERT_EQ(lines.size(), 6u);
    for (const std::string& line : lines) EXPECT_EQ(line.size(), 62u) << line;

    EXPECT_EQ(lines[0], Repeat(0xDA, 1) + Repeat(0xC4, 60) + Repeat(0xBF, 1));
    EXPECT_EQ(lines[1], Repeat(0xB3, 1) + " " + Repeat(0xDB, 5) + Repeat(0xB2, 6) +
                            Repeat(0xB1, 6) + Repeat(0xB0, 6) + " V P I V G   " +
                            Repeat(0xB0, 4) + Repeat(0xB1, 6) + Repeat(0xB2, 6) +
                            Repeat(0xDB, 5) + "  " + Repeat(0xB3, 1));
    EXPECT_EQ(lines[2], Repeat(0xB3, 1) +
                            "     VG Gas Analysis mass spectrometer driver installed.    " +
                            Repeat(0xB3, 1));
    EXPECT_EQ(lines[3], Repeat(0xB3, 1) +
                            "                 VG Communications Protocol.                " +
                            Repeat(0xB3, 1));
    EXPECT_EQ(static_cast<unsigned char>(lines[4].front()), 0xB3);
    EXPECT_EQ(static_cast<unsigned char>(lines[4].back()), 0xB3);
    std::size_t version = lines[4].find("Version 7.00");
    ASSERT_NE(version, std::string::npos);
    std::size_t before = version - 1, after = 61 - (version + 12);
    EXPECT_LE(before > after ? before - after : after - before, 1u) << "version line is centred";
    EXPECT_EQ(lines[5], Repeat(0xC0, 1) + Repeat(0xC4, 60) + Repeat(0xD9, 1));
}

TEST(Describe, WorksAfterTheThreadHasEnded) {
    auto instance = std::make_unique<VpiInstance>();
    instance->threadEnded = 1;
    DriverInfo info = Describe(instance.get());
    EXPECT_EQ(info.constant70, 70u);
    EXPECT_EQ(instance->packetEvent.load(), nullptr);
}

TEST(Describe, RefusesAMissingRecord) {
    VpiRequest request{};
    request.command = CmdDescribe;
    EXPECT_EQ(VpiMain(&request), 1);
}

}  // namespace
