// Gate reads: the two special gates the driver answers itself, the ordinary gates answered from
// the host's database, and the reset of every bound gate after a communication failure.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <zelpro/zelpro.h>

#include "gates/gates.hpp"
#include "gates/workingcopy.hpp"
#include "serial/serial.hpp"

const char kPollCommand[7] = {'@', ';', '3', '9', '0', '\n', '\r'};

namespace {

// The host's mode words for reading a value and for setting one.
constexpr int kGetValueMode = 16;
constexpr int kPutValueMode = 2;
constexpr unsigned short kNoSuchGate = 5;

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "real gates are handed over as IEEE single precision");

unsigned char ClientOf(const VpiInstance* instance) {
    return ClientIdOf(instance);
}

unsigned char VpiOf(const VpiInstance* instance) {
    return static_cast<unsigned char>(instance->vpiNumber & 0xFF);
}

// The 32-bit pattern an integer gate delivers: the value truncated toward zero to 64 bits, low
// half kept, so every whole value from -2^31 to 2^32-1 keeps its pattern. A database value that
// is no number gives 0, one beyond the 64-bit range saturates first (all ones above, 0 below):
// casting such a double to an integer would be undefined.
std::uint32_t IntegerPattern(double value) {
    if (std::isnan(value)) return 0;
    constexpr double kTwoTo63 = 9223372036854775808.0;
    std::int64_t whole;
    if (value >= kTwoTo63) {
        whole = std::numeric_limits<std::int64_t>::max();
    } else if (value < -kTwoTo63) {
        whole = std::numeric_limits<std::int64_t>::min();
    } else {
        whole = static_cast<std::int64_t>(value);
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole));
}

}  // namespace

void ResetInUseGates(VpiInstance* instance) {
    const unsigned char client = ClientOf(instance);
    for (std::int32_t gateId = 0; gateId < kGateCount; ++gateId) {
        if (instance->gateInUse[gateId] == 0) continue;
        const unsigned short status =
            Zel5PutGateVal(client, static_cast<std::uint32_t>(gateId), kPutValueMode, 0.0, 0, 0);
        if (status != 0) {
            err(32, "VPIVG: Failed to Initialize Value. Gate #%d. rc=%d", gateId, status);
        }
    }
}

bool SendPoll(VpiInstance* instance) {
    return PortWrite(instance, kPollCommand, sizeof kPollCommand);
}

std::int32_t ReadOrdinaryGate(VpiRequest* request) {
    const auto* args = static_cast<const GateAccessArgs*>(request->args);
    VpiInstance* instance = request->instance;

    // The host looks its gates up by the text it was configured with, letter case included.
    char copy[kAddressCopySize];
    if (!MakeWorkingCopy(args->address, copy)) return 0;  // no gate of ours is that long

    const unsigned char client = ClientOf(instance);
    std::uint32_t gateId = 0;
    const unsigned short lookup = Zel5GetGateIdByAddressStr(client, VpiOf(instance), copy, &gateId);
    if (lookup == kNoSuchGate) {
        err(8, "VPIDNP: Gate %s not found in Database", copy);
        return 0;
    }
    if (lookup != 0) {
        err(8, "VPIDNP: Failed to get gate ID Gate %s: rc = %d", copy, lookup);
        return 0;
    }

    double value = 0.0;
    unsigned char area1[4] = {};
    unsigned char area2[4] = {};
    if (Zel5GetGateVal(client, kGetValueMode, gateId, &value, area1, area2) != 0) {
        err(32, "VPIDNP: Failed to get gate val. GAS=%s", copy);
        return 0;
    }
    if (args->valueArea == nullptr) return 0;  // nowhere to deliver it

    // Both slots are the host's 4-byte area; it is written whole, in the host's byte order.
    if (args->gateType == GateTypeReal) {
        const float real = static_cast<float>(value);
        std::memcpy(args->valueArea, &real, sizeof real);
    } else {
        const std::uint32_t pattern = IntegerPattern(value);
        std::memcpy(args->valueArea, &pattern, sizeof pattern);
    }
    return 1;
}

std::int32_t HandleRead(VpiRequest* request) {
    const auto* args = static_cast<const GateAccessArgs*>(request->args);
    VpiInstance* instance = request->instance;

    char copy[kAddressCopySize];
    const bool fits = MakeUpperCopy(args != nullptr ? args->address : nullptr, copy);

    // Whatever is read first after a start, a warm start or a lost link puts every bound gate
    // back to 0 once.
    if (instance->resetPending == 1) {
        ResetInUseGates(instance);
        instance->resetPending = 0;
    }
    if (!fits) return 1;

    if (std::strcmp(copy, "!STATUS") == 0) {
        const DWORD waited = WaitForSingleObject(instance->packetEvent.load(), instance->statusWait);
        std::uint16_t state = 1;
        if (waited != WAIT_OBJECT_0) {
            state = 0;
            err(32, "VPIVG: Comms fail! Vpi=%d ", instance->vpiNumber);
            Zel5SetPlcCommStatus(ClientOf(instance), VpiOf(instance), 0, 1, 1);
            instance->resetPending = 1;
        }
        if (args->valueArea != nullptr) args->valueArea->digitalState = state;
        return 0;
    }
    if (std::strcmp(copy, "!POLL") == 0) {
        // A poll that cannot be written (port closed, line gone) has nobody to be told about it;
        // the "!STATUS" gate shows whether the instrument answers.
        (void)SendPoll(instance);
        return 0;
    }
    return ReadOrdinaryGate(request) == 1 ? 0 : 1;
}
