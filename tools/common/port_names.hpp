// Inside the tool library: the parts of a port name both systems read alike.
#pragma once

#include <string>

#include "ports.hpp"

namespace vpitools {

// The name without a leading "\\.\".
std::string StripDevicePrefix(const std::string& name);
// n for "COMn" / "\\.\COMn" in any letter case; 0 for anything else.
int ComNumber(const std::string& name);
// "NUL" in any case, with or without "\\.\".
bool IsNulName(const std::string& name);

}  // namespace vpitools
