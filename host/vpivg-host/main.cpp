// vpivg-host: the stand-in SCADA host for the vpivg driver.
#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "config.hpp"
#include "host.hpp"
#include "version.hpp"

namespace {

std::atomic<bool> stopRequested{false};

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD) {
    stopRequested = true;
    return TRUE;
}
#else
void OnSignal(int) { stopRequested = true; }
#endif

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vpihost::HostOptions options;
    vpihost::HostConfig config;
    vpihost::ConfigError error;
    if (!vpihost::ParseCommandLine(args, &options, &config, &error)) {
        // Nothing has been loaded or started at this point.
        std::cerr << "vpivg-host: " << error.Text() << "\n";
        if (error.file.empty()) std::cerr << vpihost::kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << vpihost::kUsage;
        return 0;
    }
    if (options.version) return vpihost::PrintVersion(options.driverPath, std::cout, std::cerr);
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
    if (options.demo) return vpihost::RunDemo(options, stopRequested, std::cout);
    vpihost::Host host(config, options, std::cout);
    return host.Run(stopRequested);
}
