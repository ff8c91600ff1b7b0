// Output files: never replace a record by accident, and never leave one that looks whole after a
// write failed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "output_file.hpp"

using namespace vpitools;

namespace {

std::filesystem::path TempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("vpivg-out-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + name);
}

std::string Contents(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace

TEST(ToolsOutputFile, AnExistingFileIsKeptUnlessOverwriteIsAsked) {
    const auto path = TempPath("keep.txt");
    std::filesystem::remove(path);
    {
        OutputFile first;
        ASSERT_TRUE(first.Open(path.string(), false)) << first.Error();
        EXPECT_TRUE(first.Write("first run\n"));
        EXPECT_TRUE(first.Close());
    }
    OutputFile second;
    EXPECT_FALSE(second.Open(path.string(), false));
    EXPECT_NE(second.Error().find(path.string()), std::string::npos) << second.Error();
    EXPECT_NE(second.Error().find("exists"), std::string::npos) << second.Error();
    EXPECT_FALSE(second.Write("lost\n"));
    EXPECT_EQ(Contents(path), "first run\n");

    OutputFile third;
    ASSERT_TRUE(third.Open(path.string(), true)) << third.Error();
    EXPECT_TRUE(third.Write("second run\n"));
    EXPECT_TRUE(third.Close());
    EXPECT_EQ(Contents(path), "second run\n");
    std::filesystem::remove(path);
}

TEST(ToolsOutputFile, AFolderThatIsNotThereIsNamed) {
    OutputFile file;
    const auto path = TempPath("no-such-folder") / "x.txt";
    EXPECT_FALSE(file.Open(path.string(), false));
    EXPECT_NE(file.Error().find("cannot create " + path.string() + ": "), std::string::npos)
        << file.Error();
}
