// vpivg-host: the stand-in SCADA host for the vpivg driver.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commandline.hpp"
#include "host.hpp"
#include "portname.hpp"
#include "stop_signal.hpp"
#include "version.hpp"

namespace {

// Standard output may be a file or a pipe: a failed write there is an error like any other.
int Finish(int code, bool threadsLeftRunning) {
    errno = 0;
    std::cout.flush();
    if (!std::cout) {
        // Said once: the run may have found it already (its stop then said why).
        if (!vpihost::StdoutFailureReported()) {
            std::cerr << "vpivg-host: cannot write to standard output"
                      << (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string())
                      << "\n";
        }
        if (code == 0) code = 1;
    }
    std::cerr.flush();
    vpitools::NoteStopFinished();
    // A driver thread still in its start pause could wake during the destructors of a normal
    // exit and find the host runtime gone: leave without them.
    if (threadsLeftRunning) vpitools::ExitNow(code);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    vpitools::IgnoreBrokenPipe();
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
    vpitools::InstallStopHandlers();
    vpitools::SetResizeFlag(&vpihost::terminalResized);
    std::atomic<bool>& stop = vpitools::StopFlag();
    if (options.demo) return Finish(vpihost::RunDemo(config, stop, std::cout, std::cerr), false);
    vpihost::Host host(config, std::cout, std::cerr);
    int code = host.Run(stop);
    return Finish(code, host.ThreadsLeftRunning());
}
