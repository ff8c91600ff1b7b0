#include "stop_signal.hpp"

#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace vpitools {

namespace {

StopState& Process() {
    // Never destroyed: a handler may run while static destructors do.
    static StopState* state = new StopState;
    return *state;
}

// What the handlers read is set before they can need it and only through lock-free atomics.
std::atomic<bool> cursorHidden{false};
std::atomic<std::atomic<bool>*> resizeFlag{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free, "the handlers touch only lock-free atomics");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free, "lock-free in a handler");

constexpr char kShowCursor[] = "\x1b[?25h\r\n";

#if defined(_WIN32)

// Windows ends the process soon after a close, logoff or shutdown handler returns, and kills it
// after about five seconds whatever the handler does; the stop gets what is left of that.
constexpr std::chrono::milliseconds kSessionEndGrace{4500};

void PutTerminalBack() {
    if (!cursorHidden.load()) return;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kShowCursor, sizeof kShowCursor - 1, &written,
              nullptr);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        // The person asked twice: they mean now, whatever a write is still waiting for.
        if (Process().Request()) ExitNow(130);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Returning lets Windows end the process at once, with rows unwritten and the VPIs not
        // stopped: hold it here (this is a thread of its own) while the main thread stops.
        Process().RequestAndAwaitFinish(kSessionEndGrace);
        return TRUE;
    default:
        return FALSE;
    }
}

#else

// Standard input's terminal as it was before a key watcher made it raw. Written only while
// `terminalSaved` is false, read by the handler only once it is true.
termios savedTerminal{};
std::atomic<bool> terminalSaved{false};

// Only async-signal-safe calls: this runs in the signal handler.
void PutTerminalBack() {
    if (terminalSaved.load()) tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    if (cursorHidden.load() && write(STDOUT_FILENO, kShowCursor, sizeof kShowCursor - 1) < 0) {
        // Nothing to be done about it: the program is ending anyway.
    }
}

extern "C" void OnStopSignal(int) {
    // The person asked twice: they mean now, whatever a write is still waiting for.
    if (Process().Request()) ExitNow(130);
}

extern "C" void OnResize(int) {
    if (std::atomic<bool>* flag = resizeFlag.load()) flag->store(true);
}

void Catch(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A write to a slow pipe or terminal that the signal interrupts carries on instead of
    // failing with EINTR, which would end a clean run with a write error.
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

#endif

}  // namespace

void StopState::NoteFinished() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    finishedChanged_.notify_all();
}

bool StopState::RequestAndAwaitFinish(std::chrono::milliseconds limit) {
    Request();
    std::unique_lock lock(mutex_);
    return finishedChanged_.wait_for(lock, limit, [this] { return finished_; });
}

void IgnoreBrokenPipe() {
#if !defined(_WIN32)
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

void InstallStopHandlers() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    Catch(SIGINT, OnStopSignal);
    Catch(SIGTERM, OnStopSignal);
    Catch(SIGWINCH, OnResize);
#endif
}

std::atomic<bool>& StopFlag() { return Process().Flag(); }

void RequestStop() { Process().Request(); }

void SetResizeFlag(std::atomic<bool>* flag) { resizeFlag.store(flag); }

void SaveTerminalState() {
#if !defined(_WIN32)
    if (terminalSaved.load()) return;
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
        terminalSaved.store(true);
    }
#endif
}

void ForgetTerminalState() {
#if !defined(_WIN32)
    terminalSaved.store(false);
#endif
}

void ShowCursorOnExit(bool hidden) { cursorHidden.store(hidden); }

void ExitNow(int status) {
    PutTerminalBack();
    std::_Exit(status);
}

void NoteStopFinished() { Process().NoteFinished(); }

bool WaitFor(const std::atomic<bool>& flag, std::chrono::milliseconds timeout, bool orStop) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!flag) {
        if (orStop && StopFlag()) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace vpitools
