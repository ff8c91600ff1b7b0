// Ctrl-C, SIGTERM and the end of the session for the tools. The first asks the program to stop
// (it must then end within two seconds); one more while a stop is already asked for ends it at
// once with status 130, whatever it was waiting for, after putting the terminal back as it was.
// A Windows console that is closed, or a logoff or shutdown, asks for the stop and holds the
// process until the orderly stop is done, within the time Windows gives.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vpitools {

// Broken pipes are reported by the write that meets them (EPIPE), not by a signal that ends the
// program with nothing written down: call first thing in main.
void IgnoreBrokenPipe();

// Ctrl-C, SIGTERM (and SIGBREAK / the console's events on Windows). System calls a signal
// interrupts are restarted: a write to a slow pipe is not failed by a Ctrl-C.
void InstallStopHandlers();
// Set by the first Ctrl-C / SIGTERM, by RequestStop, or by the program itself.
std::atomic<bool>& StopFlag();
void RequestStop();
// Set (never cleared here) whenever the terminal changes size (SIGWINCH); null for none.
void SetResizeFlag(std::atomic<bool>* flag);

// What an early end puts back on the terminal. SaveTerminalState keeps standard input's
// terminal state as it is now; ForgetTerminalState drops it once the program has put it back
// itself. ShowCursorOnExit says the live view has hidden the cursor (only ever on a terminal).
void SaveTerminalState();
void ForgetTerminalState();
void ShowCursorOnExit(bool hidden);
// Puts the terminal back and ends the process at once with `status`, without destructors:
// for the ends that cannot wait for threads still running.
[[noreturn]] void ExitNow(int status);

// Says the orderly stop is done and all output is written: a console close waiting for it may
// let the process end.
void NoteStopFinished();

// The stop and its end, as the signal and console handlers see them. One per process is used by
// the functions above; tests make their own.
class StopState {
public:
    std::atomic<bool>& Flag() { return requested_; }
    // Asks for the stop; true when one had been asked for already.
    bool Request() { return requested_.exchange(true); }
    void NoteFinished();
    // The console is going away: asks for the stop and waits until NoteFinished or `limit`;
    // true when the stop finished in time.
    bool RequestAndAwaitFinish(std::chrono::milliseconds limit);

private:
    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    std::condition_variable finishedChanged_;
    bool finished_ = false;
};

// Waits in short steps until `flag` is set or `timeout` has passed, waking early on a stop
// request when `orStop`; true if `flag` was set.
bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds timeout, bool orStop = false);

}  // namespace vpitools
