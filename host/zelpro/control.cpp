// The runtime's shared state, Reset, call recording and fault injection.
#include <cstring>

#include "state.hpp"

namespace zelpro {
namespace detail {

State& Runtime() {
    // Deliberately never freed (see state.hpp). Still reachable, so leak checkers stay quiet.
    static State* const state = new State;
    return *state;
}

bool TakeFault(Fault fault) {
    std::atomic<int>& count = Runtime().faults[static_cast<std::size_t>(fault)];
    int current = count.load(std::memory_order_relaxed);
    for (;;) {
        if (current == 0) {
            return false;
        }
        if (current < 0) {
            return true;
        }
        if (count.compare_exchange_weak(current, current - 1, std::memory_order_relaxed)) {
            return true;
        }
    }
}

void RecordCall(const char* function, unsigned client, unsigned vpi, const char* address,
                std::uint32_t gateId, int mode, double value, unsigned short status) {
    CallRecord record{function, client, vpi, {}, gateId, mode, value, status};
    if (address != nullptr) {
        // Bounded: an over-long (or unterminated) address is kept only in part.
        record.address.assign(address, strnlen(address, 256));
    }
    Recorder& recorder = Runtime().recorder;
    std::lock_guard lock(recorder.mutex);
    if (recorder.on.load(std::memory_order_relaxed)) {
        recorder.calls.push_back(std::move(record));
    }
}

}  // namespace detail

void Reset() {
    detail::State& state = detail::Runtime();
    // Clients first: a driver thread waiting in Zel5WaitMsg is woken and told to stop before
    // the gates it might still write disappear.
    detail::ResetClients();
    detail::ResetGates();
    detail::ResetLog();
    {
        std::lock_guard lock(state.recorder.mutex);
        state.recorder.on.store(false);
        state.recorder.calls.clear();
    }
    for (std::atomic<int>& count : state.faults) {
        count.store(0);
    }
}

void StartRecording() {
    detail::Recorder& recorder = detail::Runtime().recorder;
    std::lock_guard lock(recorder.mutex);
    recorder.calls.clear();
    recorder.on.store(true);
}

std::vector<CallRecord> TakeRecording() {
    detail::Recorder& recorder = detail::Runtime().recorder;
    std::lock_guard lock(recorder.mutex);
    recorder.on.store(false);
    std::vector<CallRecord> calls;
    calls.swap(recorder.calls);
    return calls;
}

void InjectFault(Fault fault, int count) {
    const auto index = static_cast<std::size_t>(fault);
    if (index < detail::Runtime().faults.size()) {
        detail::Runtime().faults[index].store(count);
    }
}

}  // namespace zelpro
