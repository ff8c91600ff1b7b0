// The handle table: allocation, references, CloseHandle.
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "handle_table.hpp"
#include "win32api.hpp"

namespace native {
namespace {

// Enough for every VPI's port and event with room to spare; the table never grows, so a
// reference never has to chase a moving slot.
constexpr std::uint32_t kSlotCount = 1024;

constexpr std::uint64_t kRefMask = (std::uint64_t{1} << 30) - 1;
constexpr std::uint64_t kBusyBit = std::uint64_t{1} << 31;
constexpr int kGenShift = 32;
// Handle value: generation above, slot number + 1 in the low bits, so no handle is 0 and none
// is INVALID_HANDLE_VALUE (the generation is below 2^32, so the top bits stay clear).
constexpr int kIndexBits = 16;
constexpr std::uintptr_t kIndexMask = (std::uintptr_t{1} << kIndexBits) - 1;
static_assert(kSlotCount < kIndexMask, "slot numbers fit their field");
static_assert(sizeof(std::uintptr_t) >= 8, "the native layer packs 48 bits into a handle");

std::uint64_t Generation(std::uint64_t state) { return state >> kGenShift; }

class Table {
public:
    // Every slot field has its initializer in Slot; the locks are set up here.
    // cppcheck-suppress uninitMemberVar
    Table() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        // Waits count on the monotonic clock: setting the wall clock must not stretch them.
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        for (Slot& slot : slots_) {
            pthread_mutex_init(&slot.lock, nullptr);
            pthread_mutex_init(&slot.readLock, nullptr);
            pthread_cond_init(&slot.changed, &attr);
        }
        pthread_condattr_destroy(&attr);
    }
    // The slots live as long as the process: a detached thread may still hold a reference
    // while static destructors run, so nothing is torn down.
    Slot slots_[kSlotCount];
};

Table& Slots() {
    static Table* table = new Table;
    return *table;
}

Slot* Lookup(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const std::uintptr_t number = value & kIndexMask;
    if (number == 0 || number > kSlotCount) return nullptr;
    return &Slots().slots_[number - 1];
}

std::uint64_t HandleGeneration(HANDLE handle) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle) >> kIndexBits);
}

// Gives the resources back once nobody uses the slot any more.
// The device itself was given up by CloseHandle: the exclusive flag lives on the terminal, not
// on our descriptor, so by now it may belong to a newer handle on the same device (the port was
// reopened while a reader here had not yet left its read) and must not be touched.
void Finish(Slot& slot) {
    if (slot.fd >= 0) close(slot.fd);
    if (slot.wakeFd >= 0) close(slot.wakeFd);
    delete[] slot.ahead;
    slot.ahead = nullptr;
    slot.fd = -1;
    slot.wakeFd = -1;
    slot.kind = Kind::None;
    slot.exclusive = false;
    // Keep the generation, drop busy: the slot may be reserved again.
    slot.state.store(slot.state.load(std::memory_order_relaxed) & ~(kBusyBit | kOpenBit | kRefMask),
                     std::memory_order_release);
}

void Release(Slot& slot) {
    const std::uint64_t before = slot.state.fetch_sub(1, std::memory_order_acq_rel);
    // An open slot holds a reference of its own, so zero is reached only after the close.
    if ((before & kRefMask) == 1) Finish(slot);
}

}  // namespace

SlotRef::SlotRef(HANDLE handle) {
    Slot* slot = Lookup(handle);
    if (slot == nullptr) return;
    const std::uint64_t generation = HandleGeneration(handle);
    std::uint64_t state = slot->state.load(std::memory_order_acquire);
    for (;;) {
        if (Generation(state) != generation || (state & kOpenBit) == 0) return;
        if ((state & kRefMask) == kRefMask) return;  // absurdly many users: refuse, never wrap
        if (slot->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                              std::memory_order_acquire)) {
            slot_ = slot;
            return;
        }
    }
}

SlotRef::~SlotRef() {
    if (slot_ != nullptr) Release(*slot_);
}

Slot* Reserve() {
    // Lowest free slot first: the table stays compact and a reused slot is the normal case,
    // which the generation makes harmless.
    for (Slot& slot : Slots().slots_) {
        std::uint64_t state = slot.state.load(std::memory_order_relaxed);
        if ((state & kBusyBit) != 0) continue;
        // A new generation at once, so even a handle from the slot's last life is refused
        // while this one is being set up. Generation 0 is never handed out.
        std::uint64_t generation = (Generation(state) + 1) & 0xFFFFFFFFu;
        if (generation == 0) generation = 1;
        const std::uint64_t reserved = (generation << kGenShift) | kBusyBit;
        if (slot.state.compare_exchange_strong(state, reserved, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
            return &slot;
        }
    }
    return nullptr;
}

HANDLE Publish(Slot* slot, Kind kind) {
    slot->kind = kind;
    const std::uint64_t state = slot->state.load(std::memory_order_relaxed);
    slot->state.store(state | kOpenBit | 1, std::memory_order_release);
    const auto number = static_cast<std::uintptr_t>(slot - Slots().slots_) + 1;
    const auto value = (static_cast<std::uintptr_t>(Generation(state)) << kIndexBits) | number;
    return reinterpret_cast<HANDLE>(value);
}

void Unreserve(Slot* slot) {
    slot->kind = Kind::None;
    slot->exclusive = false;
    slot->fd = -1;
    slot->wakeFd = -1;
    slot->state.store(slot->state.load(std::memory_order_relaxed) & ~kBusyBit,
                      std::memory_order_release);
}

}  // namespace native

using native::Kind;
using native::Slot;

BOOL CloseHandle(HANDLE object) {
    Slot* slot = native::Lookup(object);
    if (slot == nullptr) return FALSE;
    const std::uint64_t generation = native::HandleGeneration(object);
    std::uint64_t state = slot->state.load(std::memory_order_acquire);
    for (;;) {
        // Only one close wins; a second close of the same handle is refused like any stale one.
        if (native::Generation(state) != generation || (state & native::kOpenBit) == 0) {
            return FALSE;
        }
        if (slot->state.compare_exchange_weak(state, state & ~native::kOpenBit,
                                              std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
            break;
        }
    }
    // Still holding the slot's own reference here, so the descriptors are valid: wake whoever
    // is blocked in the slot, then let the last one out release it.
    if (slot->kind == Kind::Event) {
        pthread_mutex_lock(&slot->lock);
        pthread_cond_broadcast(&slot->changed);
        pthread_mutex_unlock(&slot->lock);
    } else if (slot->wakeFd >= 0) {
        // The device is free from this moment, as on Windows: a reopen right after the close
        // must not be refused because a reader on another thread has not yet left its read.
        // This is the one place the exclusive flag is cleared, and only by the handle that set
        // it: the flag is the terminal's, and no later release may take it from a newer open.
        if (slot->kind == Kind::Serial) {
            flock(slot->fd, LOCK_UN);
            if (slot->exclusive) ioctl(slot->fd, TIOCNXCL);
        }
        const std::uint64_t one = 1;
        ssize_t written;
        do {
            written = write(slot->wakeFd, &one, sizeof one);
        } while (written < 0 && errno == EINTR);
    }
    native::Release(*slot);
    return TRUE;
}

int PlatformOpenHandleCount() {
    int count = 0;
    for (const Slot& slot : native::Slots().slots_) {
        if ((slot.state.load(std::memory_order_acquire) & native::kBusyBit) != 0) ++count;
    }
    return count;
}
