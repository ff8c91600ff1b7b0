// The native layer's handle table, shared by its own files only (the driver never sees it).
//
// A HANDLE is an index into a fixed table plus the generation the slot had when the handle was
// given out, packed into the pointer value. Every call first takes a reference on the slot, and
// only a handle whose generation still matches an open slot gets one; so a handle that was
// closed, even by another thread a moment ago, is refused instead of reaching a reused slot.
// The reference also keeps the slot's descriptors alive: CloseHandle only marks the slot closed
// and wakes whoever waits in it, and the last user to leave closes the descriptors. A descriptor
// number is therefore never closed under a thread that is still inside read() or poll() on it,
// and can never be reused by an unrelated open while that thread runs.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "error_marks.hpp"
#include "win32api.hpp"

namespace native {

enum class Kind : std::uint8_t {
    None,
    Serial,  // a terminal: line state, timeouts, modem lines
    File,    // "NUL" and any path that is not a terminal: plain reads and writes only
    Event,
};

struct Slot {
    // gen (bits 32..63) | busy (bit 31) | open (bit 30) | references (bits 0..29). Busy covers
    // the whole life from allocation until the last reference released the resources; open
    // covers allocation-complete until CloseHandle. An open slot holds one reference of its own.
    std::atomic<std::uint64_t> state{0};

    // Fixed from allocation until the resources are released; written before the slot is
    // published, so any thread holding a reference reads them without a lock.
    Kind kind = Kind::None;
    int fd = -1;
    int wakeFd = -1;  // eventfd, readable once the handle is closed: ends blocked reads/writes
    bool exclusive = false;  // this open set the terminal's exclusive flag (TIOCEXCL)

    // The read timeouts are read by every ReadFile without a lock (another thread may change
    // them at any time: the new value governs the next request). Written under `lock`.
    std::atomic<DWORD> readInterval{0};
    std::atomic<DWORD> readMultiplier{0};
    std::atomic<DWORD> readConstant{0};
    std::atomic<DWORD> writeMultiplier{0};
    std::atomic<DWORD> writeConstant{0};

    // Read-ahead: one read() takes whatever waits (up to kReadAhead bytes) and the following
    // one-byte requests are served from here, so the driver's byte-at-a-time receiver costs a
    // system call per burst rather than per byte. The bytes are kept with the line-error marks
    // taken off, which may give one more than was read (a 0377 held back from the last read).
    // ClearCommError moves all the kernel holds in here as well, so that it can count the bytes
    // a reader will get: the kernel's own count includes the marks. Room for twice the
    // kernel's line buffer (4096) keeps that count exact however far behind a reader is.
    // Allocated with a terminal's or file's slot, given back with its descriptors; guarded by
    // `readLock`, which is never held while waiting.
    static constexpr std::uint32_t kReadAhead = 512;
    static constexpr std::uint32_t kAheadCapacity = 8192;
    pthread_mutex_t readLock;
    std::uint32_t aheadCount = 0;
    std::uint32_t aheadStart = 0;
    unsigned char* ahead = nullptr;  // kAheadCapacity + 1 bytes
    MarkDecoder marks;
    // What the marks said since the last ClearCommError (kMarkedByte, kMarkedBreak).
    std::atomic<std::uint32_t> lineMarks{0};
    // Whether the device's output queue may hold bytes: set after every write, cleared when
    // ClearCommError finds the queue empty. Only this handle writes to the device (it is
    // opened exclusively), so while it is clear the queue is known empty without asking.
    std::atomic<bool> outputMayWait{true};

    pthread_mutex_t lock;     // guards everything below
    pthread_cond_t changed;   // events: signalled, or the handle closed
    DCB dcb{};
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    // The device's overrun counts when it keeps them (a UART does, a pseudo-terminal doesn't),
    // as the last ClearCommError saw them.
    bool countsOverruns = false;
    std::uint64_t overruns = 0;        // the receiver's own (CE_OVERRUN)
    std::uint64_t bufferOverruns = 0;  // the kernel's buffer was full (CE_RXOVER)
    bool manualReset = false;
    bool signalled = false;
};

constexpr std::uint64_t kOpenBit = std::uint64_t{1} << 30;

// True while the slot has not been closed. Waiters test it to notice a close.
inline bool IsOpen(const Slot& slot) {
    return (slot.state.load(std::memory_order_acquire) & kOpenBit) != 0;
}

// A reference on a slot for the length of one call; empty when the handle is refused (not a
// handle of ours, closed or stale). Callers check the kind themselves.
class SlotRef {
public:
    explicit SlotRef(HANDLE handle);
    SlotRef(const SlotRef&) = delete;
    SlotRef& operator=(const SlotRef&) = delete;
    ~SlotRef();
    explicit operator bool() const { return slot_ != nullptr; }
    Slot* operator->() const { return slot_; }
    Slot& operator*() const { return *slot_; }

private:
    Slot* slot_ = nullptr;
};

// Allocation: Reserve() gives a free slot that nobody else can see yet (null when the table is
// full); fill in its fields, then Publish() makes it a live handle, or Unreserve() gives the
// slot back when the open failed after all.
Slot* Reserve();
HANDLE Publish(Slot* slot, Kind kind);
void Unreserve(Slot* slot);

}  // namespace native
