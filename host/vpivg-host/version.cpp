// vpivg-host --version. The driver's line comes from the library the host really loads (the
// same search as a run), so it answers "which driver would this host use?" and not what a
// file name suggests.
#include "version.hpp"

#include <cerrno>
#include <cstring>

#include "driverlib.hpp"
#include "version_text.hpp"

namespace vpihost {

int PrintVersion(const std::string& driverPath, std::ostream& out, std::ostream& err) {
    errno = 0;
    out << ToolVersionText("vpivg-host") << "\n";
    int status = 0;
    std::string why;
    VpiMainFunction entry = LoadDriver(driverPath, &why);
    if (entry) {
        auto identity = ReadDriverIdentity(reinterpret_cast<const void*>(entry), &why);
        if (identity) {
            out << DriverVersionText(*identity) << "\n";
        } else {
            err << "vpivg-host: " << why << "\n";
            status = 1;
        }
    } else {
        err << "vpivg-host: driver: " << why << "\n";
        status = 1;
    }
    out.flush();
    if (!out) {
        int code = errno;
        err << "vpivg-host: cannot write the version to standard output"
            << (code ? std::string(": ") + std::strerror(code) : std::string()) << "\n";
        return 1;
    }
    return status;
}

}  // namespace vpihost
