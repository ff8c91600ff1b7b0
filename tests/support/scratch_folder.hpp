// What test files of every folder share: a scratch folder of their own and reading a file whole.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

// A new folder under the system's temporary folder; the clock keeps two runs (or two tests of
// one run) apart.
inline std::filesystem::path FreshFolder(const std::string& name) {
    auto folder = std::filesystem::temp_directory_path() /
                  ("vpivg-test-" + name + "-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder);
    return folder;
}

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testsupport
