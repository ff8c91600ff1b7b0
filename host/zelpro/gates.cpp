// The gate database: ids 0..65534 in a fixed table, found per VPI by address without regard to
// letter case. Zel5GetGateIdByAddressStr and Zel5PutGateVal run once per published value, at
// tens of thousands of calls a second across all VPIs, so they take only a shared lock, build
// their key on the stack and allocate nothing.
#include <bit>
#include <cstring>

#include <zelpro/zelpro.h>

#include "state.hpp"

namespace zelpro {
namespace detail {
namespace {

char UpperAsciiChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

double ValueOf(const GateSlot& slot) {
    return std::bit_cast<double>(slot.valueBits.load(std::memory_order_relaxed));
}

void StoreValue(GateSlot& slot, double value) {
    slot.valueBits.store(std::bit_cast<std::uint64_t>(value), std::memory_order_relaxed);
}

GateInfo InfoOf(std::uint32_t id, const GateSlot& slot) {
    return GateInfo{id, slot.vpi, slot.address, slot.gateType, ValueOf(slot),
                    slot.writes.load(std::memory_order_relaxed)};
}

void ClearSlot(GateSlot& slot) {
    slot.used = false;
    slot.vpi = 0;
    slot.gateType = 0;
    std::memset(slot.address, 0, sizeof slot.address);
    slot.valueBits.store(0, std::memory_order_relaxed);
    slot.writes.store(0, std::memory_order_relaxed);
}

// The hook runs after the lock is released, so a hook may use the control API; it may run on
// several threads at once.
void CallWriteHook(std::uint32_t id, double value) { Runtime().gates.hook.Call(id, value); }

}  // namespace

bool MakeGateKey(unsigned vpi, const char* address, GateKey& key) {
    key.vpi = vpi;
    std::size_t length = 0;
    while (address[length] != '\0') {
        if (length == kMaxAddressLength) {
            return false;
        }
        key.text[length] = UpperAsciiChar(address[length]);
        ++length;
    }
    key.length = static_cast<std::uint32_t>(length);
    return true;
}

std::size_t GateKeyHash::operator()(const GateKey& key) const noexcept {
    // FNV-1a: addresses are short, so this is a handful of multiplications.
    std::uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    for (int shift = 0; shift < 32; shift += 8) {
        mix(static_cast<unsigned char>(key.vpi >> shift));
    }
    for (std::uint32_t i = 0; i < key.length; ++i) {
        mix(static_cast<unsigned char>(key.text[i]));
    }
    return static_cast<std::size_t>(hash ^ (hash >> 32));
}

void ResetGates() {
    GateTable& table = Runtime().gates;
    {
        std::unique_lock lock(table.mutex);
        table.byAddress.clear();
        for (GateSlot& slot : table.slots) {
            ClearSlot(slot);
        }
        table.freeHint = 0;
    }
    table.hook.Set({});
}

}  // namespace detail

using detail::GateKey;
using detail::GateSlot;
using detail::GateTable;
using detail::Runtime;

std::optional<std::uint32_t> AddGate(unsigned vpi, const std::string& address, int gateType,
                                     std::optional<std::uint32_t> id) {
    // An empty address, or a VPI the driver cannot name in its 8-bit argument, would give a
    // gate nobody can ever find: refused like an over-long address.
    if (address.empty() || address.size() > kMaxAddressLength ||
        address.find('\0') != std::string::npos || vpi > detail::kMaxVpi) {
        return std::nullopt;
    }
    if (id && *id > kMaxGateId) {
        return std::nullopt;
    }
    GateKey key;
    detail::MakeGateKey(vpi, address.c_str(), key);

    GateTable& table = Runtime().gates;
    std::unique_lock lock(table.mutex);
    // One address per VPI names one gate; a second would make lookups ambiguous.
    if (table.byAddress.contains(key)) {
        return std::nullopt;
    }
    std::uint32_t chosen;
    if (id) {
        if (table.slots[*id].used) {
            return std::nullopt;
        }
        chosen = *id;
    } else {
        chosen = table.freeHint;
        while (chosen <= kMaxGateId && table.slots[chosen].used) {
            ++chosen;
        }
        if (chosen > kMaxGateId) {
            return std::nullopt;
        }
        table.freeHint = chosen + 1;
    }
    GateSlot& slot = table.slots[chosen];
    slot.used = true;
    slot.vpi = vpi;
    slot.gateType = gateType;
    std::memcpy(slot.address, address.c_str(), address.size() + 1);
    slot.valueBits.store(0, std::memory_order_relaxed);
    slot.writes.store(0, std::memory_order_relaxed);
    table.byAddress.emplace(key, chosen);
    return chosen;
}

bool RemoveGate(std::uint32_t id) {
    if (id > kMaxGateId) {
        return false;
    }
    GateTable& table = Runtime().gates;
    std::unique_lock lock(table.mutex);
    GateSlot& slot = table.slots[id];
    if (!slot.used) {
        return false;
    }
    GateKey key;
    detail::MakeGateKey(slot.vpi, slot.address, key);
    table.byAddress.erase(key);
    detail::ClearSlot(slot);
    if (id < table.freeHint) {
        table.freeHint = id;
    }
    return true;
}

std::optional<GateInfo> Gate(std::uint32_t id) {
    if (id > kMaxGateId) {
        return std::nullopt;
    }
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    const GateSlot& slot = table.slots[id];
    if (!slot.used) {
        return std::nullopt;
    }
    return detail::InfoOf(id, slot);
}

std::optional<std::uint32_t> FindGate(unsigned vpi, const std::string& address) {
    GateKey key;
    if (address.find('\0') != std::string::npos || !detail::MakeGateKey(vpi, address.c_str(), key)) {
        return std::nullopt;
    }
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    auto found = table.byAddress.find(key);
    if (found == table.byAddress.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool SetGateValue(std::uint32_t id, double value) {
    if (id > kMaxGateId) {
        return false;
    }
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    GateSlot& slot = table.slots[id];
    if (!slot.used) {
        return false;
    }
    detail::StoreValue(slot, value);
    return true;
}

std::vector<GateInfo> Gates() {
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    std::vector<GateInfo> gates;
    gates.reserve(table.byAddress.size());
    for (std::uint32_t id = 0; id <= kMaxGateId; ++id) {
        if (table.slots[id].used) {
            gates.push_back(detail::InfoOf(id, table.slots[id]));
        }
    }
    return gates;
}

void detail::InstallGateWriteHook(GateWriteHook hook) { Runtime().gates.hook.Set(std::move(hook)); }

}  // namespace zelpro

using namespace zelpro;

namespace {

unsigned short LookupGate(unsigned char client, unsigned char vpi, const char* address,
                          std::uint32_t* gateId) {
    if (address == nullptr || gateId == nullptr) {
        return kBadArgument;
    }
    GateKey key;
    if (!detail::MakeGateKey(vpi, address, key)) {
        return kBadArgument;
    }
    if (!detail::ClientExists(client)) {
        return kUnknownClient;
    }
    detail::NoteClientWork(client);
    if (detail::TakeFault(Fault::Lookup)) {
        return kInjectedFault;
    }
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    auto found = table.byAddress.find(key);
    if (found == table.byAddress.end()) {
        return kNoSuchAddress;
    }
    *gateId = found->second;
    return kOk;
}

unsigned short PutValue(unsigned char client, std::uint32_t gateId, double value) {
    if (gateId > kMaxGateId) {
        return kBadArgument;
    }
    if (!detail::ClientExists(client)) {
        return kUnknownClient;
    }
    detail::NoteClientWork(client);
    if (detail::TakeFault(Fault::PutValue)) {
        return kInjectedFault;
    }
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    GateSlot& slot = table.slots[gateId];
    if (!slot.used) {
        return kUnknownGate;
    }
    detail::StoreValue(slot, value);
    slot.writes.fetch_add(1, std::memory_order_relaxed);
    return kOk;
}

unsigned short GetValue(unsigned char client, std::uint32_t gateId, double* value) {
    if (value == nullptr || gateId > kMaxGateId) {
        return kBadArgument;
    }
    if (!detail::ClientExists(client)) {
        return kUnknownClient;
    }
    if (detail::TakeFault(Fault::GetValue)) {
        return kInjectedFault;
    }
    GateTable& table = Runtime().gates;
    std::shared_lock lock(table.mutex);
    const GateSlot& slot = table.slots[gateId];
    if (!slot.used) {
        return kUnknownGate;
    }
    *value = detail::ValueOf(slot);
    return kOk;
}

}  // namespace

extern "C" {

ZEL_API unsigned short ZEL_CALL Zel5GetGateIdByAddressStr(unsigned char client,
                                                          unsigned char vpi,
                                                          const char* address,
                                                          uint32_t* gateId) {
    const unsigned short status = LookupGate(client, vpi, address, gateId);
    if (detail::Recording()) {
        detail::RecordCall("Zel5GetGateIdByAddressStr", client, vpi, address,
                           status == kOk ? *gateId : 0, 0, 0.0, status);
    }
    return status;
}

ZEL_API unsigned short ZEL_CALL Zel5PutGateVal(unsigned char client, uint32_t gateId, int mode,
                                               double value, int reserved1, int reserved2) {
    (void)reserved1;
    (void)reserved2;
    const unsigned short status = PutValue(client, gateId, value);
    if (detail::Recording()) {
        detail::RecordCall("Zel5PutGateVal", client, 0, nullptr, gateId, mode, value, status);
    }
    if (status == kOk) {
        detail::CallWriteHook(gateId, value);
    }
    return status;
}

ZEL_API unsigned short ZEL_CALL Zel5GetGateVal(unsigned char client, int mode, uint32_t gateId,
                                               double* value, void* area1, void* area2) {
    // The two 4-byte areas carry nothing in this runtime; cleared so a caller never sees junk.
    if (area1 != nullptr) {
        std::memset(area1, 0, 4);
    }
    if (area2 != nullptr) {
        std::memset(area2, 0, 4);
    }
    const unsigned short status = GetValue(client, gateId, value);
    if (detail::Recording()) {
        detail::RecordCall("Zel5GetGateVal", client, 0, nullptr, gateId, mode,
                           status == kOk ? *value : 0.0, status);
    }
    return status;
}

}  // extern "C"
