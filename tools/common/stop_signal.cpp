#include "stop_signal.hpp"

#include <csignal>
#include <cstdlib>
#include <thread>

namespace vpitools {

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignals{0};

static_assert(std::atomic<int>::is_always_lock_free, "the handler touches only lock-free atomics");

extern "C" void OnStopSignal(int signalNumber) {
    if (stopSignals.fetch_add(1) >= 1) {
        // The person asked twice: they mean now, whatever a write is still waiting for.
        std::_Exit(130);
    }
    stopRequested = true;
    // Windows' runtime puts the default back before calling a handler; keep ours for the second.
    std::signal(signalNumber, OnStopSignal);
}

}  // namespace

void InstallStopHandlers() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#if defined(SIGBREAK)
    std::signal(SIGBREAK, OnStopSignal);
#endif
}

const std::atomic<bool>& StopFlag() { return stopRequested; }

void RequestStop() { stopRequested = true; }

bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds timeout, bool orStop) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!flag) {
        if (orStop && stopRequested) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace vpitools
