// The kernel's marks for line errors, taken off the received bytes.
//
// With PARMRK (and INPCK on, IGNPAR off) Linux passes a byte that came with a parity or framing
// error as 0377 0 c, a break as 0377 0 0 and a data byte 0377 as 0377 0377. Windows, with error
// replacement off, passes such a byte on as it came and reports the error in ClearCommError; so
// the read side turns the marks back into plain bytes and remembers what it saw.
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32api.hpp"

namespace native {

// What the marks said since the last look (bits, ORed together).
constexpr std::uint32_t kMarkedByte = 1;  // a byte with a parity or framing error
constexpr std::uint32_t kMarkedBreak = 2;

// A mark may be cut by the end of one read and finished by the next; this carries it over.
struct MarkDecoder {
    std::uint8_t pending = 0;  // bytes of an unfinished mark held back: 0, 1 (0377), 2 (0377 0)
};

// Turns `count` received bytes into data bytes at `out`, which must hold count + 1 (a 0377 held
// back from the last read may come out beside this read's bytes). A break gives one NUL, as a
// UART reads a break. A 0377 followed by anything the kernel never sends after it is passed on
// as it came. Returns the number of data bytes; what the marks said is ORed into `*seen`.
std::size_t TakeOffMarks(MarkDecoder& decoder, const unsigned char* in, std::size_t count,
                         unsigned char* out, std::uint32_t* seen);

// ClearCommError's error bits for what the marks said. PARMRK marks a parity error and a
// framing error alike: on a line without a parity bit the byte can only have been badly framed
// (CE_FRAME); with one, it counts as a parity error (CE_RXPARITY). A break is CE_BREAK.
DWORD CommErrors(std::uint32_t seen, bool parityBit);

}  // namespace native
