// Taking PARMRK's marks off the byte stream, one byte at a time across reads.
#include "error_marks.hpp"

namespace native {

std::size_t TakeOffMarks(MarkDecoder& decoder, const unsigned char* in, std::size_t count,
                         unsigned char* out, std::uint32_t* seen) {
    constexpr unsigned char kEscape = 0377;
    std::size_t produced = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char byte = in[i];
        switch (decoder.pending) {
        case 0:
            if (byte == kEscape) {
                decoder.pending = 1;
            } else {
                out[produced++] = byte;
            }
            break;
        case 1:
            decoder.pending = 0;
            if (byte == kEscape) {
                out[produced++] = kEscape;  // a data byte 0377
            } else if (byte == 0) {
                decoder.pending = 2;
            } else {
                // Not a mark: nothing is lost, both bytes go on as they came.
                out[produced++] = kEscape;
                out[produced++] = byte;
            }
            break;
        default:
            // 0377 0 0 is a break, and also a NUL with a parity error: both read as NUL, and
            // a UART shows a break as a NUL with a framing error, so it counts as the break.
            decoder.pending = 0;
            *seen |= byte == 0 ? kMarkedBreak : kMarkedByte;
            out[produced++] = byte;
            break;
        }
    }
    return produced;
}

DWORD CommErrors(std::uint32_t seen, bool parityBit) {
    DWORD bits = 0;
    if ((seen & kMarkedByte) != 0) bits |= parityBit ? CE_RXPARITY : CE_FRAME;
    if ((seen & kMarkedBreak) != 0) bits |= CE_BREAK;
    return bits;
}

}  // namespace native
