// vpivg-host --version: this program's build and the build of the driver it would load.
#pragma once

#include <ostream>
#include <string>

namespace vpihost {

// Prints "vpivg-host <version> (revision <rev>)" and, read from the loaded library, the
// driver's identity. Returns the exit status: 1 when the driver cannot be loaded or carries no
// identity, or the text cannot be written (both said on `err`).
int PrintVersion(const std::string& driverPath, std::ostream& out, std::ostream& err);

}  // namespace vpihost
