// The DCB to termios mapping in full, including what a pseudo-terminal does not keep.
#include <termios.h>

#include <gtest/gtest.h>

#include <cstring>

#include "native/line_state.hpp"
#include "platform.hpp"

namespace {

termios Raw() {
    termios t{};
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    native::MakeSaneRaw(t);
    return t;
}

DCB Dcb(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
    DCB dcb = native::DcbFromAttributes(Raw());
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    return dcb;
}

TEST(LineStateTest, SaneRawModeMakesReadsNonBlockingWithoutEof) {
    termios t{};
    // Start from a cooked terminal with everything that would get in the way.
    t.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | IGNCR | INLCR;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
    cfsetospeed(&t, B0);
    native::MakeSaneRaw(t);
    EXPECT_EQ(0u, t.c_iflag & (ICRNL | IXON | IXOFF | INPCK | ISTRIP | IGNCR | INLCR));
    // Line errors and breaks come marked, never as a bare NUL, and none is dropped.
    EXPECT_NE(0u, t.c_iflag & PARMRK);
    EXPECT_EQ(0u, t.c_iflag & (IGNPAR | IGNBRK | BRKINT));
    EXPECT_EQ(0u, t.c_oflag & OPOST);
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    const tcflag_t control = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;
    EXPECT_EQ(tcflag_t{CS8 | CREAD | CLOCAL}, t.c_cflag & control);
    // VMIN 0 would make read() answer 0 with nothing waiting, which means hang-up to us.
    EXPECT_EQ(1, t.c_cc[VMIN]);
    EXPECT_EQ(0, t.c_cc[VTIME]);
    EXPECT_NE(B0, cfgetospeed(&t)) << "speed 0 hangs the line up";

    const DCB dcb = native::DcbFromAttributes(t);
    EXPECT_EQ(28u, dcb.DCBlength);
    EXPECT_EQ(9600u, dcb.BaudRate);
    EXPECT_EQ(1u, dcb.fBinary);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
}

TEST(LineStateTest, DcbMapsToTermios) {
    // The rate is not termios' business (it goes to the device exactly, see SerialTest): any
    // rate leaves the termios speed as it was.
    const struct {
        DCB dcb;
        tcflag_t cflags;
    } cases[] = {
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT), CS8},
        {Dcb(19200, 7, EVENPARITY, ONESTOPBIT), CS7 | PARENB},
        {Dcb(1200, 7, ODDPARITY, TWOSTOPBITS), CS7 | PARENB | PARODD | CSTOPB},
        {Dcb(4800, 8, MARKPARITY, ONESTOPBIT), CS8 | PARENB | PARODD | CMSPAR},
        {Dcb(2400, 8, SPACEPARITY, TWOSTOPBITS), CS8 | PARENB | CMSPAR | CSTOPB},
        {Dcb(300, 5, NOPARITY, ONE5STOPBITS), CS5 | CSTOPB},
        {Dcb(115200, 6, EVENPARITY, ONESTOPBIT), CS6 | PARENB},
        {Dcb(14400, 8, NOPARITY, ONESTOPBIT), CS8},
        {Dcb(0xFFFFFFFFu, 8, NOPARITY, ONESTOPBIT), CS8},
    };
    const tcflag_t watched = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dcb.BaudRate << " " << int(c.dcb.ByteSize) << " "
                                        << int(c.dcb.Parity) << " " << int(c.dcb.StopBits));
        termios t = Raw();
        ASSERT_TRUE(native::ApplyDcb(c.dcb, t));
        EXPECT_EQ(speed_t{B38400}, cfgetospeed(&t));
        EXPECT_EQ(speed_t{B38400}, cfgetispeed(&t));
        EXPECT_EQ(c.cflags, t.c_cflag & watched);
        EXPECT_NE(0u, t.c_cflag & CREAD);
        EXPECT_NE(0u, t.c_cflag & CLOCAL);
    }
}

TEST(LineStateTest, FlagsMapToTermios) {
    DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    termios t = Raw();
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(native::ApplyDcb(dcb, t));
    EXPECT_NE(0u, t.c_iflag & INPCK);
    EXPECT_NE(0u, t.c_iflag & PARMRK) << "a bad byte must come marked, not as NUL";
    EXPECT_EQ(0u, t.c_iflag & IGNPAR) << "a bad byte must not be dropped";
    EXPECT_NE(0u, t.c_cflag & CRTSCTS);
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    ASSERT_TRUE(native::ApplyDcb(dcb, t));
    EXPECT_EQ(0u, t.c_iflag & INPCK);
    EXPECT_EQ(0u, t.c_cflag & CRTSCTS);
}

TEST(LineStateTest, ImpossibleStatesLeaveTermiosAlone) {
    const termios before = Raw();
    DCB bad[] = {Dcb(0, 8, NOPARITY, ONESTOPBIT), Dcb(9600, 4, NOPARITY, ONESTOPBIT),
                 Dcb(9600, 9, NOPARITY, ONESTOPBIT), Dcb(9600, 8, 5, ONESTOPBIT),
                 Dcb(9600, 8, NOPARITY, 3)};
    for (const DCB& dcb : bad) {
        termios t = before;
        EXPECT_FALSE(native::ApplyDcb(dcb, t));
        EXPECT_EQ(0, std::memcmp(&before, &t, sizeof t));
    }
}

}  // namespace
