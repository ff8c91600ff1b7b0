// The instrument's end of the cable, and the lines the simulator can be given: a serial device,
// or (native) a bare descriptor such as a pseudo-terminal master.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "cli.hpp"

namespace vpisim {

// The instrument's side of the cable.
class SimLine {
public:
    virtual ~SimLine() = default;
    // Writes every byte or fails.
    virtual bool Write(std::string_view bytes) = 0;
    // Whatever arrives within `timeoutMs` (possibly nothing); at most `max` bytes.
    virtual std::string Read(std::size_t max, int timeoutMs) = 0;
    // Why the line is gone for good (adapter pulled, far end closed), "" while it is there.
    // Once gone, reads return nothing at once and writes fail: the caller must stop.
    virtual std::string Lost() const { return {}; }
};

// A serial device opened by its Win32 name ("COM5", "\\.\COM12", "/dev/ttyUSB0") through the
// platform layer, so the same names work on both targets, with the given line settings. Null
// with `why` set on failure, naming the device and the reason.
std::unique_ptr<SimLine> OpenSerialLine(const vpitools::LineOptions& options, std::string* why);
#if !defined(_WIN32)
// The master side of a pseudo-terminal (or any descriptor); the descriptor stays the caller's.
std::unique_ptr<SimLine> MakeDescriptorLine(int fd);
#endif

}  // namespace vpisim
