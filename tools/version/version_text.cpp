// The version texts: one format for every program, so a plant's notes and bug reports compare.
#include "version_text.hpp"

#include "vpivg_version.h"

std::string ToolVersionText(std::string_view program) {
    return std::string(program) + " " VPIVG_VERSION " (revision " VPIVG_REVISION ")";
}

std::string DriverVersionText(const DriverIdentity& identity) {
    return "driver " + identity.file + " " + identity.version + " (revision " + identity.revision +
           ")";
}
