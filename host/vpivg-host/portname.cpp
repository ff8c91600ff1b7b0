#include "portname.hpp"

#include <cctype>

namespace vpihost {

namespace {

std::string Key(const std::string& name) {
    std::string upper;
    for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("\\\\.\\", 0) == 0) return upper.substr(4);
    return upper.rfind("COM", 0) == 0 ? upper : name;
}

}  // namespace

bool SamePort(const std::string& a, const std::string& b) { return Key(a) == Key(b); }

std::string DiagnosePort(const std::string& name) { return "cannot tell why (" + name + ")"; }

}  // namespace vpihost

namespace vpihost {
int ListPorts(std::ostream& out, std::ostream&) {
    out << "(no port listing yet)\n";
    return 0;
}
}  // namespace vpihost
