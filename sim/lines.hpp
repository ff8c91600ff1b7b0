// The instrument's end of the cable, and the lines the simulator can be given: a serial device,
// or (native) a bare descriptor such as a pseudo-terminal master.
#pragma once

#include <atomic>
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
    // A stop: a write that is waiting for the far end gives up within a tenth of a second, and
    // so does every later write until it is called with false. For lines whose writes the OS
    // bounds by itself it may do nothing.
    virtual void Interrupt(bool /*interrupted*/) {}
};

// A serial device opened by its Win32 name ("COM5", "\\.\COM12", "/dev/ttyUSB0") through the
// platform layer, so the same names work on both targets, with the given line settings. Null
// with `why` set on failure, naming the device and the reason.
std::unique_ptr<SimLine> OpenSerialLine(const vpitools::LineOptions& options, std::string* why);
// How long a write may wait for the far end to take the bytes, on every line.
constexpr int kLineWriteTimeoutMs = 5000;

#if !defined(_WIN32)
// The master side of a pseudo-terminal (or any descriptor); the descriptor stays the caller's,
// but is made non-blocking, so that a write keeps its deadline: one the far end does not take
// within `writeTimeoutMs` fails (the report is lost, the line is still there).
std::unique_ptr<SimLine> MakeDescriptorLine(int fd, int writeTimeoutMs = kLineWriteTimeoutMs);
#endif

}  // namespace vpisim
