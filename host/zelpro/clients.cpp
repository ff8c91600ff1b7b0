// Clients, the message wait and the communication status per VPI.
//
// A VPI's thread lives in Zel5WaitMsg: it is told to go on (1) once per tick and to stop (0)
// when the host stops its client. The stop must reach a waiting thread at once, not at the end
// of its tick, so every client has a condition variable that StopClient, Zel5RmClient and
// Reset notify.
//
// A driver thread takes one report per return of the wait, so the tick alone would cap a VPI
// at one report per tick (50/s at 20 ms) and let a faster line pile up in the port's queue.
// A client that looked up or wrote a gate since its last wait has just had a report and may
// have more waiting: it is answered at once, up to kMaxImmediateWaits times in a row, and waits
// for the next tick again as soon as an iteration finds nothing to publish. An idle client still
// costs one wake-up per tick and no more.
//
// The ticks are the host's, not each waiter's: a wait ends at the next tick of one clock, so
// the threads of many VPIs wake together, once per tick, instead of each on a timer of its own
// (64 VPIs would otherwise be 3200 separate wake-ups a second at 20 ms).
#include <algorithm>
#include <chrono>
#include <cstring>

#include <zelpro/zelpro.h>

#include "state.hpp"

namespace zelpro {
namespace detail {
namespace {

// Frees an id; the caller holds the table's mutex. A thread waiting on it wakes and answers 0.
void FreeClient(ClientSlot& slot) {
    slot.active.store(false, std::memory_order_release);
    slot.stopping = false;
    slot.worked.store(false, std::memory_order_relaxed);
    slot.immediateWaits = 0;
    ++slot.generation;
    std::memset(slot.name, 0, sizeof slot.name);
    slot.idSlot = nullptr;
    slot.wake.notify_all();
}

}  // namespace

// Runs before the wait takes any lock, so the hook may use the control API.
void CallWaitHook(unsigned char client) {
    ClientTable& table = Runtime().clients;
    if (!table.hasWaitHook.load(std::memory_order_acquire)) {
        return;
    }
    std::shared_ptr<const ClientWaitHook> hook;
    {
        std::lock_guard lock(table.hookMutex);
        hook = table.waitHook;
    }
    if (hook && *hook) {
        try {
            (*hook)(client);
        } catch (...) {
            // A throwing hook must not unwind into the driver's C call.
        }
    }
}

void ResetClients() {
    ClientTable& table = Runtime().clients;
    {
        std::lock_guard lock(table.mutex);
        for (ClientSlot& slot : table.slots) {
            if (slot.active.load(std::memory_order_relaxed)) {
                FreeClient(slot);
            }
        }
        table.tickMilliseconds.store(kDefaultTickMilliseconds);
        table.tickOrigin = std::chrono::steady_clock::now();
    }
    {
        std::lock_guard lock(table.hookMutex);
        table.waitHook.reset();
        table.hasWaitHook.store(false);
    }
    std::lock_guard lock(table.commMutex);
    table.comm.fill(CommStatusSlot{});
}

}  // namespace detail

using detail::ClientSlot;
using detail::ClientTable;
using detail::Runtime;

void SetTickMilliseconds(unsigned milliseconds) {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    table.tickMilliseconds.store(milliseconds);
    table.tickOrigin = std::chrono::steady_clock::now();
}

void detail::InstallClientWaitHook(ClientWaitHook hook) {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.hookMutex);
    if (hook) {
        table.waitHook = std::make_shared<const ClientWaitHook>(std::move(hook));
        table.hasWaitHook.store(true, std::memory_order_release);
    } else {
        table.waitHook.reset();
        table.hasWaitHook.store(false, std::memory_order_release);
    }
}

std::vector<ClientInfo> Clients() {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    std::vector<ClientInfo> clients;
    for (unsigned id = detail::kFirstClientId; id <= detail::kLastClientId; ++id) {
        const ClientSlot& slot = table.slots[id];
        if (slot.active.load(std::memory_order_relaxed)) {
            clients.push_back(ClientInfo{static_cast<unsigned char>(id), slot.name, slot.stopping});
        }
    }
    return clients;
}

std::optional<unsigned char> FindClient(const std::string& name) {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    for (unsigned id = detail::kFirstClientId; id <= detail::kLastClientId; ++id) {
        const ClientSlot& slot = table.slots[id];
        if (slot.active.load(std::memory_order_relaxed) && name == slot.name) {
            return static_cast<unsigned char>(id);
        }
    }
    return std::nullopt;
}

std::uint32_t* ClientSlotOf(unsigned char id) {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    if (id < detail::kFirstClientId || id > detail::kLastClientId) {
        return nullptr;
    }
    const ClientSlot& slot = table.slots[id];
    return slot.active.load(std::memory_order_relaxed) ? slot.idSlot : nullptr;
}

bool WriteClientSlot(unsigned char id, std::uint32_t value) {
    std::uint32_t* target = ClientSlotOf(id);
    if (target == nullptr) {
        return false;
    }
    // The client's own thread may be reading the slot right now.
    std::atomic_ref(*target).store(value, std::memory_order_release);
    return true;
}

bool StopClient(unsigned char id) {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    if (id < detail::kFirstClientId || id > detail::kLastClientId) {
        return false;
    }
    ClientSlot& slot = table.slots[id];
    if (!slot.active.load(std::memory_order_relaxed)) {
        return false;
    }
    slot.stopping = true;
    slot.wake.notify_all();
    return true;
}

void StopAllClients() {
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    for (ClientSlot& slot : table.slots) {
        if (slot.active.load(std::memory_order_relaxed)) {
            slot.stopping = true;
            slot.wake.notify_all();
        }
    }
}

std::optional<CommStatus> CommStatusOf(unsigned vpi) {
    if (vpi > detail::kMaxVpi) {
        return std::nullopt;
    }
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.commMutex);
    if (!table.comm[vpi].reported) {
        return std::nullopt;
    }
    return table.comm[vpi].status;
}

}  // namespace zelpro

using namespace zelpro;

namespace {

unsigned short MakeClient(const char* name, std::uint32_t* clientSlot, unsigned char& id) {
    if (name == nullptr || clientSlot == nullptr) {
        return kBadArgument;
    }
    const std::size_t length = strnlen(name, kMaxClientNameLength + 1);
    if (length > kMaxClientNameLength) {
        return kBadArgument;
    }
    if (detail::TakeFault(Fault::MakeClient)) {
        return kInjectedFault;
    }
    ClientTable& table = Runtime().clients;
    std::lock_guard lock(table.mutex);
    for (unsigned candidate = detail::kFirstClientId; candidate <= detail::kLastClientId;
         ++candidate) {
        ClientSlot& slot = table.slots[candidate];
        if (!slot.active.load(std::memory_order_relaxed)) {
            std::memcpy(slot.name, name, length);
            slot.name[length] = '\0';
            slot.stopping = false;
            slot.worked.store(false, std::memory_order_relaxed);
            slot.immediateWaits = 0;
            slot.active.store(true, std::memory_order_release);
            id = static_cast<unsigned char>(candidate);
            slot.idSlot = clientSlot;
            *clientSlot = candidate;
            return kOk;
        }
    }
    return kFull;
}

// The first tick of the host's clock after now; the caller holds the table's mutex.
std::chrono::steady_clock::time_point NextTick(const detail::ClientTable& table, unsigned tickMilliseconds) {
    const std::chrono::milliseconds period(tickMilliseconds);
    const auto since = std::max(std::chrono::steady_clock::now() - table.tickOrigin,
                                std::chrono::steady_clock::duration::zero());
    return table.tickOrigin + (since / period + 1) * period;
}

// 1: go on serving; 0: stop. An id that names no client answers 0 as well: the only thing a
// driver thread can do with its client is wait on it, and a nonzero answer for a client that
// does not exist (never made, removed, or cleared by Reset) would keep that thread spinning
// for ever with no way to stop it.
unsigned short WaitForTick(unsigned char client) {
    if (client < detail::kFirstClientId || client > detail::kLastClientId) {
        return 0;
    }
    ClientTable& table = Runtime().clients;
    std::unique_lock lock(table.mutex);
    ClientSlot& slot = table.slots[client];
    if (!slot.active.load(std::memory_order_relaxed) || slot.stopping) {
        return 0;
    }
    const unsigned tick = table.tickMilliseconds.load();
    if (tick == 0) {
        return 1;
    }
    if (slot.worked.exchange(false, std::memory_order_relaxed) &&
        slot.immediateWaits < detail::kMaxImmediateWaits) {
        ++slot.immediateWaits;
        return 1;
    }
    slot.immediateWaits = 0;
    const std::uint64_t generation = slot.generation;
    const bool ended = slot.wake.wait_until(lock, NextTick(table, tick), [&] {
        return slot.generation != generation || slot.stopping;
    });
    return ended ? 0 : 1;
}

}  // namespace

extern "C" {

ZEL_API unsigned short ZEL_CALL Zel5MkClient(const char* name, int reserved1, int reserved2,
                                             uint32_t* clientSlot) {
    (void)reserved2;
    unsigned char id = 0;
    const unsigned short status = MakeClient(name, clientSlot, id);
    if (detail::Recording()) {
        detail::RecordCall("Zel5MkClient", id, 0, name, 0, reserved1, 0.0, status);
    }
    return status;
}

ZEL_API unsigned short ZEL_CALL Zel5WaitMsg(unsigned char client, void* message, int mode) {
    // The message area carries nothing from this host; cleared so the caller never sees junk.
    if (message != nullptr) {
        std::memset(message, 0, detail::kMessageAreaSize);
    }
    detail::CallWaitHook(client);
    const unsigned short status = WaitForTick(client);
    if (detail::Recording()) {
        detail::RecordCall("Zel5WaitMsg", client, 0, nullptr, 0, mode, 0.0, status);
    }
    return status;
}

ZEL_API unsigned short ZEL_CALL Zel5RmClient(unsigned char client) {
    unsigned short status = kUnknownClient;
    if (client >= detail::kFirstClientId && client <= detail::kLastClientId) {
        ClientTable& table = Runtime().clients;
        std::lock_guard lock(table.mutex);
        ClientSlot& slot = table.slots[client];
        if (slot.active.load(std::memory_order_relaxed)) {
            detail::FreeClient(slot);
            status = kOk;
        }
    }
    if (detail::Recording()) {
        detail::RecordCall("Zel5RmClient", client, 0, nullptr, 0, 0, 0.0, status);
    }
    return status;
}

ZEL_API unsigned short ZEL_CALL Zel5SetPlcCommStatus(unsigned char client, unsigned char vpi,
                                                     int a, int b, int c) {
    unsigned short status = kUnknownClient;
    if (detail::ClientExists(client)) {
        ClientTable& table = Runtime().clients;
        std::lock_guard lock(table.commMutex);
        detail::CommStatusSlot& slot = table.comm[vpi];
        const std::uint64_t reports = slot.reported ? slot.status.reports : 0;
        slot.reported = true;
        slot.status = CommStatus{a, b, c, reports + 1};
        status = kOk;
    }
    if (detail::Recording()) {
        // The mode field carries the first word; the other two are in the status table.
        detail::RecordCall("Zel5SetPlcCommStatus", client, vpi, nullptr, 0, a, 0.0, status);
    }
    return status;
}

}  // extern "C"
