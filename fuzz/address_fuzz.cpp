// HandleParseAddress through a VpiRequest: address text, gate type and gate id all from the
// input. Accepted addresses must be exactly the served forms, the host's text must stay as it
// was, and no gateInUse word but the accepted gate's may change.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "gates/gates.hpp"

namespace {

VpiInstance* instance = nullptr;

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool Digit(char c) { return c >= '0' && c <= '9'; }

// 0 accept, 1 refuse, by the rules read plainly; ordinary acceptance also needs a gate id the
// table has.
int Expected(const std::string& address, std::int32_t type, std::int32_t id, int* kind) {
    const std::string up = Upper(address);
    *kind = 0;
    if (up == "!STATUS") {
        *kind = 1;
        return type == 6 ? 0 : 1;
    }
    if (up == "!POLL") {
        *kind = 2;
        return type == 6 ? 0 : 1;
    }
    if (up.size() != 6 || up[0] != 'I' || up[3] != 'P' || !Digit(up[1]) || !Digit(up[2]) ||
        !Digit(up[4]) || !Digit(up[5])) {
        return 1;
    }
    const int stream = (up[1] - '0') * 10 + (up[2] - '0');
    const int parameter = (up[4] - '0') * 10 + (up[5] - '0');
    if (stream == 0 || parameter == 0 || type == 6) return 1;
    if (type != (parameter <= 4 ? 5 : 3)) return 1;
    if (id < 0 || id >= kGateCount) return 1;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    instance = fuzzsupport::FreshRuntimeAndInstance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > 600) return 0;
    // Byte 0: gate type (mostly the interesting codes); byte 1: gate id class; rest: address.
    const std::int32_t types[] = {3, 5, 6, 0, -1, 7};
    const std::int32_t type = data[0] < 240 ? types[data[0] % 4] : types[data[0] % 6];
    std::int32_t id;
    switch (data[1] % 8) {
        case 0: id = -1; break;
        case 1: id = kGateCount; break;
        case 2: id = INT32_MIN; break;
        case 3: id = INT32_MAX; break;
        case 4: id = kGateCount - 1; break;
        default: id = data[1] * 37; break;
    }
    const std::string raw(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::string address(raw.c_str());
    std::vector<char> hostText(address.begin(), address.end());
    hostText.push_back('\0');

    GateParseArgs args;
    std::memset(&args, 0xEE, sizeof args);
    args.address = hostText.data();
    args.gateId = id;
    args.gateType = type;
    VpiRequest request{};
    request.instance = instance;
    request.command = CmdParseAddress;
    request.vpiNumber = 1;
    request.args = &args;

    const bool idInRange = id >= 0 && id < kGateCount;
    if (idInRange) instance->gateInUse[id] = 0;
    const std::int32_t result = HandleParseAddress(&request);

    int kind = 0;
    const int expected = Expected(address, type, id, &kind);
    FUZZ_CHECK(result == expected, "'%s' type %d id %d: %d, expected %d", address.c_str(),
               type, id, result, expected);
    FUZZ_CHECK(std::memcmp(hostText.data(), address.c_str(), hostText.size()) == 0,
               "the host's text changed");
    FUZZ_CHECK(args.addressKind == kind && args.presetA == 0 && args.presetB == 255 &&
                   args.presetC == 16,
               "reply words %d %d %d %d", args.addressKind, args.presetA, args.presetB,
               args.presetC);
    const int code = kind != 0 ? kind : (result == 0 ? 1000 : 0);
    FUZZ_CHECK(args.addressCode == code, "addressCode %d, expected %d", args.addressCode, code);
    if (idInRange) {
        const std::uint32_t mark = kind == 0 && result == 0 ? 1u : 0u;
        FUZZ_CHECK(instance->gateInUse[id] == mark, "gateInUse[%d] = %u", id,
                   instance->gateInUse[id]);
        instance->gateInUse[id] = 0;
    }
    return 0;
}
