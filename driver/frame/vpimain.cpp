// The driver's one entry point and its command table.
#include <cstddef>

#include "datapath/datapath.hpp"
#include "frame.hpp"
#include "gates/gates.hpp"
#include "instance.hpp"
#include "lifecycle/lifecycle.hpp"
#include "serial/serial.hpp"

namespace {

constexpr std::int32_t kNoHandler = 1;

// Indexed by the command code; codes 0, 8 and 9 have no handler.
constexpr VpiHandler kHandlers[16] = {
    nullptr,             // 0
    HandleStart,         // 1 CmdStart
    HandleWarmStart,     // 2 CmdWarmStart
    HandleParseAddress,  // 3 CmdParseAddress
    HandleUnsupported4,  // 4 CmdUnsupported4
    HandleRead,          // 5 CmdRead
    HandleBlockRead,     // 6 CmdBlockRead
    HandleWrite,         // 7 CmdWrite
    nullptr,             // 8
    nullptr,             // 9
    HandleBlockWrite,    // 10 CmdBlockWrite
    HandleClose,         // 11 CmdClose
    HandleClosePort,     // 12 CmdClosePort
    HandleOpenPort,      // 13 CmdOpenPort
    HandleDescribe,      // 14 CmdDescribe
    HandleSetPort,       // 15 CmdSetPort
};

}  // namespace

extern "C" std::int32_t VPI_CALL VpiMain(VpiRequest* request) {
    // A host that hands us nothing to work on gets a refusal, not a crash.
    if (request == nullptr) return kNoHandler;
    const std::int32_t command = request->command;
    if (command < 0 || command >= static_cast<std::int32_t>(std::size(kHandlers)) ||
        kHandlers[command] == nullptr) {
        return kNoHandler;
    }
    if (command != CmdDescribe) {
        VpiInstance* instance = request->instance;
        if (instance == nullptr) return kNoHandler;
        // Once the VPI's thread has left its loop the VPI is over: every command is answered
        // with 0 and nothing runs. The event goes with the first such call; the exchange makes
        // sure it is closed once even if the host calls from several threads.
        if (instance->threadEnded.load() == 1) {
            HANDLE event = instance->packetEvent.exchange(nullptr);
            if (event != nullptr) CloseHandle(event);
            return 0;
        }
    }
    return kHandlers[command](request);
}
