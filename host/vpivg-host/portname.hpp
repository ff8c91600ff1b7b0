// Port names as the host compares them.
#pragma once

#include <ostream>
#include <string>

namespace vpihost {

// Whether two names the plant wrote open the same device (COM1, com1 and \\.\COM1 do).
bool SamePort(const std::string& a, const std::string& b);
// The device a port name opens, as the driver resolves it ("/dev/pts/3" for a COMn linked to
// it; on Windows the name itself).
std::string DeviceOf(const std::string& name);

}  // namespace vpihost

namespace vpihost {

// Why a port the plant wrote as `name` does not open: the device it resolves to and the
// system's reason, as far as the system tells.
std::string DiagnosePort(const std::string& name);
// The same for a VPI's port, looked at under the name the driver was given (`driverName`, e.g.
// "\\.\COM12" for COM12 on Windows, or the COMn a long device path is linked as), which is the
// device that would not open, and named as the plant wrote it. An empty `driverName`: `name`.
std::string DiagnoseVpiPort(const std::string& name, const std::string& driverName);

// --list-ports: the machine's serial ports, one a line. Returns the exit status.
int ListPorts(std::ostream& out, std::ostream& err);

}  // namespace vpihost
