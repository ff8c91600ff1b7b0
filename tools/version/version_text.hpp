// What the programs say for --version, and which build of the driver a host has loaded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// "vpivg-host 7.0.0 (revision 0123456789ab)": this build's version and source revision.
std::string ToolVersionText(std::string_view program);

// The identity a driver library carries: its version resource on Windows, an ELF note on Linux.
struct DriverIdentity {
    std::string file;      // the library's path as the system loaded it
    std::string version;   // "7.0.0"
    std::string revision;  // "0123456789ab", or "unknown" for a build outside a checkout
};

// Reads the identity of the loaded library that holds `codeAddress` (e.g. its VpiMain). Nullopt,
// with the reason in `why`, when no loaded library holds the address or it carries no identity
// (a driver built before it had one, or not ours).
std::optional<DriverIdentity> ReadDriverIdentity(const void* codeAddress, std::string* why);

// "driver /usr/lib/libvpivg.so 7.0.0 (revision 0123456789ab)"
std::string DriverVersionText(const DriverIdentity& identity);
