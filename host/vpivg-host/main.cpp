// vpivg-host: the stand-in SCADA host for the vpivg driver.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "commandline.hpp"
#include "host.hpp"
#include "portname.hpp"
#include "version.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::atomic<bool> stopRequested{false};

// The first Ctrl-C asks for an orderly stop; a second one ends the program at once (the
// cursor made visible again, in case the live view hid it).
void SecondStop() {
    static const char kShowCursor[] = "\x1b[?25h\r\n";
#if defined(_WIN32)
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kShowCursor, sizeof kShowCursor - 1, &written, nullptr);
#else
    if (write(STDOUT_FILENO, kShowCursor, sizeof kShowCursor - 1) < 0) {
        // Nothing to be done about it: the program is ending anyway.
    }
#endif
    std::_Exit(130);
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD) {
    if (stopRequested.exchange(true)) SecondStop();
    return TRUE;
}
#else
void OnSignal(int) {
    if (stopRequested.exchange(true)) SecondStop();
}
void OnResize(int) { vpihost::terminalResized = true; }
#endif

void CatchSignals() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction resize {};
    resize.sa_handler = OnResize;
    sigemptyset(&resize.sa_mask);
    resize.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &resize, nullptr);
#endif
}

// Standard output may be a file or a pipe: a failed write there is an error like any other.
int Finish(int code, bool threadsLeftRunning) {
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "vpivg-host: cannot write to standard output\n";
        if (code == 0) code = 1;
    }
    // A driver thread still in its start pause could wake during the destructors of a normal
    // exit and find the host runtime gone: leave without them.
    if (threadsLeftRunning) {
        std::cerr.flush();
        std::_Exit(code);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vpihost::HostOptions options;
    vpihost::HostConfig config;
    // Nothing has been loaded or started while the command line is read.
    if (auto exit = vpihost::ParseCommandLine(args, &options, &config)) {
        return Finish(*exit, false);
    }
    if (options.version) return Finish(vpihost::PrintVersion(options.driverPath, std::cout, std::cerr), false);
    if (options.listPorts) return Finish(vpihost::ListPorts(std::cout, std::cerr), false);
    // What a service's installer or a release check runs before the real start.
    if (options.checkConfig) {
        std::cout << "vpivg-host: " << options.configPath << ": the settings hold (" << config.vpis.size()
                  << (config.vpis.size() == 1 ? " VPI" : " VPIs") << "); nothing was started\n";
        return Finish(0, false);
    }
    CatchSignals();
    if (options.demo) return Finish(vpihost::RunDemo(config, stopRequested, std::cout, std::cerr), false);
    vpihost::Host host(config, std::cout, std::cerr);
    int code = host.Run(stopRequested);
    return Finish(code, host.ThreadsLeftRunning());
}
