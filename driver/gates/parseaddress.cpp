// Binding of the host's gates: which address texts this driver serves, and the marks that let a
// read reset every ordinary gate of the VPI after a communication failure.
#include <cstring>

#include <zelpro/zelpro.h>

#include "gates/gates.hpp"
#include "gates/workingcopy.hpp"

namespace {

// The characters allowed at each position of an ordinary address I<nn>P<mm>, commas separating
// them. The comma is never an allowed character itself.
const char* const kOrdinaryAddressSets[6] = {
    "I",
    "0,1,2,3,4,5,6,7,8,9",
    "0,1,2,3,4,5,6,7,8,9",
    "P",
    "0,1,2,3,4,5,6,7,8,9",
    "0,1,2,3,4,5,6,7,8,9",
};
constexpr std::size_t kOrdinaryAddressLength = 6;

bool InSet(const char* set, char character) {
    return character != ',' && character != '\0' && std::strchr(set, character) != nullptr;
}

int TwoDigits(const char* text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

}  // namespace

std::int32_t CheckOrdinaryAddress(VpiRequest* request) {
    const auto* args = static_cast<const GateParseArgs*>(request->args);
    char copy[kAddressCopySize];
    if (!MakeUpperCopy(args->address, copy)) return 0;
    if (std::strlen(copy) != kOrdinaryAddressLength) return 0;
    for (std::size_t position = 0; position < kOrdinaryAddressLength; ++position) {
        if (!InSet(kOrdinaryAddressSets[position], copy[position])) return 0;
    }
    const int stream = TwoDigits(copy + 1);
    const int parameter = TwoDigits(copy + 4);
    if (stream == 0 || parameter == 0) return 0;
    if (args->gateType == GateTypeDigital) return 0;
    // Parameters 1 to 4 are the report's integer fields, 5 to 99 its real values.
    const std::int32_t required = parameter <= 4 ? GateTypeInteger : GateTypeReal;
    return args->gateType == required ? 1 : 0;
}

std::int32_t HandleParseAddress(VpiRequest* request) {
    auto* args = static_cast<GateParseArgs*>(request->args);
    if (args == nullptr) return 1;  // nowhere to reply; nothing can be bound

    args->addressKind = 0;
    args->presetB = 255;
    args->presetC = 16;
    args->presetA = 0;
    args->addressCode = 0;

    // An over-long text is never one of ours; the message shows its first 32 characters.
    char copy[kAddressCopySize];
    const bool fits = MakeUpperCopy(args->address, copy);

    if (fits && std::strcmp(copy, "!STATUS") == 0) {
        args->addressCode = 1;
        args->addressKind = 1;
        if (args->gateType == GateTypeDigital) return 0;
        err(32, "VPIVG: STATUS gate must be digital. Parse failed!");
        return 1;
    }
    if (fits && std::strcmp(copy, "!POLL") == 0) {
        args->addressCode = 2;
        args->addressKind = 2;
        if (args->gateType == GateTypeDigital) return 0;
        err(32, "VPIVG: POLL gate must be digital. Parse failed!");
        return 1;
    }
    // The gate id indexes gateInUse: an id the table has no word for cannot be bound, however
    // good its address.
    const bool idInRange = args->gateId >= 0 && args->gateId < kGateCount;
    if (!fits || CheckOrdinaryAddress(request) == 0 || !idInRange) {
        err(32, "VPIVG: Parse failed. Illegal Address (%s)", copy);
        return 1;
    }
    args->addressCode = 1000;
    request->instance->gateInUse[args->gateId] = 1;
    return 0;
}
