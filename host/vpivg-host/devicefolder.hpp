// Long device paths. The driver takes at most 11 characters of port name, so a path such as
// /dev/serial/by-id/usb-... is linked as comN in a device folder and the driver opens "COMN".
// The folder is the device-dir setting, else $VPIVG_DEVICE_DIR, else one the host makes for
// the run (and removes after it). In a folder of its own the host also links every COMn of the
// configuration to where it would open without one (/dev/ttyS(n-1)).
#pragma once

#include <string>
#include <vector>

#include "config.hpp"

namespace vpihost {

class DeviceFolder {
public:
    DeviceFolder() = default;
    ~DeviceFolder();
    DeviceFolder(const DeviceFolder&) = delete;
    DeviceFolder& operator=(const DeviceFolder&) = delete;

    // Gives every VPI its driverPort, linking long paths. `notes` gets one line per link made.
    // False with `why` (the link and the OS reason) when a link cannot be made.
    bool Prepare(const std::string& setting, std::vector<VpiConfig>& vpis,
                 std::vector<std::string>* notes, std::string* why);
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    bool managed_ = false;
};

}  // namespace vpihost
