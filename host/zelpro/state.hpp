// Inside the stand-in host runtime: the one shared state every Zel5* call, err and the control
// API work on. Not installed, not seen by the driver or the host program.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "control.hpp"

// Internal to the library: the linker script exports zelpro::*, so keep these out of it.
#if !defined(_WIN32)
#pragma GCC visibility push(hidden)
#endif

namespace zelpro::detail {

constexpr unsigned kMaxVpi = 255;
constexpr unsigned char kFirstClientId = 1;
constexpr unsigned char kLastClientId = 254;
constexpr unsigned kDefaultTickMilliseconds = 20;
// How many message waits in a row a client that keeps working the gate database is answered at
// once before it waits for a tick again (see WaitForTick).
constexpr unsigned kMaxImmediateWaits = 64;
constexpr std::size_t kMessageAreaSize = 28;
constexpr std::size_t kLogLineCapacity = kMaxLogLineLength + 1;  // terminator included

// A gate's lookup key: the VPI and its address upper-cased, held inline so that the per-value
// lookup builds it on the stack and allocates nothing.
// A callback the host installs and the driver's threads call, several at once. Replacing or
// clearing it waits until every call of the one it replaces has returned, so that once the
// setter is back, whatever that callback refers to may be destroyed. A setter running inside
// the callback itself cannot wait for its own call; it waits for the others.
template <typename Fn>
class CallbackSlot {
public:
    void Set(Fn fn) {
        std::unique_lock lock(mutex_);
        std::shared_ptr<Entry> old;
        old.swap(current_);
        if (fn) current_ = std::make_shared<Entry>(std::move(fn));
        installed_.store(current_ != nullptr, std::memory_order_release);
        if (!old) return;
        const int own = insideCall_ == old.get() ? 1 : 0;
        idle_.wait(lock, [&] { return old->calls <= own; });
    }

    // Calls the installed callback with `args`; false when none is installed. An exception
    // from the callback stops here: it must not unwind into the driver's C call.
    template <typename... Args>
    bool Call(Args&&... args) {
        if (!installed_.load(std::memory_order_acquire)) return false;
        std::shared_ptr<Entry> entry;
        {
            std::lock_guard lock(mutex_);
            if (!current_) return false;
            entry = current_;
            ++entry->calls;
        }
        const void* outer = insideCall_;
        insideCall_ = entry.get();
        try {
            entry->fn(std::forward<Args>(args)...);
        } catch (...) {
        }
        insideCall_ = outer;
        std::lock_guard lock(mutex_);
        if (--entry->calls == 0) idle_.notify_all();
        return true;
    }

private:
    struct Entry {
        explicit Entry(Fn f) : fn(std::move(f)) {}
        const Fn fn;
        int calls = 0;  // under mutex_
    };
    std::mutex mutex_;
    std::condition_variable idle_;
    std::shared_ptr<Entry> current_;
    std::atomic<bool> installed_{false};  // lets the hot path skip the lock when there is none
    static inline thread_local const void* insideCall_ = nullptr;
};

struct GateKey {
    std::uint32_t vpi = 0;
    std::uint32_t length = 0;
    char text[kMaxAddressLength + 1] = {};
};

// Fills `key` from a NUL-terminated address; false when the address is longer than
// kMaxAddressLength (it reads at most one character past that limit).
bool MakeGateKey(unsigned vpi, const char* address, GateKey& key);

struct GateKeyHash {
    std::size_t operator()(const GateKey& key) const noexcept;
};
struct GateKeyEqual {
    bool operator()(const GateKey& a, const GateKey& b) const noexcept {
        return a.vpi == b.vpi && a.length == b.length &&
               std::memcmp(a.text, b.text, a.length) == 0;
    }
};

struct GateSlot {
    // used, vpi, gateType and address change only under the table's exclusive lock.
    bool used = false;
    unsigned vpi = 0;
    int gateType = 0;
    char address[kMaxAddressLength + 1] = {};  // as configured, letter case kept
    // The value and the write count change under the shared lock, from many writers at once.
    std::atomic<std::uint64_t> valueBits{0};
    std::atomic<std::uint64_t> writes{0};
};

struct GateTable {
    // Shared for lookups and value writes (the hot path), exclusive for adding and removing.
    std::shared_mutex mutex;
    std::unordered_map<GateKey, std::uint32_t, GateKeyHash, GateKeyEqual> byAddress;
    std::array<GateSlot, kMaxGateId + 1> slots;
    std::uint32_t freeHint = 0;  // no id below this one is free

    CallbackSlot<GateWriteHook> hook;
};

struct ClientSlot {
    // Written under the client table's mutex; read without it on the gate hot path.
    std::atomic<bool> active{false};
    // Set by every gate lookup or write the client makes, taken by its next message wait.
    std::atomic<bool> worked{false};
    // Guarded by the client table's mutex.
    bool stopping = false;
    unsigned immediateWaits = 0;  // message waits answered at once since the last full tick
    std::uint64_t generation = 0;  // bumped whenever the id is freed, so a waiter notices
    char name[kMaxClientNameLength + 1] = {};
    // Where Zel5MkClient wrote the id: a host runtime may keep this and write through it later.
    std::uint32_t* idSlot = nullptr;
    std::condition_variable wake;
};

struct CommStatusSlot {
    bool reported = false;
    CommStatus status{};
};

struct ClientTable {
    std::mutex mutex;
    std::array<ClientSlot, 256> slots;  // indexed by the 8-bit id; 0 and 255 are never given
    std::atomic<unsigned> tickMilliseconds{kDefaultTickMilliseconds};
    // The host's tick clock, guarded by `mutex`: ticks fall at this time plus whole ticks. It
    // restarts whenever the tick is set, so a new tick is whole from the moment it is set.
    std::chrono::steady_clock::time_point tickOrigin{};

    std::mutex hookMutex;
    std::shared_ptr<const ClientWaitHook> waitHook;
    std::atomic<bool> hasWaitHook{false};

    std::mutex commMutex;
    std::array<CommStatusSlot, kMaxVpi + 1> comm;
};

struct LogState {
    std::atomic<bool> showTrace{false};

    std::atomic<bool> capturing{false};
    std::mutex captureMutex;
    std::vector<LogLine> captured;

    CallbackSlot<LogSink> sink;
    std::mutex outputMutex;  // one shown line at a time
};

struct Recorder {
    std::atomic<bool> on{false};
    std::mutex mutex;
    std::vector<CallRecord> calls;
};

struct State {
    GateTable gates;
    ClientTable clients;
    LogState log;
    Recorder recorder;
    std::array<std::atomic<int>, 4> faults{};
};

// Created on first use and never destroyed: a driver thread may still call in while the
// process exits, after static destructors have run.
State& Runtime();

inline bool ClientExists(unsigned char id) {
    return id >= kFirstClientId && id <= kLastClientId &&
           Runtime().clients.slots[id].active.load(std::memory_order_acquire);
}

// Notes that a client has just worked the gate database; the caller has checked it exists.
inline void NoteClientWork(unsigned char id) {
    Runtime().clients.slots[id].worked.store(true, std::memory_order_relaxed);
}

// True when this call of the given kind is to fail with kInjectedFault (consumes one count).
bool TakeFault(Fault fault);

inline bool Recording() { return Runtime().recorder.on.load(std::memory_order_relaxed); }
void RecordCall(const char* function, unsigned client, unsigned vpi, const char* address,
                std::uint32_t gateId, int mode, double value, unsigned short status);

void ResetGates();
void CallWaitHook(unsigned char client);
void ResetClients();
void ResetLog();

}  // namespace zelpro::detail

#if !defined(_WIN32)
#pragma GCC visibility pop
#endif
