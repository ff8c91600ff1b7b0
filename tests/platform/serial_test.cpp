// Serial devices on a pseudo-terminal pair: names, exclusive open, line state, timed reads.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform.hpp"
#include "platform_testing.hpp"
#include "testline.hpp"

using namespace platform_testing;

namespace {

class SerialTest : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        line_ = TestLine::Open(&why);
        if (!line_) GTEST_SKIP() << why;
        baseHandles_ = PlatformOpenHandleCount();
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(handle_));
        }
        if (line_) {
            EXPECT_EQ(baseHandles_, PlatformOpenHandleCount()) << "a handle leaked";
        }
    }
    HANDLE OpenLine() {
        handle_ = Open(line_->DeviceName());
        return handle_;
    }

    std::unique_ptr<TestLine> line_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    int baseHandles_ = 0;
};

TEST_F(SerialTest, NulIsANullDeviceButNoCommDevice) {
    for (const char* name : {"NUL", "nul", "\\\\.\\NUL"}) {
        SCOPED_TRACE(name);
        HANDLE nul = Open(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, nul);
        ASSERT_NE(nullptr, nul);
        char buffer[8] = {};
        DWORD moved = 99;
        EXPECT_TRUE(ReadFile(nul, buffer, sizeof buffer, &moved, nullptr));
        EXPECT_EQ(0u, moved);
        EXPECT_TRUE(WriteFile(nul, "abc", 3, &moved, nullptr));
        EXPECT_EQ(3u, moved);
        DCB dcb{};
        COMMTIMEOUTS timeouts{};
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_FALSE(GetCommState(nul, &dcb));
        EXPECT_FALSE(SetCommState(nul, &dcb));
        EXPECT_FALSE(GetCommTimeouts(nul, &timeouts));
        EXPECT_FALSE(SetCommTimeouts(nul, &timeouts));
        EXPECT_FALSE(SetupComm(nul, 1200, 1200));
        EXPECT_FALSE(ClearCommError(nul, &errors, &stat));
        EXPECT_FALSE(SetCommBreak(nul));
        EXPECT_FALSE(ClearCommBreak(nul));
        // NUL is shared, as on Windows: a second open works.
        HANDLE again = Open(name);
        EXPECT_NE(INVALID_HANDLE_VALUE, again);
        EXPECT_TRUE(CloseHandle(again));
        EXPECT_TRUE(CloseHandle(nul));
    }
}

TEST_F(SerialTest, ComNamesResolveInEveryForm) {
    const std::string name = line_->DeviceName();  // "COMn"
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string mixed = "cOm" + name.substr(3);
    for (const std::string& form : {name, lower, mixed, "\\\\.\\" + name, DevicePath(*line_)}) {
        SCOPED_TRACE(form);
        HANDLE handle = Open(form);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        // It really is the line: a byte from the far end arrives.
        ASSERT_TRUE(SetReadTimeout(handle, 1000));
        ASSERT_TRUE(line_->Write("k"));
        char byte = 0;
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(handle, &byte, 1, &got, nullptr));
        EXPECT_EQ(1u, got);
        EXPECT_EQ('k', byte);
        EXPECT_TRUE(CloseHandle(handle));
    }
}

TEST_F(SerialTest, UnknownNamesFailWithoutLeaking) {
    const int descriptors = OpenDescriptors();
    for (const char* name : {"", "COM", "COM0", "COM01", "COMx", "COM1x", "COM-1", "LPT1", "CON",
                             "relative/com1", "com1/", "\\\\.\\", "\\\\.\\COM", "COM99999",
                             "/nonexistent/device", "/proc/self/nonexistent"}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(name)) << name;
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(nullptr, 0, 0, nullptr, 0, 0, nullptr));
    // A COM number whose link does not exist in the device folder.
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("COM9876"));
    EXPECT_EQ(descriptors, OpenDescriptors());
    EXPECT_EQ(baseHandles_, PlatformOpenHandleCount());
}

TEST_F(SerialTest, ComNamesLookInTheDeviceFolderOnlyWhileItIsSet) {
    // With the folder unset, or set to nothing, COMn means /dev/ttyS(n-1), never the folder's
    // link (nor "/comn").
    // A line whose number has no /dev/ttyS of its own here (ttyS0 often exists).
    std::unique_ptr<TestLine> line;
    std::string ttyS;
    for (int tries = 0; tries < 8; ++tries) {
        line = TestLine::Open();
        ASSERT_TRUE(line);
        ttyS = "/dev/ttyS" + std::to_string(std::stoi(line->DeviceName().substr(3)) - 1);
        if (access(ttyS.c_str(), F_OK) != 0) break;
    }
    if (access(ttyS.c_str(), F_OK) == 0) GTEST_SKIP() << ttyS << " exists on this machine";
    const std::string name = line->DeviceName();
    const std::string saved = std::getenv("VPIVG_DEVICE_DIR");
    for (const char* folder : {static_cast<const char*>(nullptr), ""}) {
        if (folder == nullptr) {
            unsetenv("VPIVG_DEVICE_DIR");
        } else {
            setenv("VPIVG_DEVICE_DIR", folder, 1);
        }
        HANDLE handle = Open(name);
        setenv("VPIVG_DEVICE_DIR", saved.c_str(), 1);
        EXPECT_EQ(INVALID_HANDLE_VALUE, handle) << (folder ? "empty" : "unset");
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
}

TEST_F(SerialTest, OpenIsExclusiveAndAFailedOpenLeavesNothingOpen) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    const int descriptors = OpenDescriptors();
    const int handles = PlatformOpenHandleCount();
    std::string lower = line_->DeviceName();
    lower[0] = 'c';
    for (const std::string& form :
         {line_->DeviceName(), lower, "\\\\.\\" + line_->DeviceName(), DevicePath(*line_)}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(form)) << form;
    }
    EXPECT_EQ(descriptors, OpenDescriptors());
    EXPECT_EQ(handles, PlatformOpenHandleCount());
    // Closing gives the device back: the next open works (lock and exclusive flag released).
    EXPECT_TRUE(CloseHandle(handle_));
    handle_ = INVALID_HANDLE_VALUE;
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
}

TEST_F(SerialTest, OpenSetsARawLine) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    EXPECT_EQ(28u, dcb.DCBlength);
    EXPECT_EQ(1u, dcb.fBinary);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_NE(0u, dcb.BaudRate);
    // No translation either way: CR, LF, XON/XOFF and NUL pass untouched.
    ASSERT_TRUE(SetReadTimeout(handle_, 1000));
    const std::string bytes("a\r\n\x11\x13\0\x7f\x03\x04z", 10);
    ASSERT_TRUE(line_->Write(bytes));
    char buffer[10] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(handle_, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(bytes, std::string(buffer, got));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle_, "@;390\n\r", 7, &written, nullptr));
    EXPECT_EQ(7u, written);
    EXPECT_EQ("@;390\n\r", line_->Read(7, 1000));
}

struct LineCase {
    DWORD baud;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    bool checkParity;
    bool ctsFlow;
    tcflag_t cflags;   // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS
};

TEST_F(SerialTest, LineStateReachesTheTerminalAndReadsBack) {
    // Watch the terminal from the side, through a descriptor opened before the exclusive one.
    const int watcher =
        open(DevicePath(*line_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    const LineCase cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, true, false, CS8},
        {19200, 7, EVENPARITY, ONESTOPBIT, true, false, CS7 | PARENB},
        {1200, 7, ODDPARITY, TWOSTOPBITS, false, false, CS7 | PARENB | PARODD | CSTOPB},
        {4800, 8, MARKPARITY, ONESTOPBIT, true, false, CS8 | PARENB | PARODD | CMSPAR},
        {2400, 8, SPACEPARITY, TWOSTOPBITS, true, false, CS8 | PARENB | CMSPAR | CSTOPB},
        {300, 5, NOPARITY, ONE5STOPBITS, false, false, CS5 | CSTOPB},
        {57600, 6, NOPARITY, ONESTOPBIT, true, true, CS6 | CRTSCTS},
        // Rates no termios constant has are set as they stand.
        {10000, 8, NOPARITY, ONESTOPBIT, true, false, CS8},
        {110000, 8, NOPARITY, ONESTOPBIT, true, false, CS8},
    };
    // A pseudo-terminal always reports 8 bits and no parity bit whatever it was given (its
    // driver forces them); the mapping of those is checked on its own in LineStateTest.
    const tcflag_t watched = PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const LineCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << int(c.byteSize) << " parity "
                                        << int(c.parity) << " stop " << int(c.stopBits));
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(handle_, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.fParity = c.checkParity;
        dcb.fOutxCtsFlow = c.ctsFlow;
        dcb.ErrorChar = static_cast<char>(0xFC);
        dcb.XonLim = 1234;
        dcb.EvtChar = 'q';
        ASSERT_TRUE(SetCommState(handle_, &dcb));

        DCB back{};
        ASSERT_TRUE(GetCommState(handle_, &back));
        // Every field reads back as set, but for one and a half stop bits: Linux has none, the
        // line gets two, and GetCommState says what the line has.
        DCB expected = dcb;
        if (expected.StopBits == ONE5STOPBITS) expected.StopBits = TWOSTOPBITS;
        EXPECT_EQ(0, std::memcmp(&expected, &back, sizeof dcb));
        EXPECT_EQ(expected.StopBits, back.StopBits);

        std::uint32_t input = 0;
        std::uint32_t output = 0;
        ASSERT_TRUE(KernelSpeeds(watcher, &input, &output));
        EXPECT_EQ(c.baud, input);
        EXPECT_EQ(c.baud, output);
        termios t{};
        ASSERT_EQ(0, tcgetattr(watcher, &t));
        EXPECT_EQ(c.cflags & watched, t.c_cflag & watched);
        EXPECT_EQ(c.checkParity, (t.c_iflag & INPCK) != 0);
        EXPECT_NE(0u, t.c_iflag & PARMRK);
        EXPECT_EQ(0u, t.c_iflag & IGNPAR);
        EXPECT_NE(0u, t.c_cflag & CREAD);
        EXPECT_NE(0u, t.c_cflag & CLOCAL);
        EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP));
        EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG));
        EXPECT_EQ(0u, t.c_oflag & OPOST);
    }
    close(watcher);
}

TEST_F(SerialTest, AnyRateTheFieldCanHoldIsSetExactly) {
    // Rates a plant may use that no termios constant has; 65535 is the top of the 16-bit field.
    const int watcher =
        open(DevicePath(*line_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    for (const DWORD rate : {14400u, 28800u, 56000u, 250u, 65535u, 1u, 9600u}) {
        SCOPED_TRACE(rate);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(handle_, &dcb));
        dcb.BaudRate = rate;
        ASSERT_TRUE(SetCommState(handle_, &dcb));
        DCB back{};
        ASSERT_TRUE(GetCommState(handle_, &back));
        EXPECT_EQ(rate, back.BaudRate);
        std::uint32_t input = 0;
        std::uint32_t output = 0;
        ASSERT_TRUE(KernelSpeeds(watcher, &input, &output));
        EXPECT_EQ(rate, input);
        EXPECT_EQ(rate, output);
    }
    // Reopened, the line reports the rate it kept, not a rate of the table.
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    dcb.BaudRate = 14400;
    ASSERT_TRUE(SetCommState(handle_, &dcb));
    ASSERT_TRUE(CloseHandle(handle_));
    handle_ = INVALID_HANDLE_VALUE;
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(GetCommState(handle_, &dcb));
    EXPECT_EQ(14400u, dcb.BaudRate);
    close(watcher);
}

TEST_F(SerialTest, ImpossibleLineStatesAreRefusedAndChangeNothing) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    DCB before{};
    ASSERT_TRUE(GetCommState(handle_, &before));
    const auto refused = [&](void (*change)(DCB&)) {
        DCB dcb = before;
        change(dcb);
        return SetCommState(handle_, &dcb) == FALSE;
    };
    EXPECT_TRUE(refused([](DCB& d) { d.BaudRate = 0; }));  // would hang the line up
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 4; }));
    EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 9; }));
    EXPECT_TRUE(refused([](DCB& d) { d.Parity = 5; }));
    EXPECT_TRUE(refused([](DCB& d) { d.StopBits = 3; }));
    EXPECT_FALSE(SetCommState(handle_, nullptr));
    EXPECT_FALSE(GetCommState(handle_, nullptr));
    DCB after{};
    ASSERT_TRUE(GetCommState(handle_, &after));
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
}

TEST_F(SerialTest, ModemLineChoicesAreKeptOnALineWithoutModemLines) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    // A pseudo-terminal refuses the modem-control requests; that is not a failure.
    for (DWORD dtr : {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE}) {
        for (DWORD rts : {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE,
                          RTS_CONTROL_TOGGLE}) {
            DCB dcb{};
            ASSERT_TRUE(GetCommState(handle_, &dcb));
            dcb.fDtrControl = dtr;
            dcb.fRtsControl = rts;
            ASSERT_TRUE(SetCommState(handle_, &dcb)) << dtr << " " << rts;
            DCB back{};
            ASSERT_TRUE(GetCommState(handle_, &back));
            EXPECT_EQ(dtr, back.fDtrControl);
            EXPECT_EQ(rts, back.fRtsControl);
        }
    }
    EXPECT_TRUE(SetCommBreak(handle_));
    EXPECT_TRUE(ClearCommBreak(handle_));
    EXPECT_TRUE(SetupComm(handle_, 1200, 1200));
}

TEST_F(SerialTest, TimeoutsReadBack) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    COMMTIMEOUTS set{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(handle_, &set));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(handle_, &back));
    EXPECT_EQ(0, std::memcmp(&set, &back, sizeof set));
    EXPECT_FALSE(SetCommTimeouts(handle_, nullptr));
    EXPECT_FALSE(GetCommTimeouts(handle_, nullptr));
}

TEST_F(SerialTest, ShortReadEndsAtTheTotalTimeoutWithWhatArrived) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 200));
    ASSERT_TRUE(line_->Write("ab"));
    char buffer[3] = {};
    DWORD got = 99;
    Stopwatch watch;
    EXPECT_TRUE(ReadFile(handle_, buffer, 3, &got, nullptr));
    const long long took = watch.Ms();
    EXPECT_EQ(2u, got);
    EXPECT_EQ("ab", std::string(buffer, 2));
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 2000);

    // Nothing at all: still a success, with no byte.
    got = 99;
    watch = Stopwatch();
    EXPECT_TRUE(ReadFile(handle_, buffer, 1, &got, nullptr));
    EXPECT_EQ(0u, got);
    EXPECT_GE(watch.Ms(), 190);

    // The multiplier counts per byte asked: 4 x 50 ms.
    ASSERT_TRUE(SetReadTimeout(handle_, 0, 50));
    watch = Stopwatch();
    char four[4];
    EXPECT_TRUE(ReadFile(handle_, four, 4, &got, nullptr));
    EXPECT_EQ(0u, got);
    EXPECT_GE(watch.Ms(), 190);
    EXPECT_LT(watch.Ms(), 2000);
}

TEST_F(SerialTest, ReadEndsAsSoonAsAllBytesCame) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 10000));
    std::thread sender([&] {
        SleepMs(50);
        line_->Write("x");
        SleepMs(50);
        line_->Write("yz");
    });
    char buffer[3] = {};
    DWORD got = 0;
    Stopwatch watch;
    EXPECT_TRUE(ReadFile(handle_, buffer, 3, &got, nullptr));
    const long long took = watch.Ms();
    sender.join();
    EXPECT_EQ(3u, got);
    EXPECT_EQ("xyz", std::string(buffer, 3));
    EXPECT_LT(took, 5000);
    // Bytes already waiting come back without any wait at all.
    ASSERT_TRUE(line_->Write("0123456789"));
    ASSERT_TRUE(WaitFor([&] {
        COMSTAT stat{};
        return ClearCommError(handle_, nullptr, &stat) && stat.cbInQue == 10;
    }, 2000));
    for (char expected = '0'; expected <= '9'; ++expected) {
        char byte = 0;
        ASSERT_TRUE(ReadFile(handle_, &byte, 1, &got, nullptr));
        ASSERT_EQ(1u, got);
        EXPECT_EQ(expected, byte);
    }
}

TEST_F(SerialTest, TwoReadersShareTheBytesWithoutLossOrDuplicates) {
    // The report thread and the host's thread may read one port at the same time; each byte
    // must reach exactly one of them.
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 300));
    constexpr int kBytes = 20000;
    std::string sent;
    for (int i = 0; i < kBytes; ++i) sent.push_back(static_cast<char>('A' + i % 26));
    std::thread sender([&] { line_->Write(sent); });
    std::string got[2];
    auto reader = [&](std::string* into, DWORD chunk) {
        char buffer[64];
        DWORD n = 0;
        while (ReadFile(handle_, buffer, chunk, &n, nullptr) && n > 0) into->append(buffer, n);
    };
    std::thread one(reader, &got[0], 1);
    std::thread two(reader, &got[1], 7);
    sender.join();
    one.join();
    two.join();
    EXPECT_EQ(static_cast<std::size_t>(kBytes), got[0].size() + got[1].size());
    int counts[26] = {};
    for (const std::string& part : got) {
        for (char c : part) ++counts[c - 'A'];
    }
    for (int letter = 0; letter < 26; ++letter) {
        EXPECT_EQ(kBytes / 26 + (letter < kBytes % 26 ? 1 : 0), counts[letter]) << letter;
    }
}

TEST_F(SerialTest, HangUpFailsTheReadAtOnce) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 10000));
    std::thread cutter([&] {
        SleepMs(100);
        line_.reset();  // the far end goes away
    });
    char buffer[4];
    DWORD got = 99;
    Stopwatch watch;
    EXPECT_FALSE(ReadFile(handle_, buffer, sizeof buffer, &got, nullptr));
    const long long took = watch.Ms();
    cutter.join();
    EXPECT_EQ(0u, got);
    EXPECT_LT(took, 5000) << "a hang-up must not wait out the timeout";
    // And every later read fails straight away instead of spinning on timeouts.
    watch = Stopwatch();
    EXPECT_FALSE(ReadFile(handle_, buffer, 1, &got, nullptr));
    EXPECT_LT(watch.Ms(), 5000);
}

TEST_F(SerialTest, TheDeviceIsFreeTheMomentItsHandleIsClosed) {
    // A port command closes the port while the report thread sits in a read; the reopen that
    // follows must not be refused because that reader has not left yet.
    for (int round = 0; round < 50; ++round) {
        ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine()) << round;
        ASSERT_TRUE(SetReadTimeout(handle_, 10000));
        const HANDLE reading = handle_;
        std::thread reader([reading] {
            char byte = 0;
            DWORD got = 0;
            EXPECT_FALSE(ReadFile(reading, &byte, 1, &got, nullptr));
        });
        SleepMs(2);
        EXPECT_TRUE(CloseHandle(handle_));
        handle_ = INVALID_HANDLE_VALUE;
        HANDLE again = Open(line_->DeviceName());
        EXPECT_NE(INVALID_HANDLE_VALUE, again) << "reopen refused in round " << round;
        reader.join();
        if (again != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(again));
        }
    }
}

// Holds a thread inside whatever system call it is in: the signal's handler waits for a byte.
int heldEntered[2] = {-1, -1};
int heldRelease[2] = {-1, -1};

extern "C" void HoldThread(int) {
    const char byte = 1;
    if (write(heldEntered[1], &byte, 1) != 1) return;
    char released = 0;
    while (read(heldRelease[0], &released, 1) < 0 && errno == EINTR) {
    }
}

// True once thread `tid` of this process sleeps in poll(), the read's wait.
bool InPoll(pid_t tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return static_cast<bool>(file >> number) && (number == SYS_ppoll
#if defined(SYS_poll)
                                                 || number == SYS_poll
#endif
                                                );
}

TEST_F(SerialTest, ALateReaderLeavesTheReopenedPortExclusive) {
    // The port is closed and opened again while the report thread is still inside a read of
    // the old handle; when that thread finally leaves, the new handle must still hold the
    // device. Root may open an exclusive terminal anyway, so the flag itself is looked at.
    const int watcher =
        open(DevicePath(*line_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    ASSERT_EQ(0, pipe(heldEntered));
    ASSERT_EQ(0, pipe(heldRelease));
    struct sigaction hold {};
    hold.sa_handler = HoldThread;
    sigemptyset(&hold.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &hold, &before));

    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 20000));
    const HANDLE reading = handle_;
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&] {
        readerTid = static_cast<pid_t>(syscall(SYS_gettid));
        char byte = 0;
        DWORD got = 0;
        EXPECT_FALSE(ReadFile(reading, &byte, 1, &got, nullptr));
    });
    ASSERT_TRUE(WaitFor([&] { return readerTid != 0 && InPoll(readerTid); }, 5000));
    ASSERT_EQ(0, pthread_kill(reader.native_handle(), SIGUSR1));
    char entered = 0;
    ASSERT_EQ(1, read(heldEntered[0], &entered, 1));

    // The reader is held inside ReadFile, its reference on the old handle still taken.
    EXPECT_TRUE(CloseHandle(handle_));
    handle_ = INVALID_HANDLE_VALUE;
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    int exclusive = 0;
    ASSERT_EQ(0, ioctl(watcher, TIOCGEXCL, &exclusive));
    EXPECT_EQ(1, exclusive);

    const char go = 1;
    ASSERT_EQ(1, write(heldRelease[1], &go, 1));
    reader.join();
    exclusive = 0;
    ASSERT_EQ(0, ioctl(watcher, TIOCGEXCL, &exclusive));
    EXPECT_EQ(1, exclusive) << "the old handle's last release cleared the new open's flag";
    // And the close itself gives the device up.
    EXPECT_TRUE(CloseHandle(handle_));
    handle_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(0, ioctl(watcher, TIOCGEXCL, &exclusive));
    EXPECT_EQ(0, exclusive);

    sigaction(SIGUSR1, &before, nullptr);
    for (int* ends : {heldEntered, heldRelease}) {
        close(ends[0]);
        close(ends[1]);
    }
    close(watcher);
}

TEST_F(SerialTest, ClearCommErrorCountsWaitingBytes) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    DWORD errors = 99;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(0u, errors);
    EXPECT_EQ(0u, stat.cbInQue);
    ASSERT_TRUE(line_->Write("hello"));
    EXPECT_TRUE(WaitFor(
        [&] { return ClearCommError(handle_, &errors, &stat) && stat.cbInQue == 5; }, 2000));
    ASSERT_TRUE(SetReadTimeout(handle_, 1000));
    char buffer[2];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(handle_, buffer, 2, &got, nullptr));
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(3u, stat.cbInQue);
    EXPECT_EQ(0u, errors);
    EXPECT_TRUE(ClearCommError(handle_, nullptr, nullptr));
}

TEST_F(SerialTest, ClearCommErrorCountsTheBytesAReaderWillGet) {
    // The line marks its errors (PARMRK): the kernel holds a data byte 0377 as two, and its own
    // count says so. The count is of the bytes a read gives, and reading after the count loses
    // or repeats nothing.
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 1000));
    const std::string sent = "ab" + std::string(10, '\xff') + "c\xff";
    ASSERT_TRUE(line_->Write(sent));
    DWORD errors = 99;
    COMSTAT stat{};
    EXPECT_TRUE(WaitFor(
        [&] { return ClearCommError(handle_, &errors, &stat) && stat.cbInQue >= sent.size(); },
        2000));
    EXPECT_EQ(sent.size(), stat.cbInQue);
    EXPECT_EQ(0u, errors);
    char buffer[32];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(handle_, buffer, 5, &got, nullptr));
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(sent.size() - 5, stat.cbInQue);
    // More arrives behind what the count has already taken in.
    ASSERT_TRUE(line_->Write("\xff\xffz"));
    EXPECT_TRUE(WaitFor(
        [&] { return ClearCommError(handle_, &errors, &stat) && stat.cbInQue >= sent.size() - 2; },
        2000));
    EXPECT_EQ(sent.size() - 5 + 3, stat.cbInQue);
    DWORD more = 0;
    ASSERT_TRUE(ReadFile(handle_, buffer + got, sizeof buffer - got, &more, nullptr));
    EXPECT_EQ(sent + "\xff\xffz", std::string(buffer, got + more));
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(0u, stat.cbInQue);
    // A pseudo-terminal keeps no overrun counts, and none is made up.
    EXPECT_EQ(0u, errors & (CE_OVERRUN | CE_RXOVER));
}

TEST_F(SerialTest, ClearCommErrorCountsWhatTheReadAheadCannotHold) {
    // More than the read-ahead takes: the rest is still in the kernel and counted from there.
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    const std::string sent(10000, 'x');
    std::thread writer([&] { EXPECT_TRUE(line_->Write(sent)); });
    COMSTAT stat{};
    EXPECT_TRUE(WaitFor(
        [&] { return ClearCommError(handle_, nullptr, &stat) && stat.cbInQue >= sent.size(); }, 5000));
    writer.join();
    EXPECT_EQ(sent.size(), stat.cbInQue);
    ASSERT_TRUE(SetReadTimeout(handle_, 1000));
    std::string got(sent.size() + 1, '\0');
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(handle_, got.data(), static_cast<DWORD>(sent.size()), &n, nullptr));
    EXPECT_EQ(sent.size(), n);
    ASSERT_TRUE(ClearCommError(handle_, nullptr, &stat));
    EXPECT_EQ(0u, stat.cbInQue);
}

TEST_F(SerialTest, ZeroTotalTimeoutWaitsForAllBytes) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 0));
    std::thread sender([&] {
        SleepMs(150);
        line_->Write("ok");
    });
    char buffer[2];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(handle_, buffer, 2, &got, nullptr));
    sender.join();
    EXPECT_EQ(2u, got);
    EXPECT_EQ("ok", std::string(buffer, 2));
}

TEST_F(SerialTest, AWriteNobodyTakesEndsAtTheWriteTimeoutWithTheCountWritten) {
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    const auto setWriteTimeout = [&](DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS timeouts{};
        ASSERT_TRUE(GetCommTimeouts(handle_, &timeouts));
        timeouts.WriteTotalTimeoutMultiplier = multiplier;
        timeouts.WriteTotalTimeoutConstant = constant;
        ASSERT_TRUE(SetCommTimeouts(handle_, &timeouts));
    };
    // Nobody reads the far end: the terminal's buffers fill long before a megabyte is through.
    const std::string lots(1 << 20, 'x');
    setWriteTimeout(0, 300);
    DWORD written = 0;
    Stopwatch watch;
    EXPECT_TRUE(WriteFile(handle_, lots.data(), static_cast<DWORD>(lots.size()), &written,
                          nullptr));
    EXPECT_GE(watch.Ms(), 290);
    EXPECT_LT(watch.Ms(), 3000);
    EXPECT_GT(written, 0u) << "what fitted was written";
    EXPECT_LT(written, lots.size());

    // The multiplier counts each byte of the request: 250 bytes x 2 ms, nothing more fits.
    setWriteTimeout(2, 0);
    written = 99;
    watch = Stopwatch();
    EXPECT_TRUE(WriteFile(handle_, lots.data(), 250, &written, nullptr));
    EXPECT_GE(watch.Ms(), 490);
    EXPECT_LT(watch.Ms(), 3000);
    EXPECT_EQ(0u, written);

    // Both zero, as the driver sets them: no limit, the write waits until the far end reads.
    setWriteTimeout(0, 0);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        SleepMs(400);
        while (!done.load()) {
            line_->Drain();
            SleepMs(5);
        }
    });
    watch = Stopwatch();
    EXPECT_TRUE(WriteFile(handle_, lots.data(), 4096, &written, nullptr));
    const long long took = watch.Ms();
    done.store(true);
    reader.join();
    EXPECT_EQ(4096u, written);
    EXPECT_GE(took, 350);
}

TEST_F(SerialTest, BytesComeAsTheyWereSentWithTheLineErrorMarksOn) {
    // The line marks errors (PARMRK), so the terminal doubles every 0377 it receives; the reader
    // must undo that, also where a doubled 0377 straddles two reads of the read-ahead.
    ASSERT_NE(INVALID_HANDLE_VALUE, OpenLine());
    ASSERT_TRUE(SetReadTimeout(handle_, 1000));
    std::string sent;
    for (int i = 0; i < 3000; ++i) {
        sent.push_back(static_cast<char>(i % 3 == 0 ? 0xff : i % 7 == 0 ? 0 : 'a' + i % 26));
    }
    ASSERT_TRUE(line_->Write(sent));
    std::string got;
    char buffer[700];
    DWORD n = 0;
    for (DWORD size : {1u, 511u, 2u, 700u, 1u}) {
        ASSERT_TRUE(ReadFile(handle_, buffer, size, &n, nullptr));
        got.append(buffer, n);
    }
    while (got.size() < sent.size() && ReadFile(handle_, buffer, sizeof buffer, &n, nullptr) &&
           n > 0) {
        got.append(buffer, n);
    }
    EXPECT_EQ(sent, got);
    DWORD errors = 99;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(handle_, &errors, &stat));
    EXPECT_EQ(0u, errors) << "a data byte 0377 is no line error";
}

}  // namespace
