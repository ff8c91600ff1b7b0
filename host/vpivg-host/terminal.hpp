// The terminal the live view draws on.
#pragma once

namespace vpihost {

bool StdoutIsTerminal();
// Whether text to the terminal is UTF-8 (everywhere but a Windows console).
bool TextIsUtf8();

struct TerminalSize {
    int rows = 24;
    int columns = 80;
};
// The terminal's size now; 80x24 when it cannot be told.
TerminalSize CurrentTerminalSize();

// Lets the terminal interpret escape codes. A Windows console does so only once asked
// (virtual terminal processing); false where it refuses, and the host then writes plain lines.
bool EnableEscapeCodes();

}  // namespace vpihost
