// The host program's TOML reader and its port-name mapping on arbitrary text. Besides not
// crashing: an accepted configuration holds only values its readers allow, a refusal says
// where, and a port name the mapping accepts fits the driver's 11 characters.
#include <cstdint>
#include <string>
#include <string_view>

#include "config.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 20000) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    vpihost::HostConfig config;
    vpihost::ConfigError error;
    if (vpihost::ParseConfig(text, "fuzz.toml", &config, &error)) {
        FUZZ_CHECK(!config.vpis.empty(), "accepted without a VPI");
        for (const vpihost::VpiConfig& vpi : config.vpis) {
            FUZZ_CHECK(vpi.driverPort.size() <= 11, "driver port '%s' longer than 11",
                       vpi.driverPort.c_str());
            FUZZ_CHECK(vpi.number >= 1 && vpi.number <= 255, "VPI number %d", vpi.number);
            FUZZ_CHECK(vpi.readTimeout >= 100 && vpi.readTimeout <= 30000, "read timeout %d",
                       vpi.readTimeout);
            for (int p : vpi.params) FUZZ_CHECK(p >= 1 && p <= 99, "parameter %d", p);
            for (int s : vpi.streams) FUZZ_CHECK(s >= 0 && s <= 99999, "stream %d", s);
        }
    } else {
        FUZZ_CHECK(!error.message.empty(), "refused without a message");
        FUZZ_CHECK(error.line >= 0 && error.column >= 0, "refused at %d:%d", error.line,
                   error.column);
    }

    for (const bool win32 : {false, true}) {
        std::string why;
        const auto name = vpihost::DriverPortName(std::string(text.substr(0, 64)), win32, &why);
        if (name) {
            FUZZ_CHECK(name->size() <= 11, "port name '%s' longer than 11", name->c_str());
        } else {
            FUZZ_CHECK(!why.empty(), "refused a port name without saying why");
        }
    }
    return 0;
}
