#include "devicefolder.hpp"

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "port_names.hpp"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace vpihost {

DeviceFolder::~DeviceFolder() {
    if (!managed_) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool DeviceFolder::Prepare(const std::string& setting, std::vector<VpiConfig>& vpis,
                           std::vector<std::string>* notes, std::string* why) {
    bool anyLong = false;
    for (const VpiConfig& vpi : vpis) anyLong = anyLong || vpi.driverPort.empty();
    const char* environment = std::getenv("VPIVG_DEVICE_DIR");
    path_ = !setting.empty() ? setting : environment ? environment : "";
    if (!anyLong && setting.empty()) return true;  // the driver resolves every name itself
#if defined(_WIN32)
    (void)notes;
    if (anyLong) {
        *why = "a device path longer than 11 characters cannot be used on Windows";
        return false;
    }
    return true;
#else
    std::error_code error;
    if (path_.empty()) {
        std::string pattern = (fs::temp_directory_path(error) / "vpivg-host-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            *why = "cannot make a device folder " + pattern + ": " + std::strerror(errno);
            return false;
        }
        path_ = pattern;
        managed_ = true;
    } else if (!fs::is_directory(path_, error)) {
        *why = "device folder " + path_ + " is not a folder" + (error ? ": " + error.message() : "");
        return false;
    }
    std::set<int> taken;
    for (const VpiConfig& vpi : vpis) {
        if (int n = vpitools::ComNumber(vpi.driverPort)) taken.insert(n);
    }
    auto link = [&](const fs::path& target, int number) {
        fs::path name = fs::path(path_) / ("com" + std::to_string(number));
        fs::create_symlink(target, name, error);
        if (error) {
            *why = "cannot link " + name.string() + " to " + target.string() + ": " + error.message();
            return false;
        }
        return true;
    };
    if (managed_) {
        // Without a folder COMn opens /dev/ttyS(n-1); in ours it must still.
        for (int n : taken) {
            if (!link("/dev/ttyS" + std::to_string(n - 1), n)) return false;
        }
    }
    for (VpiConfig& vpi : vpis) {
        if (!vpi.driverPort.empty()) continue;
        int number = 0;
        for (int n = 1; n <= 9999 && number == 0; ++n) {
            if (taken.count(n)) continue;
            fs::path name = fs::path(path_) / ("com" + std::to_string(n));
            if (fs::is_symlink(name, error)) {
                // A link of an earlier run to the same device is used again.
                if (fs::read_symlink(name, error) == fs::path(vpi.port)) number = n;
                continue;
            }
            if (fs::exists(name, error)) continue;
            if (!link(vpi.port, n)) return false;
            number = n;
        }
        if (number == 0) {
            *why = "no free comN name left in " + path_;
            return false;
        }
        taken.insert(number);
        vpi.driverPort = "COM" + std::to_string(number);
        notes->push_back("VPI " + std::to_string(vpi.number) + ": " + vpi.port + " is linked as " +
                         (fs::path(path_) / ("com" + std::to_string(number))).string() +
                         "; the driver opens it as " + vpi.driverPort);
    }
    if (setenv("VPIVG_DEVICE_DIR", path_.c_str(), 1) != 0) {
        *why = std::string("cannot set VPIVG_DEVICE_DIR: ") + std::strerror(errno);
        return false;
    }
    return true;
#endif
}

}  // namespace vpihost
