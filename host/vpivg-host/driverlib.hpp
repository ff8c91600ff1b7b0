// Finding and loading the driver library.
#pragma once

#include <cstdint>
#include <string>

#include "records.hpp"

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

}  // namespace vpihost
