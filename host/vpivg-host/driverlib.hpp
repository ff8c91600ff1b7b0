// Finding and loading the driver library.
#pragma once

#include <cstdint>
#include <string>

#include <vpivg/vpivg.h>

namespace vpihost {

#if defined(_WIN32)
using VpiMainFunction = std::int32_t(__stdcall*)(VpiRequest*);
#else
using VpiMainFunction = std::int32_t (*)(VpiRequest*);
#endif

// The folder the running program lives in ("" when it cannot be told).
std::string ProgramFolder();
// Loads the driver (libvpivg.so / vpivg.dll) and finds VpiMain. `path` empty: next to the
// program. The library stays loaded for the life of the process: its threads may outlive a run.
VpiMainFunction LoadDriver(const std::string& path, std::string* why);

// The driver the host loads when no --driver is given: the one next to the program, else the
// one where the packages put it (beside the tools' folder in the Windows zip, the library folder
// of the Linux package, relative to the program, so an unpacked package runs where it lies).
std::string DefaultDriverPath();

}  // namespace vpihost
