#include "reports.hpp"

#include <chrono>

namespace vpihost {

gateway::EpochMs NowEpochMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<gateway::Report> ReportAssembler::Close(Pending& pending) {
    std::optional<gateway::Report> done;
    if (pending.streamGateValid && !pending.report.values.empty()) done = std::move(pending.report);
    pending = Pending{};
    return done;
}

std::optional<gateway::Report> ReportAssembler::OnWrite(int vpi, int stream, int param,
                                                        bool published, double value,
                                                        gateway::EpochMs now) {
    if (param < 1 || param > 99) return std::nullopt;
    std::lock_guard lock(mutex_);
    Pending& pending = pending_[std::this_thread::get_id()];
    std::optional<gateway::Report> ended;
    bool open = pending.report.vpi != 0;
    // Another VPI, another stream or a gate written twice: the report under way has ended
    // without a wait between (a driver that writes two reports back to back).
    if (open && (pending.report.vpi != vpi || pending.report.stream != stream || pending.seen[param])) {
        ended = Close(pending);
        open = false;
    }
    if (!open) {
        pending.report.vpi = vpi;
        pending.report.stream = stream;
        pending.report.timeMs = now;
    }
    pending.seen[param] = true;
    if (param == 4) {
        pending.streamGateValid = value != 0;
    }
    if (published) pending.report.values.push_back(gateway::ReportValue{param, value, now});
    return ended;
}

std::optional<gateway::Report> ReportAssembler::OnWait() {
    std::lock_guard lock(mutex_);
    auto found = pending_.find(std::this_thread::get_id());
    if (found == pending_.end()) return std::nullopt;
    std::optional<gateway::Report> done = Close(found->second);
    // A thread is one VPI's for its whole life; forget it so an ended thread leaves nothing.
    pending_.erase(found);
    return done;
}

}  // namespace vpihost
