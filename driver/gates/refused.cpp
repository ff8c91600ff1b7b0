// Values flow from the instrument into the host only: every write and block operation is
// refused, leaving the gate, the marks, a pending reset and the line as they were.
#include <zelpro/zelpro.h>

#include "gates/gates.hpp"
#include "gates/workingcopy.hpp"

namespace {

// The refused address is named upper-cased; an over-long one by its first 32 characters.
const char* RefusedAddress(const char* address, char (&copy)[kAddressCopySize]) {
    (void)MakeUpperCopy(address, copy);
    return copy;
}

}  // namespace

std::int32_t HandleUnsupported4(VpiRequest*) { return 1; }

std::int32_t HandleBlockRead(VpiRequest*) {
    err(32, "VPIVG: No support for Block Read !");
    return 1;
}

std::int32_t HandleWrite(VpiRequest* request) {
    const auto* args = static_cast<const GateAccessArgs*>(request->args);
    char copy[kAddressCopySize];
    err(32, "VPIVG: Writing values not allowed. Address %s",
        RefusedAddress(args != nullptr ? args->address : nullptr, copy));
    return 1;
}

std::int32_t HandleBlockWrite(VpiRequest* request) {
    const auto* args = static_cast<const BlockWriteArgs*>(request->args);
    char copy[kAddressCopySize];
    err(32, "VPIVG: Block write not allowed. Address %s",
        RefusedAddress(args != nullptr ? args->address : nullptr, copy));
    return 1;
}
