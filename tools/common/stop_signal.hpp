// Ctrl-C and SIGTERM for the tools: the first asks the program to stop (it must then end within
// two seconds), a second ends it at once with status 130, whatever it was waiting for.
#pragma once

#include <atomic>
#include <chrono>

namespace vpitools {

void InstallStopHandlers();
// Set by the first Ctrl-C / SIGTERM (or by RequestStop).
const std::atomic<bool>& StopFlag();
void RequestStop();

// Waits in short steps until `flag` is set or `timeout` has passed, waking early on a stop
// request when `orStop`; true if `flag` was set.
bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds timeout, bool orStop = false);

}  // namespace vpitools
