// DCB <-> termios, kept apart from the device calls so the mapping can be checked on its own
// (a pseudo-terminal, which is all a test machine has, keeps only part of the line state).
#pragma once

#include <termios.h>

#include "win32api.hpp"

namespace native {

// The mode a port has from the open on: raw bytes both ways, receiver on, modem status lines
// ignored, no flow control, line errors marked in the data (PARMRK), and read() answering
// EAGAIN rather than 0 when nothing waits (VMIN 1), so that 0 only ever means the line hung up.
void MakeSaneRaw(termios& t);

// What GetCommState reports before anyone set a state: the line as the open left it.
DCB DcbFromAttributes(const termios& t);

// Applies a DCB to termios, all but the rate (SetExactSpeed); false, with `t` unchanged, for a
// state no port can take.
bool ApplyDcb(const DCB& dcb, termios& t);

}  // namespace native
