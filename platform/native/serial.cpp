// Serial devices over termios, poll and ioctl.
//
// Every descriptor is non-blocking: a read first takes what is already waiting (from the
// read-ahead, else with one read()) and only falls back to poll() when nothing is, which keeps
// the driver's one-byte requests cheap. poll() always watches the slot's wake descriptor too,
// so a close from another thread ends a blocked request at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <linux/serial.h>

#include "handle_table.hpp"
#include "error_marks.hpp"
#include "line_speed.hpp"
#include "line_state.hpp"
#include "win32api.hpp"

using native::Kind;
using native::Slot;
using native::SlotRef;
using native::ApplyDcb;
using native::DcbFromAttributes;
using native::MakeSaneRaw;

namespace {

// ---- names -------------------------------------------------------------------------------

bool EqualsIgnoringCase(const char* text, const char* upper) {
    for (; *upper != '\0'; ++text, ++upper) {
        char c = *text;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != *upper) return false;
    }
    return *text == '\0';
}

// Resolves a device name the way Wine resolves DOS device names (see win32api.hpp). Gives
// false for a name that names no device we know.
bool ResolveName(const char* name, char* path, std::size_t size, bool* isNull) {
    *isNull = false;
    if (name == nullptr || name[0] == '\0') return false;
    if (name[0] == '/') {
        const int n = std::snprintf(path, size, "%s", name);
        return n > 0 && static_cast<std::size_t>(n) < size;
    }
    // \\.\ is how Windows spells a device for COM10 and above; it means the same for any.
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (EqualsIgnoringCase(name, "NUL")) {
        *isNull = true;
        return std::snprintf(path, size, "/dev/null") > 0;
    }
    const bool com = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
                     (name[2] == 'M' || name[2] == 'm');
    if (!com) return false;
    const char* digits = name + 3;
    // COM1 upwards, no leading zero (Windows has no COM01), a sane number of digits.
    if (digits[0] < '1' || digits[0] > '9') return false;
    int number = 0;
    std::size_t count = 0;
    for (; digits[count] != '\0'; ++count) {
        if (digits[count] < '0' || digits[count] > '9' || count >= 4) return false;
        number = number * 10 + (digits[count] - '0');
    }
    const char* dir = std::getenv("VPIVG_DEVICE_DIR");
    int n;
    if (dir != nullptr && dir[0] != '\0') {
        n = std::snprintf(path, size, "%s/com%d", dir, number);
    } else {
        n = std::snprintf(path, size, "/dev/ttyS%d", number - 1);
    }
    return n > 0 && static_cast<std::size_t>(n) < size;
}

// ---- device requests ---------------------------------------------------------------

bool ModemLine(int fd, unsigned long request, int line) {
    if (ioctl(fd, request, &line) == 0) return true;
    // Pseudo-terminals and some adapters have no modem lines at all: nothing to drive.
    return errno == ENOTTY || errno == EINVAL;
}

struct OverrunCounts {
    std::uint64_t receiver = 0;  // the UART's own receiver overran
    std::uint64_t buffer = 0;    // the kernel's buffer was full and bytes were dropped
};

// The device's overrun counts; false where the OS keeps none (a pseudo-terminal, most USB
// adapters answer with an error).
bool ReadOverruns(int fd, OverrunCounts* counts) {
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counts->receiver = static_cast<unsigned>(icount.overrun);
    counts->buffer = static_cast<unsigned>(icount.buf_overrun);
    return true;
}

native::TerminalMode ModeOf(const termios& attributes) {
    native::TerminalMode mode{};
    mode.iflag = attributes.c_iflag;
    mode.oflag = attributes.c_oflag;
    mode.cflag = attributes.c_cflag;
    mode.lflag = attributes.c_lflag;
    for (int i = 0; i < native::TerminalMode::kControlChars; ++i) mode.cc[i] = attributes.c_cc[i];
    return mode;
}

int SetAttributes(int fd, const termios& attributes) {
    int result;
    do {
        result = tcsetattr(fd, TCSANOW, &attributes);
    } while (result != 0 && errno == EINTR);
    return result;
}

// ---- waiting -----------------------------------------------------------------------------

// Microseconds on the monotonic clock: a change of the wall clock must not stretch a timeout.
std::int64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

enum class Ready { Yes, Closed, Failed, TimedOut };

// Waits until `fd` is ready for `events`, the handle is closed, or `deadlineUs` (monotonic,
// -1 for none) passes. EINTR only shortens a round.
Ready WaitReady(const Slot& slot, short events, std::int64_t deadlineUs) {
    for (;;) {
        int timeout = -1;
        if (deadlineUs >= 0) {
            const std::int64_t left = deadlineUs - NowUs();
            if (left <= 0) return Ready::TimedOut;
            // Rounded up, so a request never ends before its time.
            const std::int64_t ms = (left + 999) / 1000;
            timeout = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        }
        pollfd fds[2] = {{slot.fd, events, 0}, {slot.wakeFd, POLLIN, 0}};
        const int result = poll(fds, 2, timeout);
        if (result < 0) {
            if (errno == EINTR) continue;
            return Ready::Failed;
        }
        if (fds[1].revents != 0) return Ready::Closed;
        if ((fds[0].revents & POLLNVAL) != 0) return Ready::Failed;
        // Ready, or hung up / in error: the next read() or write() tells which.
        if (fds[0].revents != 0) return Ready::Yes;
    }
}

// When a request of `count` bytes that began at `startUs` ends under a total timeout of
// constant + multiplier x count milliseconds; -1 (never) when both are zero, as on Windows.
std::int64_t TotalDeadline(std::uint64_t constant, std::uint64_t multiplier, DWORD count,
                           std::int64_t startUs) {
    std::uint64_t total = constant + multiplier * count;  // below 2^64 for any DWORDs
    // Decades are as good as forever, and keep the arithmetic below clear of overflow.
    constexpr std::uint64_t kLongest = std::uint64_t{1} << 40;
    if (total > kLongest) total = kLongest;
    // No total timeout: the request waits for all its bytes, as Windows does.
    if (total == 0) return -1;
    return startUs + static_cast<std::int64_t>(total) * 1000;
}

// ReadIntervalTimeout is kept for GetCommTimeouts but takes no part: the driver only ever sets
// it to 0 (no interval timeout).
std::int64_t ReadDeadline(const Slot& slot, DWORD count, std::int64_t startUs) {
    return TotalDeadline(slot.readConstant.load(std::memory_order_relaxed),
                         slot.readMultiplier.load(std::memory_order_relaxed), count, startUs);
}

std::int64_t WriteDeadline(const Slot& slot, DWORD count, std::int64_t startUs) {
    return TotalDeadline(slot.writeConstant.load(std::memory_order_relaxed),
                         slot.writeMultiplier.load(std::memory_order_relaxed), count, startUs);
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD /*access*/, DWORD /*shareMode*/,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD /*creation*/, DWORD /*flags*/,
                   HANDLE /*templateFile*/) {
    char path[PATH_MAX];
    bool isNull = false;
    if (!ResolveName(name, path, sizeof path, &isNull)) return INVALID_HANDLE_VALUE;

    int fd;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return INVALID_HANDLE_VALUE;

    // From here on every failure closes what was opened.
    bool exclusive = false;
    int wakeFd = -1;
    termios attributes{};
    bool terminal = false;
    auto fail = [&]() {
        if (exclusive) ioctl(fd, TIOCNXCL);
        close(fd);
        if (wakeFd >= 0) close(wakeFd);
        return INVALID_HANDLE_VALUE;
    };

    if (!isNull) {
        // The lock holds against every opener that locks, root included; TIOCEXCL holds
        // against openers that don't, except root.
        int locked;
        do {
            locked = flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) return fail();
        terminal = tcgetattr(fd, &attributes) == 0;
        if (terminal) {
            if (ioctl(fd, TIOCEXCL) != 0) return fail();
            exclusive = true;
            MakeSaneRaw(attributes);
            if (SetAttributes(fd, attributes) != 0) return fail();
            // Read back what the device actually took.
            if (tcgetattr(fd, &attributes) != 0) return fail();
        }
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) return fail();

    OverrunCounts overruns{};
    const bool countsOverruns = terminal && ReadOverruns(fd, &overruns);

    auto* ahead = new (std::nothrow) unsigned char[Slot::kAheadCapacity + 1];
    if (ahead == nullptr) return fail();
    Slot* slot = native::Reserve();
    if (slot == nullptr) {
        delete[] ahead;
        return fail();
    }
    slot->fd = fd;
    slot->wakeFd = wakeFd;
    slot->exclusive = exclusive;
    slot->ahead = ahead;
    slot->aheadStart = 0;
    slot->aheadCount = 0;
    slot->marks = native::MarkDecoder{};
    slot->lineMarks.store(0, std::memory_order_relaxed);
    slot->readInterval.store(0, std::memory_order_relaxed);
    slot->readMultiplier.store(0, std::memory_order_relaxed);
    slot->readConstant.store(0, std::memory_order_relaxed);
    slot->writeMultiplier.store(0, std::memory_order_relaxed);
    slot->writeConstant.store(0, std::memory_order_relaxed);
    pthread_mutex_lock(&slot->lock);
    slot->dcb = terminal ? DcbFromAttributes(attributes) : DCB{};
    slot->inQueue = 0;
    slot->outQueue = 0;
    slot->countsOverruns = countsOverruns;
    slot->overruns = overruns.receiver;
    slot->bufferOverruns = overruns.buffer;
    pthread_mutex_unlock(&slot->lock);
    return native::Publish(slot, terminal ? Kind::Serial : Kind::File);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial || dcb == nullptr) return FALSE;
    pthread_mutex_lock(&slot->lock);
    DCB state = slot->dcb;
    // What the line really has: the rate as the OS holds it (a UART's driver may round it), and
    // two stop bits where one and a half were asked for, since Linux has no such setting.
    std::uint32_t rate = 0;
    const bool ok = native::GetExactSpeed(slot->fd, &rate);
    pthread_mutex_unlock(&slot->lock);
    if (!ok) return FALSE;
    state.BaudRate = rate;
    if (state.StopBits == ONE5STOPBITS) state.StopBits = TWOSTOPBITS;
    *dcb = state;
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial || dcb == nullptr) return FALSE;
    // One state change at a time per port, so two callers never interleave get and set.
    pthread_mutex_lock(&slot->lock);
    // Framing and the exact rate go to the device in one request: the line never runs with
    // the one changed and the other not, and a refused rate changes nothing.
    termios attributes{};
    bool ok = tcgetattr(slot->fd, &attributes) == 0 && ApplyDcb(*dcb, attributes) &&
              native::SetModeAndSpeed(slot->fd, ModeOf(attributes), dcb->BaudRate);
    if (ok) {
        const bool dtrOn = dcb->fDtrControl != DTR_CONTROL_DISABLE;
        // Toggle means RTS up only while sending; at rest, which is all a host sees, it is down.
        const bool rtsOn = dcb->fRtsControl == RTS_CONTROL_ENABLE ||
                           dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
        ok = ModemLine(slot->fd, dtrOn ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) &&
             ModemLine(slot->fd, rtsOn ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
    }
    if (ok) slot->dcb = *dcb;
    pthread_mutex_unlock(&slot->lock);
    return ok ? TRUE : FALSE;
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial || timeouts == nullptr) return FALSE;
    pthread_mutex_lock(&slot->lock);
    timeouts->ReadIntervalTimeout = slot->readInterval.load(std::memory_order_relaxed);
    timeouts->ReadTotalTimeoutMultiplier = slot->readMultiplier.load(std::memory_order_relaxed);
    timeouts->ReadTotalTimeoutConstant = slot->readConstant.load(std::memory_order_relaxed);
    timeouts->WriteTotalTimeoutMultiplier = slot->writeMultiplier.load(std::memory_order_relaxed);
    timeouts->WriteTotalTimeoutConstant = slot->writeConstant.load(std::memory_order_relaxed);
    pthread_mutex_unlock(&slot->lock);
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial || timeouts == nullptr) return FALSE;
    pthread_mutex_lock(&slot->lock);
    slot->readInterval.store(timeouts->ReadIntervalTimeout, std::memory_order_relaxed);
    slot->readMultiplier.store(timeouts->ReadTotalTimeoutMultiplier, std::memory_order_relaxed);
    slot->readConstant.store(timeouts->ReadTotalTimeoutConstant, std::memory_order_relaxed);
    slot->writeMultiplier.store(timeouts->WriteTotalTimeoutMultiplier, std::memory_order_relaxed);
    slot->writeConstant.store(timeouts->WriteTotalTimeoutConstant, std::memory_order_relaxed);
    pthread_mutex_unlock(&slot->lock);
    return TRUE;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial) return FALSE;
    // The kernel's queues are fixed; the sizes are kept only as the request made.
    pthread_mutex_lock(&slot->lock);
    slot->inQueue = inQueue;
    slot->outQueue = outQueue;
    pthread_mutex_unlock(&slot->lock);
    return TRUE;
}

namespace {

enum class Take { Bytes, Empty, HungUp, Failed };

// One read() of the device onto the end of the read-ahead, with the line-error marks taken off;
// the caller holds `readLock`. Bytes when the device gave any (a mark's start alone gives no
// data yet); Empty when nothing waits or the read-ahead is full. `drained`, when given, tells
// whether the read found the device's queue empty: nothing came, or less than was asked for.
Take ReadMore(Slot& slot, bool* drained = nullptr) {
    if (drained != nullptr) *drained = false;
    if (slot.aheadStart != 0) {
        std::memmove(slot.ahead, slot.ahead + slot.aheadStart, slot.aheadCount);
        slot.aheadStart = 0;
    }
    const std::uint32_t room = Slot::kAheadCapacity - slot.aheadCount;
    // Decoding may give one byte more than was read (a 0377 held back from the last read).
    if (room < 2) return Take::Empty;
    unsigned char raw[Slot::kReadAhead];
    const std::size_t want = room - 1 < sizeof raw ? room - 1 : sizeof raw;
    ssize_t n;
    do {
        n = ::read(slot.fd, raw, want);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return Take::HungUp;
    if (n < 0) {
        if (errno != EAGAIN) return Take::Failed;  // EIO: the far end went away
        if (drained != nullptr) *drained = true;
        return Take::Empty;
    }
    if (drained != nullptr) *drained = static_cast<std::size_t>(n) < want;
    // Only a terminal marks its errors; a file's bytes are data as they stand.
    unsigned char* end = slot.ahead + slot.aheadCount;
    std::uint32_t seen = 0;
    std::size_t data = static_cast<std::size_t>(n);
    if (slot.kind == Kind::Serial) {
        data = native::TakeOffMarks(slot.marks, raw, data, end, &seen);
    } else {
        std::memcpy(end, raw, data);
    }
    if (seen != 0) slot.lineMarks.fetch_or(seen, std::memory_order_relaxed);
    slot.aheadCount += static_cast<std::uint32_t>(data);
    return Take::Bytes;
}

// Moves what is already there into the request, without waiting: first the read-ahead, else
// one read() of the device into the read-ahead.
Take TakeWaiting(Slot& slot, unsigned char* into, DWORD want, DWORD* took) {
    *took = 0;
    pthread_mutex_lock(&slot.readLock);
    if (slot.aheadCount == 0) {
        const Take result = ReadMore(slot);
        // Only the start of a mark came: its rest is on its way (or already waiting).
        if (result != Take::Bytes || slot.aheadCount == 0) {
            pthread_mutex_unlock(&slot.readLock);
            return result == Take::Bytes ? Take::Empty : result;
        }
    }
    const std::uint32_t buffered = slot.aheadCount;
    const std::uint32_t take = buffered < want ? buffered : want;
    std::memcpy(into, slot.ahead + slot.aheadStart, take);
    slot.aheadStart += take;
    slot.aheadCount = buffered - take;
    pthread_mutex_unlock(&slot.readLock);
    *took = take;
    return Take::Bytes;
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) *read = 0;
    SlotRef slot(file);
    if (!slot || (slot->kind != Kind::Serial && slot->kind != Kind::File)) return FALSE;
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) return FALSE;
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD done = 0;
    std::int64_t deadline = 0;
    bool waited = false;
    BOOL ok = TRUE;
    while (done < count) {
        DWORD took = 0;
        const Take result = TakeWaiting(*slot, bytes + done, count - done, &took);
        if (result == Take::Bytes) {
            done += took;
            continue;
        }
        if (result == Take::HungUp) {
            // A terminal answers 0 only when hung up (the mode asks for at least one byte);
            // a plain file (NUL) is at its end, which is a successful short read.
            if (slot->kind == Kind::Serial) ok = FALSE;
            break;
        }
        if (result == Take::Failed) {
            ok = FALSE;
            break;
        }
        if (!waited) {
            // Nothing waiting: only now is the clock worth reading.
            deadline = ReadDeadline(*slot, count, NowUs());
            waited = true;
        }
        const Ready ready = WaitReady(*slot, POLLIN, deadline);
        if (ready == Ready::TimedOut) break;
        if (ready != Ready::Yes) {
            ok = FALSE;
            break;
        }
    }
    if (read != nullptr) *read = done;
    return ok;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
               LPOVERLAPPED overlapped) {
    if (written != nullptr) *written = 0;
    SlotRef slot(file);
    if (!slot || (slot->kind != Kind::Serial && slot->kind != Kind::File)) return FALSE;
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) return FALSE;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    // The write timeout runs from the start of the request, as on Windows; a line nobody reads
    // must not hold the writer for ever when it asked for a limit. The files (NUL) have none.
    const std::int64_t deadline =
        slot->kind == Kind::Serial ? WriteDeadline(*slot, count, NowUs()) : -1;
    DWORD done = 0;
    BOOL ok = TRUE;
    while (done < count) {
        const ssize_t n = ::write(slot->fd, bytes + done, count - done);
        if (n >= 0) {
            done += static_cast<DWORD>(n);
            slot->outputMayWait = true;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            ok = FALSE;
            break;
        }
        // Wait until the device takes more, the handle is closed, or the time is up. A timed-out
        // write still succeeds, with the count it moved: the caller tells short from whole.
        const Ready ready = WaitReady(*slot, POLLOUT, deadline);
        if (ready == Ready::TimedOut) break;
        if (ready != Ready::Yes) {
            ok = FALSE;
            break;
        }
    }
    if (written != nullptr) *written = done;
    return ok;
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial) return FALSE;
    // The kernel counts the bytes it holds with their marks (a data byte 0377 counts two, a
    // badly received byte three), so what it holds is taken into the read-ahead, where the
    // bytes are counted as a reader will get them.
    // A read that left the device's queue empty makes asking the kernel for its count needless;
    // at one call per driver iteration, the calls saved are a good part of an idle line's cost.
    pthread_mutex_lock(&slot->readLock);
    bool drained = false;
    while (!drained && ReadMore(*slot, &drained) == Take::Bytes) {
    }
    DWORD inQueue = slot->aheadCount;
    int waiting = 0;
    const bool counted = drained || ioctl(slot->fd, FIONREAD, &waiting) == 0;
    pthread_mutex_unlock(&slot->readLock);
    if (!counted) return FALSE;
    // Only when a reader is further behind than the read-ahead holds: the rest is counted as
    // the kernel has it, marks and all.
    if (waiting > 0) inQueue += static_cast<DWORD>(waiting);
    // Cleared before asking, so a write that lands meanwhile sets it again.
    int unsent = 0;
    if (slot->outputMayWait.exchange(false)) {
        if (ioctl(slot->fd, TIOCOUTQ, &unsent) != 0) unsent = 0;
        if (unsent != 0) slot->outputMayWait = true;
    }
    // The kernel keeps no error word to clear; the read side gathers what the marks in the
    // data said since the last call, and this call clears it, as on Windows.
    const std::uint32_t marks = slot->lineMarks.exchange(0, std::memory_order_relaxed);
    if (errors != nullptr) {
        pthread_mutex_lock(&slot->lock);
        const bool parityBit = slot->dcb.Parity != NOPARITY;
        DWORD overrun = 0;
        OverrunCounts now{};
        if (slot->countsOverruns && ReadOverruns(slot->fd, &now)) {
            if (now.receiver != slot->overruns) overrun |= CE_OVERRUN;
            if (now.buffer != slot->bufferOverruns) overrun |= CE_RXOVER;
            slot->overruns = now.receiver;
            slot->bufferOverruns = now.buffer;
        }
        pthread_mutex_unlock(&slot->lock);
        *errors = native::CommErrors(marks, parityBit) | overrun;
    }
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = inQueue;
        stat->cbOutQue = unsent > 0 ? static_cast<DWORD>(unsent) : 0;
    }
    return TRUE;
}

namespace {
BOOL Break(HANDLE file, unsigned long request) {
    SlotRef slot(file);
    if (!slot || slot->kind != Kind::Serial) return FALSE;
    if (ioctl(slot->fd, request) == 0) return TRUE;
    return errno == ENOTTY || errno == EINVAL ? TRUE : FALSE;
}
}  // namespace

BOOL SetCommBreak(HANDLE file) { return Break(file, TIOCSBRK); }
BOOL ClearCommBreak(HANDLE file) { return Break(file, TIOCCBRK); }
