// Output files on a full disk (Linux): the failure names the file and the OS reason, and the
// file is cut back to its last whole line.
#if !defined(_WIN32)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "output_file.hpp"

using namespace vpitools;

TEST(ToolsOutputFile, AFullDiskIsReportedWithTheFileAndTheReason) {
    OutputFile file;
    ASSERT_TRUE(file.Open("/dev/full", true)) << file.Error();
    EXPECT_FALSE(file.Write("a line\n"));
    EXPECT_TRUE(file.Failed());
    EXPECT_EQ(file.Error(), "cannot write /dev/full: no space left on device");
    EXPECT_FALSE(file.Write("another\n")) << "nothing more goes to a failed file";
    EXPECT_FALSE(file.Close()) << "closing does not forget the failure";
}

TEST(ToolsOutputFile, AWriteThatGetsPartWayIsCutBackToTheLastWholeLine) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("vpivg-out-cut-" + std::to_string(getpid()) + ".txt");
    std::filesystem::remove(path);
    // The file-size limit stands in for a disk that fills during a write: the kernel takes the
    // bytes up to the limit and refuses the rest.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        OutputFile file;
        if (!file.Open(path.string(), false)) _exit(10);
        const std::string line(39, 'x');
        if (!file.Write(line + "\n") || !file.Write(line + "\n")) _exit(11);
        if (file.Write(line + "\n")) _exit(12);  // crosses the limit at byte 100
        if (file.Error().find("cannot write " + path.string() + ": file too large") != 0) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 80u) << "the half line is cut off";
    std::filesystem::remove(path);
}
#endif
