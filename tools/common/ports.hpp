// Serial ports as a person names them: listing what the machine has, the device a name opens,
// one key per port however it is spelt, and why a port would not open.
#pragma once

#include <string>
#include <vector>

namespace vpitools {

// One port the machine offers.
struct PortEntry {
    std::string name;    // what to give as --port: "COM3", "/dev/ttyUSB0", "/dev/serial/by-id/..."
    std::string device;  // what that opens: the link's target, or the system's device name
};

// Linux: /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* and the links in /dev/serial/by-id with what
// each links to. Windows: the system's serial-port map (HARDWARE\DEVICEMAP\SERIALCOMM).
std::vector<PortEntry> ListPorts();
// The listing as printed by --list-ports: one port per line, or a line saying there is none.
std::string FormatPortList(const std::vector<PortEntry>& ports);

// The device a port name opens, resolved the way the driver's line layer resolves it: on Linux
// "COMn" (any case, also "\\.\COMn") is the link "comn" in $VPIVG_DEVICE_DIR or else
// /dev/ttyS(n-1), "NUL" is /dev/null, a name beginning with "/" stands as it is; on Windows the
// name goes to the system unchanged. "" for a name that names no device.
std::string ResolvePort(const std::string& name);

// One text per port however it is written, so two settings naming the same port are seen as
// one: "COM1", "com1" and "\\.\COM1" give "COM1"; on Linux a name that resolves to an existing
// device gives that device's real path, so COM1 and /dev/ttyS0 meet too.
std::string PortKey(const std::string& name);

// Why a port does not open.
struct PortDiagnosis {
    std::string name;    // as given
    std::string device;  // resolved ("" when the name names no device)
    std::string reason;  // e.g. "no such device", "permission denied (...)", "busy: held by ..."
    // "COM7 (/dev/ttyS6): permission denied (...)".
    std::string Text() const;
};
// Looks at the port itself (it may try to open it for a moment): whether the device exists,
// whether this user may open it, whether another process holds it and which (Linux tells, from
// /proc). `osError` is the error the caller's own open attempt left (errno, or GetLastError()
// on Windows), 0 when unknown; it is the reason when the probe finds nothing more telling.
PortDiagnosis DiagnosePort(const std::string& name, unsigned long osError = 0);

// The error the last failed system call left on this thread (errno / GetLastError()), and its
// text as the OS words it.
unsigned long LastOsError();
// Sets it to 0, so a failure that sets no error (a line that hung up) is told from one that did.
void ClearOsError();
std::string OsErrorText(unsigned long error);

}  // namespace vpitools
