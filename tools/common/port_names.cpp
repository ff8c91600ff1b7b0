// Port names that mean the same on every system: the COMn family and its "\\.\" spelling.
#include "port_names.hpp"

#include <algorithm>

namespace vpitools {

std::string StripDevicePrefix(const std::string& name) {
    // \\.\ is how Windows spells a device for COM10 and above; it means the same for any name.
    if (name.rfind("\\\\.\\", 0) == 0) return name.substr(4);
    return name;
}

int ComNumber(const std::string& name) {
    std::string bare = StripDevicePrefix(name);
    if (bare.size() < 4 || bare.size() > 7) return 0;
    for (std::size_t i = 0; i < 3; ++i) {
        char c = static_cast<char>(bare[i] | 0x20);
        if (c != "com"[i]) return 0;
    }
    // COM1 upwards, no leading zero (Windows has no COM01), at most four digits.
    if (bare[3] < '1' || bare[3] > '9') return 0;
    int number = 0;
    for (std::size_t i = 3; i < bare.size(); ++i) {
        if (bare[i] < '0' || bare[i] > '9') return 0;
        number = number * 10 + (bare[i] - '0');
    }
    return number;
}

bool IsNulName(const std::string& name) {
    std::string bare = StripDevicePrefix(name);
    if (bare.size() != 3) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (static_cast<char>(bare[i] | 0x20) != "nul"[i]) return false;
    }
    return true;
}

std::string PortDiagnosis::Text() const {
    std::string text = name;
    if (!device.empty() && device != name) text += " (" + device + ")";
    return text + ": " + reason;
}

std::string FormatPortList(const std::vector<PortEntry>& ports) {
    if (ports.empty()) return "no serial ports found\n";
    std::size_t width = 0;
    for (const PortEntry& port : ports) width = std::max(width, port.name.size());
    std::string text;
    for (const PortEntry& port : ports) {
        text += port.name;
        if (!port.device.empty() && port.device != port.name) {
            text += std::string(width - port.name.size() + 2, ' ') + "-> " + port.device;
        }
        text += '\n';
    }
    return text;
}

}  // namespace vpitools
