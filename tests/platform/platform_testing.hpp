// Small helpers the platform tests share.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kernel_speed.hpp"
#include "platform.hpp"
#include "testline.hpp"

namespace platform_testing {

// Descriptors the process holds right now: a failed open must leave this unchanged.
inline int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// The path the layer resolves a test line's "COMn" to.
inline std::string DevicePath(const TestLine& line) {
    const char* dir = std::getenv("VPIVG_DEVICE_DIR");
    std::string name = line.DeviceName();  // "COM7"
    return std::string(dir ? dir : "") + "/com" + name.substr(3);
}

inline HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline bool SetReadTimeout(HANDLE handle, DWORD constantMs, DWORD multiplierMs = 0) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = constantMs;
    timeouts.ReadTotalTimeoutMultiplier = multiplierMs;
    return SetCommTimeouts(handle, &timeouts) != FALSE;
}

class Stopwatch {
public:
    long long Ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace platform_testing
