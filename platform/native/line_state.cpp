// DCB <-> termios.
#include "line_state.hpp"

#include <termios.h>

#include "win32api.hpp"

namespace native {
namespace {

struct Speed {
    DWORD rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

DWORD RateOf(speed_t code) {
    for (const Speed& speed : kSpeeds) {
        if (speed.code == code) return speed.rate;
    }
    return 9600;
}

}  // namespace

void MakeSaneRaw(termios& t) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB | PARODD | CMSPAR);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | IGNBRK | BRKINT);
    // Bytes with a parity or framing error, and breaks, come marked (0377 0 c, 0377 0 0) rather
    // than as a bare NUL, and a data byte 0377 comes doubled: the read side takes the marks off
    // and counts the errors, so such a byte reaches the caller as it came, as on Windows.
    t.c_iflag |= PARMRK;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // Speed 0 would drop DTR (hang up) on a real port.
    if (cfgetospeed(&t) == B0) {
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
    }
}

DCB DcbFromAttributes(const termios& t) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = RateOf(cfgetospeed(&t));
    dcb.fBinary = 1;
    dcb.fParity = (t.c_iflag & INPCK) != 0;
    dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;  // open raises DTR and RTS
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        dcb.Parity = NOPARITY;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        dcb.Parity = (t.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (t.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    dcb.EofChar = 0;
    return dcb;
}

bool ApplyDcb(const DCB& dcb, termios& t) {
    if (dcb.BaudRate == 0) return false;  // speed 0 means "hang up" to a terminal
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
    if (dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS) return false;
    // The rate itself goes to the device exactly, apart from termios (SetExactSpeed).

    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // Linux has no one and a half stop bits: two is the nearest, and GetCommState says so.
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow) t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~(INPCK | IGNPAR | IXON | IXOFF | IXANY);
    t.c_iflag |= PARMRK;
    if (dcb.fParity) t.c_iflag |= INPCK;
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    return true;
}

}  // namespace native
