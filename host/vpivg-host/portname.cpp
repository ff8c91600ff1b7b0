#include "portname.hpp"

#include "ports.hpp"

namespace vpihost {

bool SamePort(const std::string& a, const std::string& b) {
    return vpitools::PortKey(a) == vpitools::PortKey(b);
}

std::string DeviceOf(const std::string& name) {
    const std::string key = vpitools::PortKey(name);
    return key.empty() ? name : key;
}

std::string DiagnosePort(const std::string& name) { return vpitools::DiagnosePort(name).Text(); }

std::string DiagnoseVpiPort(const std::string& name, const std::string& driverName) {
    // Windows finds COM10 and above only as \\.\COMn: looked at by its short name, a port the
    // driver found busy would be reported missing.
    vpitools::PortDiagnosis look = vpitools::DiagnosePort(driverName.empty() ? name : driverName);
    look.name = name;
    return look.Text();
}

int ListPorts(std::ostream& out, std::ostream& err) {
    out << vpitools::FormatPortList(vpitools::ListPorts()) << std::flush;
    if (!out) {
        err << "vpivg-host: cannot write to standard output\n";
        return 1;
    }
    return 0;
}

}  // namespace vpihost
