// The Sparkplug birth/death sequence number, kept across restarts: one more on every new MQTT
// CONNECT, 0..255 wrapping. A host application tells a stale death from a fresh one by it, so
// a restarted node must not start again at 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace gateway {

class BdSeqFile {
public:
    // `path`: the state file (e.g. "vpivg-host-<node>.bdseq" in the working folder).
    explicit BdSeqFile(std::string path);

    // The number for the next CONNECT: one more than the last one used (0 when none is known),
    // written to the file before it is used. On a failed write `why` says what and why; the
    // number is still good for this run.
    std::uint64_t Next(std::string* why);
    // The last number used, as the file holds it; nullopt when it holds none (or is unreadable,
    // with `why`).
    std::optional<std::uint64_t> Last(std::string* why) const;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::optional<std::uint64_t> last_;  // this run's last number, when the file lost it
};

}  // namespace gateway
