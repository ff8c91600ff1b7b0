// The packet receiver: frames one report off the line, one character per read.
//
// Everything before the start character "a" is dropped; from it on, characters are stored up to
// the trailer, a line feed followed by a carriage return. Every stored packet is traced at
// level 8, whole or not, so a field engineer can see exactly what the instrument sent.
#include <zelpro/zelpro.h>

#include "datapath/datapath.hpp"
#include "platform.hpp"
#include "serial/serial.hpp"

namespace {

constexpr int kLevelTrace = 8;
constexpr int kLevelInfo = 32;
constexpr unsigned char kStart = 'a';
constexpr unsigned char kLineFeed = 0x0A;
constexpr unsigned char kCarriageReturn = 0x0D;

}  // namespace

int ReceivePacket(VpiInstance* instance, unsigned char* buffer, std::uint16_t* length) {
    *length = 0;

    unsigned char character = 0;
    bool started = false;
    for (std::uint32_t hunted = 0; hunted < kHuntLimit; ++hunted) {
        if (!PortRead(instance, &character, 1)) {
            err(kLevelInfo, "VPIVG: Failed to read a character from receive buffer");
            return 0;
        }
        if (character == kStart) {
            started = true;
            break;
        }
    }
    if (!started) {
        err(kLevelInfo, "VPIVG: Failed to find a 'Start of header' character in receive buffer");
        return 0;
    }

    buffer[0] = kStart;
    std::uint16_t count = 1;
    bool trailer = false;
    for (std::uint32_t collected = 0; collected < kCollectLimit; ++collected) {
        if (!PortRead(instance, buffer + count, 1)) break;
        ++count;
        if (buffer[count - 1] == kCarriageReturn && buffer[count - 2] == kLineFeed) {
            trailer = true;
            break;
        }
    }
    if (!trailer) err(kLevelInfo, "VPIVG: Failed to find 'Message Trailer'");

    *length = count;
    err(kLevelTrace, "VPIVG: The following data Data Receieved for VPI %d",
        static_cast<int>(instance->vpiNumber));
    DumpBuffer(buffer, count, kLevelTrace);
    return trailer ? 1 : 0;
}

void DumpBuffer(const unsigned char* buffer, std::uint16_t length, int level) {
    const int logLevel = level & 0xFF;
    err(logLevel, "");
    err(logLevel, "***** Start Printing Received Data *****");
    for (int i = 0; i < length; ++i) {
        err(logLevel, "Buf[%d] = %x(h)", i, static_cast<unsigned>(buffer[i]));
    }
    err(logLevel, "***** End Of Received Data Buffer *****");
    err(logLevel, "");
}
