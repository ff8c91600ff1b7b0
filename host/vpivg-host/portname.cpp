#include "portname.hpp"

#include "ports.hpp"

namespace vpihost {

bool SamePort(const std::string& a, const std::string& b) {
    return vpitools::PortKey(a) == vpitools::PortKey(b);
}

std::string DiagnosePort(const std::string& name) { return vpitools::DiagnosePort(name).Text(); }

int ListPorts(std::ostream& out, std::ostream& err) {
    out << vpitools::FormatPortList(vpitools::ListPorts()) << std::flush;
    if (!out) {
        err << "vpivg-host: cannot write to standard output\n";
        return 1;
    }
    return 0;
}

}  // namespace vpihost
