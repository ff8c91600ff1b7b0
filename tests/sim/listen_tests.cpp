// vpivg-sim's plant capture: it must take everything the line carries and never send a byte,
// since at a plant the line belongs to the instrument.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "simcore.hpp"
#include "testline.hpp"

namespace {

TEST(SimProgram, ListenRecordsWhatArrivesAndSendsNothing) {
    if (!std::filesystem::exists("vpivg-sim")) GTEST_SKIP() << "no vpivg-sim in the working folder";
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) GTEST_SKIP() << why;
    const auto capture = std::filesystem::temp_directory_path() /
                         ("vpivg-listen-" + std::to_string(getpid()) + ".txt");
    const std::string command = "./vpivg-sim --port " + line->DeviceName() +
                                " --listen --record '" + capture.string() +
                                "' --duration 2 --quiet";
    int status = -1;
    std::thread program([&] { status = std::system(command.c_str()); });
    SleepMs(700);
    const std::string sent = "a;1;01;02;02;03;03;4;04;01;05;1.5\n\r@;390\n\r";
    ASSERT_TRUE(line->Write(sent));
    program.join();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(line->Read(1, 100), "") << "the simulator sent something while listening";

    std::stringstream text;
    text << std::ifstream(capture).rdbuf();
    std::vector<vpisim::CaptureChunk> chunks;
    ASSERT_TRUE(vpisim::ParseCapture(text.str(), &chunks, &why)) << why;
    std::string recorded;
    for (const auto& chunk : chunks) recorded += chunk.bytes;
    EXPECT_EQ(recorded, sent) << "a poll on the line is recorded, not answered";
    std::filesystem::remove(capture);
}

TEST(SimProgram, ListenWithoutARecordFileIsRefused) {
    if (!std::filesystem::exists("vpivg-sim")) GTEST_SKIP() << "no vpivg-sim in the working folder";
    int status = std::system("./vpivg-sim --port COM1 --listen > /dev/null 2>&1");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
#endif
