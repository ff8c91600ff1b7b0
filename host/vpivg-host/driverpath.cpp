// Where the host finds the driver when the command line does not say: next to the program (the
// build folder, a plant's own layout), else where the packages put it relative to the program.
// VPIVG_PACKAGED_DRIVER_DIR is that place, set by the packaging rules ("../lib/..." in the Linux
// package, ".." in the Windows zip, whose tools sit in a folder of their own).
#include <filesystem>
#include <system_error>

#include "driverlib.hpp"

#ifndef VPIVG_PACKAGED_DRIVER_DIR
#define VPIVG_PACKAGED_DRIVER_DIR ".."
#endif

namespace vpihost {

namespace {

#if defined(_WIN32)
constexpr const char* kDriverFile = "vpivg.dll";
#else
constexpr const char* kDriverFile = "libvpivg.so";
#endif

}  // namespace

std::string DefaultDriverPath() {
    std::string folder = ProgramFolder();
    std::filesystem::path beside = std::filesystem::path(folder.empty() ? "." : folder) / kDriverFile;
    std::filesystem::path packaged =
        std::filesystem::path(folder.empty() ? "." : folder) / VPIVG_PACKAGED_DRIVER_DIR / kDriverFile;
    std::error_code error;
    if (!std::filesystem::exists(beside, error) &&
        std::filesystem::exists(packaged, error)) {
        return packaged.lexically_normal().string();
    }
    // The one beside the program; if it is missing too, the load's error names it.
    return beside.string();
}

}  // namespace vpihost
