// vpivg-host's command line. Every flag but --config, --check-config, --list-ports and --version
// is also a setting of the config file, by the same name; a flag given wins over the file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config.hpp"

namespace vpihost {

struct HostOptions {
    bool demo = false;
    bool listPorts = false;
    bool checkConfig = false;  // --check-config: the file and flags read, nothing started
    std::string configPath;
    bool version = false;    // --version: this build's and the driver's
    std::string driverPath;  // with --version: the --driver given, if any
};

// Parses argv without the program name. Nullopt: run with `options` and `config`. Otherwise
// the program ends with that status: 0 after --help or --version (written to standard output),
// 2 after a mistake (said on standard error, with where to look).
std::optional<int> ParseCommandLine(const std::vector<std::string>& args, HostOptions* options,
                                    HostConfig* config);

// The long flag names ("scan-period-ms", ...), for the check that file and flags agree.
std::vector<std::string> FlagNames();

}  // namespace vpihost
